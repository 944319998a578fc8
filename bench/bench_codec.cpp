// The standard method codec's share of a call: decoding the bytes of a set_hive call
// as they arrive from the interface, and encoding the nil success that answers it.
#include <benchmark/benchmark.h>

#include <string>
#include <variant>

#include "alloc_counter.h"
#include "platform/flutter/standard_codec.h"

namespace {

void countAllocations(benchmark::State& state, std::uint64_t before) {
  state.counters["allocs_per_call"] = benchmark::Counter(static_cast<double>(bench::allocationCount() - before),
                                                         benchmark::Counter::kAvgIterations);
}

void BM_DecodeSetHive(benchmark::State& state) {
  const platform::EncodableMap arguments{{std::string("ip"), std::string("10.0.0.1")},
                                         {std::string("port"), std::string("443")},
                                         {std::string("hive"), std::string("hive-eu-1")},
                                         {std::string("ipv6Enable"), std::string("off")}};
  const platform::FlutterMessage bytes = platform::encodeMethodCall({"set_hive", arguments});
  state.counters["message_bytes"] = static_cast<double>(bytes.size());

  const std::uint64_t before = bench::allocationCount();
  for (auto _ : state) {
    auto call = platform::decodeMethodCall(bytes);
    const auto* decoded = std::get_if<platform::FlutterMethodCall>(&call);
    if (decoded == nullptr || decoded->method() != "set_hive") {
      state.SkipWithError("the call did not decode");
      break;
    }
    benchmark::DoNotOptimize(call);
  }
  countAllocations(state, before);
}
BENCHMARK(BM_DecodeSetHive);

void BM_EncodeNullSuccess(benchmark::State& state) {
  const platform::FlutterResultValue answer = nullptr;
  const std::uint64_t before = bench::allocationCount();
  for (auto _ : state) {
    auto reply = platform::encodeResult(answer);
    if (reply.size() != 2) {
      state.SkipWithError("the reply is not two bytes");
      break;
    }
    benchmark::DoNotOptimize(reply.data());
    benchmark::ClobberMemory();
  }
  countAllocations(state, before);
}
BENCHMARK(BM_EncodeNullSuccess);

}  // namespace

BENCHMARK_MAIN();
