// The host's own cost of one call: dispatcher, session write, call guard, timer and
// result delivery, against a helper that replies at once on the test backend.
#include <benchmark/benchmark.h>

#include "alloc_counter.h"
#include "helper_link/helper_paths.h"
#include "platform/testing/test_platform.h"
#include "vpn_bridge/vpn_plugin.h"

namespace {

using namespace std::chrono_literals;

void BM_Dispatch(benchmark::State& state) {
  platform::testing::TestPlatform tp;
  tp.bundle.frameworksPath = "/Applications/Veltrino.app/Contents/Frameworks";
  tp.files.files.insert(helper_link::helperPath());
  auto& helper = tp.services.registerHelper(helper_link::helperLabel());
  auto plugin = vpn_bridge::VPNPlugin::init();

  platform::EncodableMap arguments{{std::string("ip"), std::string("10.0.0.1")},
                                   {std::string("port"), std::string("443")},
                                   {std::string("hive"), std::string("hive-eu-1")},
                                   {std::string("ipv6Enable"), std::string("off")}};
  const platform::FlutterMethodCall call("set_hive", arguments);
  std::uint64_t answered = 0;
  auto result = [&answered](platform::FlutterResultValue) { ++answered; };

  // Connect once: the benchmark measures calls on a cached proxy.
  plugin->handleMethodCall(call, result);
  tp.loop.advance(5s);
  helper.forgetReceived();

  const std::uint64_t before = bench::allocationCount();
  const std::int64_t heldBefore = bench::liveBytes();
  for (auto _ : state) {
    plugin->handleMethodCall(call, result);
    tp.loop.runUntilIdle();  // the reply and its delivery
    tp.loop.advance(5s);     // the time-out, which finds the call answered
    helper.forgetReceived();
  }
  const std::uint64_t allocations = bench::allocationCount() - before;
  state.counters["allocs_per_call"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
  // Every allocation of a call is gone once its time-out has run: nothing builds up.
  state.counters["bytes_kept_per_call"] =
      benchmark::Counter(static_cast<double>(bench::liveBytes() - heldBefore), benchmark::Counter::kAvgIterations);
  if (answered != static_cast<std::uint64_t>(state.iterations()) + 1) state.SkipWithError("a call was not answered once");
}
BENCHMARK(BM_Dispatch);

}  // namespace

BENCHMARK_MAIN();
