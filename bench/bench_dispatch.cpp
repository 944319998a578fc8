// The host's own cost of one call: dispatcher, session write, call guard, timer and
// result delivery, against a helper that replies at once on the test backend; and
// the same call as the bytes an engine sends, through the method codec both ways.
#include <benchmark/benchmark.h>

#include "alloc_counter.h"
#include "helper_link/helper_paths.h"
#include "platform/flutter/standard_codec.h"
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

// BM_Dispatch's call as a message: the set_hive call's bytes go through the test
// messenger to the channel, which decodes them, dispatches the call to the plug-in
// and encodes its answer's envelope. The test messenger keeps every reply it gets,
// so its own allocations per message are counted apart, against a channel whose
// handler answers at once.
void BM_DispatchMessage(benchmark::State& state) {
  platform::testing::TestPlatform tp;
  tp.bundle.frameworksPath = "/Applications/Veltrino.app/Contents/Frameworks";
  tp.files.files.insert(helper_link::helperPath());
  auto& helper = tp.services.registerHelper(helper_link::helperLabel());
  auto registrar = std::make_shared<platform::FlutterPluginRegistrar>(tp.messenger);
  vpn_bridge::VPNPlugin::registerWithRegistrar(*registrar);

  const platform::EncodableMap arguments{{std::string("ip"), std::string("10.0.0.1")},
                                         {std::string("port"), std::string("443")},
                                         {std::string("hive"), std::string("hive-eu-1")},
                                         {std::string("ipv6Enable"), std::string("off")}};
  const platform::FlutterMessage message = platform::encodeMethodCall({"set_hive", arguments});
  const platform::FlutterMessage nullSuccess = platform::encodeResult(nullptr);
  const std::string channel = vpn_bridge::kChannelName;

  // Connect once: the benchmark measures calls on a cached proxy.
  const std::size_t first = tp.messenger->sendMessage(channel, message);
  tp.loop.advance(5s);
  helper.forgetReceived();

  // The harness alone: the same bytes to a handler that answers nil at once.
  constexpr int kHarnessMessages = 1000;
  tp.messenger->setMessageHandlerOnChannel(
      "bench/answer", [&nullSuccess](platform::FlutterMessageView, platform::FlutterBinaryReply reply) {
        std::move(reply)(nullSuccess);
      });
  const std::uint64_t harnessBefore = bench::allocationCount();
  for (int i = 0; i < kHarnessMessages; ++i) tp.messenger->sendMessage("bench/answer", message);
  const double harness = static_cast<double>(bench::allocationCount() - harnessBefore) / kHarnessMessages;

  const std::uint64_t before = bench::allocationCount();
  for (auto _ : state) {
    tp.messenger->sendMessage(channel, message);
    tp.loop.advance(5s);  // the time-out, which finds the call answered
    helper.forgetReceived();
  }
  const double allocations = static_cast<double>(bench::allocationCount() - before);
  state.counters["allocs_per_call"] = benchmark::Counter(allocations, benchmark::Counter::kAvgIterations);
  state.counters["harness_allocs_per_call"] = harness;

  const std::size_t last = tp.messenger->callCount();
  for (std::size_t i = first; i < last; ++i) {
    const auto& answers = tp.messenger->answers(i);
    if (answers.size() != 1 || answers.front().reply != nullSuccess) {
      state.SkipWithError("a message was not answered once with the nil success");
      break;
    }
  }
  registrar.reset();
}
BENCHMARK(BM_DispatchMessage);

}  // namespace

BENCHMARK_MAIN();
