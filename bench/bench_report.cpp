// bench_report OUT.json IN.json...: merges the Google Benchmark JSON of several
// programs into one file (the first program's context, every program's runs) and
// prints the summary table against the targets. Exits 1 when a benchmark failed.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace {

using Json = nlohmann::json;

double toNanoseconds(double value, const std::string& unit) {
  if (unit == "us") return value * 1e3;
  if (unit == "ms") return value * 1e6;
  if (unit == "s") return value * 1e9;
  return value;
}

// One benchmark's figures: its median when it was repeated, else its run.
class Results {
 public:
  void add(const Json& run) {
    const std::string name = run.value("run_name", run.value("name", std::string()));
    if (run.value("run_type", std::string("iteration")) == "aggregate") {
      if (run.value("aggregate_name", std::string()) == "median") medians_[name] = run;
    } else {
      runs_[name] = run;
    }
  }

  // The run whose name is |base|, or |base| followed by "/...".
  std::optional<Json> find(const std::string& base) const {
    for (const auto* table : {&medians_, &runs_}) {
      for (const auto& [name, run] : *table) {
        if (name == base || name.rfind(base + "/", 0) == 0) return run;
      }
    }
    return std::nullopt;
  }

 private:
  std::map<std::string, Json> medians_;
  std::map<std::string, Json> runs_;
};

double realNanoseconds(const Json& run) {
  return toNanoseconds(run.value("real_time", 0.0), run.value("time_unit", std::string("ns")));
}

std::string verdict(bool met) { return met ? "met" : "MISSED"; }

void row(const std::string& name, const std::string& figure, const std::string& target, const std::string& notes) {
  std::printf("%-34s %-14s %-22s %s\n", name.c_str(), figure.c_str(), target.c_str(), notes.c_str());
}

std::string format(const char* pattern, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, pattern, value);
  return buffer;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s OUT.json IN.json...\n", argv[0]);
    return 2;
  }
  Json merged;
  merged["benchmarks"] = Json::array();
  Results results;
  std::vector<std::string> failures;
  for (int i = 2; i < argc; ++i) {
    std::ifstream in(argv[i]);
    Json part = Json::parse(in, nullptr, false);
    if (part.is_discarded() || !part.contains("benchmarks")) {
      std::fprintf(stderr, "bench_report: %s is not Google Benchmark JSON\n", argv[i]);
      return 2;
    }
    if (!merged.contains("context")) merged["context"] = part["context"];
    for (const auto& run : part["benchmarks"]) {
      merged["benchmarks"].push_back(run);
      if (run.value("error_occurred", false)) {
        failures.push_back(run.value("name", std::string()) + ": " + run.value("error_message", std::string()));
      } else {
        results.add(run);
      }
    }
  }
  std::ofstream(argv[1]) << merged.dump(2) << "\n";

  row("Benchmark", "Measured", "Target", "Notes");
  if (auto dispatch = results.find("BM_Dispatch")) {
    const double us = realNanoseconds(*dispatch) / 1e3;
    row("BM_Dispatch", format("%.2f us", us), "< 2 us: " + verdict(us < 2),
        format("%.0f allocations/call, ", dispatch->value("allocs_per_call", 0.0)) +
            format("%.0f B kept/call", dispatch->value("bytes_kept_per_call", 0.0)));
  }
  // The same call as bytes through the test messenger: decoded, dispatched, its
  // envelope encoded.
  if (auto message = results.find("BM_DispatchMessage")) {
    row("BM_DispatchMessage", format("%.2f us", realNanoseconds(*message) / 1e3), "",
        format("%.0f allocations/call, ", message->value("allocs_per_call", 0.0)) +
            format("%.0f of them the test messenger's", message->value("harness_allocs_per_call", 0.0)));
  }
  // The standard method codec alone: a call's bytes in, its nil answer's bytes out.
  for (const char* name : {"BM_DecodeSetHive", "BM_EncodeNullSuccess"}) {
    if (auto run = results.find(name)) {
      row(name, format("%.0f ns", realNanoseconds(*run)), "",
          format("%.0f allocations/call", run->value("allocs_per_call", 0.0)));
    }
  }
  // Each round trip twice: on one CPU (the code's own cost) and placed freely.
  for (const auto& [suffix, label] : {std::pair<std::string, std::string>{"/one_cpu:1", " (one CPU)"},
                                      std::pair<std::string, std::string>{"/one_cpu:0", " (free)"}}) {
    auto host = results.find("BM_RoundTripHost" + suffix);
    auto raw = results.find("BM_RoundTripRawSocket" + suffix);
    auto helper = results.find("BM_RoundTripHelperd" + suffix);
    if (host) {
      row("BM_RoundTripHost" + label, format("%.1f us", realNanoseconds(*host) / 1e3), "",
          format("%.0f allocations/call", host->value("allocs_per_call", 0.0)));
    }
    if (raw) {
      row("BM_RoundTripRawSocket" + label, format("%.1f us", realNanoseconds(*raw) / 1e3), "",
          format("%.0f B request, ", raw->value("request_bytes", 0.0)) +
              format("%.0f B reply", raw->value("reply_bytes", 0.0)));
    }
    if (helper) {
      row("BM_RoundTripHelperd" + label, format("%.1f us", realNanoseconds(*helper) / 1e3), "",
          raw ? format("the helper alone: %.2fx the floor", realNanoseconds(*helper) / realNanoseconds(*raw)) : "");
    }
    if (host && raw) {
      // Placed freely, either end may land on a CPU that has to be woken first, so
      // that ratio changes from run to run; on one CPU it is the code's own cost.
      const double ratio = realNanoseconds(*host) / realNanoseconds(*raw);
      const bool steady = suffix == "/one_cpu:1";
      row("  Host / RawSocket" + label, format("%.2fx", ratio), "<= 1.5x: " + verdict(ratio <= 1.5),
          steady ? "three wake-ups per call against the floor's two"
                 : "changes with where the scheduler puts each end");
    }
  }
  std::optional<Json> smallest;
  std::optional<Json> largest;
  double smallestN = 0;
  double largestN = 0;
  for (const double n : {1000.0, 10000.0, 100000.0}) {
    auto run = results.find("BM_InFlight/" + format("%.0f", n));
    if (!run) continue;
    const double bytes = run->value("bytes_per_pending", 0.0);
    const double late = run->value("last_late_ms", 0.0);
    const bool largestSize = n == 100000.0;
    row("BM_InFlight/" + format("%.0f", n), format("%.1f ms issue", realNanoseconds(*run) / 1e6),
        "< 1 KiB/pending: " + verdict(bytes < 1024),
        format("%.0f ns/call, ", run->value("issue_ns_per_call", 0.0)) + format("%.0f B/pending ", bytes) +
            format("(%.0f B kept after the time-out), ", run->value("bytes_kept_after_timeout", 0.0)) +
            format("last answer %+.1f ms", late) + format(" (max %+.1f ms)", run->value("max_late_ms", 0.0)) +
            (largestSize ? "; < 100 ms late: " + verdict(late < 100) : ""));
    if (!smallest) {
      smallest = run;
      smallestN = n;
    }
    largest = run;
    largestN = n;
  }
  if (smallest && largestN > smallestN) {
    const double growth = realNanoseconds(*largest) / realNanoseconds(*smallest);
    const double nLogN = (largestN * std::log(largestN)) / (smallestN * std::log(smallestN));
    row("  issue cost " + format("%.0fk", smallestN / 1000) + " -> " + format("%.0fk", largestN / 1000),
        format("%.1fx", growth), format("<= n log n (%.0fx): ", nLogN) + verdict(growth <= nLogN), "");
  }
  if (auto startUp = results.find("BM_StartUp")) {
    const double ms = realNanoseconds(*startUp) / 1e6;
    row("BM_StartUp", format("%.1f ms", ms), "< 50 ms: " + verdict(ms < 50), "spawn to the first answer");
  }
  if (auto burst = results.find("BM_AnswerBurst")) {
    const double calls = burst->value("calls", 0.0);
    row("BM_AnswerBurst" + format("/%.0f", calls) + " p50", format("%.1f ms", burst->value("p50_ms", 0.0)), "",
        "each call's send to its answer line, " + format("%.0f calls in one write; ", calls) +
            format("over %.0f bursts", burst->value("bursts", 0.0)));
    row("  p99", format("%.1f ms", burst->value("p99_ms", 0.0)), "",
        format("max %.1f ms; ", burst->value("max_ms", 0.0)) +
            format("a whole burst %.1f ms on average", realNanoseconds(*burst) / 1e6));
  }
  if (auto idle = results.find("BM_IdleHost")) {
    const double window = idle->value("window_s", 0.0);
    const double ended = idle->value("threads_ended", 0.0);
    const double switches = idle->value("switches", 0.0);
    row("BM_IdleHost", format("%.0f in ", switches) + format("%.0f s", window), "",
        "context switches of the host's " + format("%.0f threads, idle after a session; ", idle->value("threads", 0.0)) +
            format("%.0f on the main thread", idle->value("main_thread", 0.0)) +
            (ended > 0 ? format("; %.0f ended meanwhile, not counted", ended) : "") +
            (window < 10 ? "; a short window, not comparable to 10 s" : ""));
  }
  if (auto beside = results.find("BM_StartUpBeside")) {
    row("BM_StartUpBeside", format("%.2fx", beside->value("ratio", 0.0)), "",
        format("host %.2f ms / ", beside->value("host_ms", 0.0)) +
            format("minimal process %.2f ms to its first answer (medians)", beside->value("minimal_ms", 0.0)));
  }
  for (const auto& failure : failures) std::printf("FAILED %s\n", failure.c_str());
  return failures.empty() ? 0 : 1;
}
