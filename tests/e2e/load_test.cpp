// Many calls in flight at once: against a helper that never answers, one that
// answers at once, and a mix during which the helper is killed and started again.
// Each call is answered once, the host neither crashes nor keeps what the calls
// took. VELTRINO_LOAD_CALLS sets the number of calls (scripts/load runs more).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "expectations.h"
#include "host_process.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kGuard = 4900ms;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Several times slower, and holding freed memory in quarantine and shadow.
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

std::size_t loadCalls() {
  const char* text = std::getenv("VELTRINO_LOAD_CALLS");
  if (text == nullptr || *text == '\0') return 10000;
  return std::stoul(text);
}

// Generous, for sanitizer builds and busy machines.
std::chrono::milliseconds answerTimeout(std::size_t calls) {
  return 60s + std::chrono::milliseconds(static_cast<long>(calls) * 5);
}

struct Figures {
  std::size_t calls = 0;
  std::chrono::milliseconds wall{0};  // from the burst's write to its last answer
  Memory before;                      // settled, before the first burst
  Memory afterFirst;                  // settled, after the first burst
  Memory afterSecond;                 // settled, after the same burst again
  std::size_t byReply = 0;            // answers that came before the guard's time
  std::size_t byGuard = 0;
  std::size_t helpers = 0;
};

void report(const char* name, const Figures& f) {
  std::printf(
      "[ figures  ] %s: %zu calls in %lld ms; heap in use %ld kB before, %ld kB after one burst, %ld kB after "
      "two; VmRSS %ld kB before, %ld kB after one burst, %ld kB after two, VmHWM %ld kB; %zu answered within the "
      "guard's 5 s, %zu by the guard; %zu helper run(s)\n",
      name, f.calls, static_cast<long long>(f.wall.count()), f.before.heapKb, f.afterFirst.heapKb,
      f.afterSecond.heapKb, f.before.rssKb, f.afterFirst.rssKb, f.afterSecond.rssKb, f.afterSecond.hwmKb,
      f.byReply, f.byGuard, f.helpers);
  std::fflush(stdout);
}

// Memory once every call so far is settled. The guard's timer holds a call until
// its five seconds are up, answered or not; "off" is never answered by these
// helpers, so its own guard fires after every timer before it.
Memory settledMemory(HostProcess& host) {
  const int marker = host.call("off");
  EXPECT_EQ(host.answer(marker, 60s).value("result", Json("missing")), nullptr);
  EXPECT_GE(host.latency(marker), kGuard);
  return host.memory();
}

// The host starts with its link to the helper made, so that what is measured is
// what the calls cost.
Memory baseline(HostProcess& host) {
  const int id = host.call("get_tunnel_version");
  EXPECT_EQ(host.answer(id).value("result", Json()), "1.0.0");
  return settledMemory(host);
}

// What the first burst leaves in use is the room its queues and timer heap grew to,
// kept for the next burst; the second burst must give back all it takes. A call that
// kept as little as one map node (some 50 bytes) would leave half a megabyte per
// 10,000 calls; the reply handlers a connection holds, some 600 bytes. Measured on
// the heap in use: resident memory moves by megabytes from run to run with where the
// allocator happens to place a burst.
void expectMemoryBack(const Figures& f) {
  if (kSanitized) return;  // the sanitizer owns the allocator there
  ASSERT_GE(f.afterFirst.heapKb, 0) << "the heap probe did not answer";
  ASSERT_GE(f.afterSecond.heapKb, 0) << "the heap probe did not answer";
  const long allowanceKb = 256 + static_cast<long>(f.calls / 256);  // 4 bytes a call
  EXPECT_LE(f.afterSecond.heapKb - f.afterFirst.heapKb, allowanceKb)
      << "heap in use " << f.afterFirst.heapKb << " kB after one burst, " << f.afterSecond.heapKb
      << " kB after two";
}

std::chrono::milliseconds since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// A host and a helper that never answers "off", with |flags| besides.
class Load : public ::testing::Test {
 protected:
  void start(std::vector<std::string> flags = {}) {
    flags.insert(flags.begin(), {"--silent", "iosOff"});
    root.installHelper(flags);
    host.emplace(root, std::string(), !kSanitized);
    f.calls = loadCalls();
    f.before = baseline(*host);
  }

  // Runs |burst| twice, with the host's memory settled before and after each, and
  // reports the figures under |name|.
  template <typename Burst>
  void twoBursts(const char* name, Burst&& burst) {
    for (Memory* after : {&f.afterFirst, &f.afterSecond}) {
      burst();
      *after = settledMemory(*host);
    }
    f.helpers = root.helperPids().size();
    report(name, f);
  }

  void countWhoAnswered(const std::vector<int>& ids) {
    for (int id : ids) (host->latency(id) >= kGuard ? f.byGuard : f.byReply) += 1;
  }

  // The host quits when its input ends; every call had one answer and the memory the
  // calls took is back.
  void expectCleanEnd() {
    EXPECT_EQ(host->finish(), 0);
    expectEachCallAnsweredOnce(*host);
    expectQuietStandardError(*host);
    expectMemoryBack(f);
  }

  TempRoot root;
  std::optional<HostProcess> host;
  Figures f;
};

TEST_F(Load, CallsInFlightAgainstASilentHelperAreEachAnsweredOnceByTheGuard) {
  start();
  // A helper that keeps its connection and never answers keeps, as XPC does, the
  // reply handlers the link holds for it until the connection ends. It is ended
  // after each burst, so that what is measured is what the host itself keeps.
  auto burst = [&] {
    const std::size_t logged = root.ops().size();
    const auto start = Clock::now();
    const auto ids = host->callAll(std::vector<std::pair<std::string, Json>>(f.calls, {"off", nullptr}));
    ASSERT_TRUE(host->waitForAnswers(ids.back(), answerTimeout(f.calls)));
    f.wall = since(start);
    for (int id : ids) {
      if (host->answer(id).value("result", Json("missing")) != nullptr) ADD_FAILURE() << "call " << id;
    }
    countWhoAnswered(ids);
    // Every one of them reached the helper.
    EXPECT_TRUE(root.waitForOps(logged + f.calls));
    root.killHelpers();
  };
  twoBursts("silent helper", burst);

  EXPECT_EQ(f.byGuard, 2 * f.calls);
  expectCleanEnd();
  EXPECT_THAT(host->diagnostics(), ::testing::IsEmpty());
}

TEST_F(Load, CallsInFlightAgainstAnAnsweringHelperAreEachAnsweredOnceByTheReply) {
  start();
  auto burst = [&] {
    const auto start = Clock::now();
    const auto ids =
        host->callAll(std::vector<std::pair<std::string, Json>>(f.calls, {"get_tunnel_version", nullptr}));
    ASSERT_TRUE(host->waitForAnswers(ids.back(), answerTimeout(f.calls)));
    f.wall = since(start);
    for (int id : ids) {
      const Json result = host->answer(id).value("result", Json("missing"));
      // A reply that lost the race to its guard reads null. That may happen only
      // where sanitizers slow everything down, and only at the guard's time.
      const bool lostToTheGuard = kSanitized && result == nullptr && host->latency(id) >= kGuard;
      if (result != "1.0.0" && !lostToTheGuard) ADD_FAILURE() << "call " << id << ": " << result;
    }
    countWhoAnswered(ids);
  };
  twoBursts("answering helper", burst);

  if (!kSanitized) {
    EXPECT_EQ(f.byReply, 2 * f.calls);
  }
  EXPECT_EQ(f.helpers, 1u);
  expectCleanEnd();
  EXPECT_THAT(host->diagnostics(), ::testing::IsEmpty());
}

TEST_F(Load, AMixedBurstSurvivesTheHelperKilledInItsMidst) {
  // Replies come two seconds late, so the kill lands while the burst is in flight even
  // when a loaded machine (sanitizers, other tests) stalls the host for a second.
  start({"--reply-delay-ms", "2000"});

  const Json token = {{"app", "veltrino"}, {"uid", "u-1"}, {"token", "tok-1"}, {"device", "dev-1"}, {"version", "3.2"}};
  const std::vector<std::pair<std::string, Json>> kinds = {
      {"set_token", token},
      {"set_hive", {{"ip", "10.8.0.1"}, {"port", "443"}, {"hive", "eu-1"}}},
      {"on", Json::object()},
      {"get_tunnel_version", nullptr},
      {"print", {{"message", "load"}}},
      {"set_rules", {{"rules", "10.0.0.0/8"}}},
      {"get_status", nullptr},
      {"access", nullptr},
      {"off", nullptr},
      {"no_such_method", Json::object()},
  };
  std::vector<std::pair<std::string, Json>> calls;
  for (std::size_t i = 0; i < f.calls; ++i) calls.push_back(kinds[i % kinds.size()]);

  // Half the burst, the kill once the helper has had a part of it, then the other
  // half at once: the first half dies in flight with the helper, the second half
  // meets the one started in its place.
  const std::vector<std::pair<std::string, Json>> firstHalf(calls.begin(), calls.begin() + calls.size() / 2);
  const std::vector<std::pair<std::string, Json>> secondHalf(calls.begin() + calls.size() / 2, calls.end());
  auto burst = [&] {
    const std::size_t logged = root.ops().size();
    const std::size_t runs = root.helperPids().size();
    const auto start = Clock::now();
    auto ids = host->callAll(firstHalf);
    ASSERT_TRUE(root.waitForOps(logged + f.calls / 10, answerTimeout(f.calls)));
    ASSERT_EQ(::kill(root.helperPids().back(), SIGKILL), 0);
    const auto more = host->callAll(secondHalf);
    ids.insert(ids.end(), more.begin(), more.end());
    ASSERT_TRUE(host->waitForAnswers(ids.back(), answerTimeout(f.calls)));
    f.wall = since(start);
    countWhoAnswered(ids);

    EXPECT_GT(root.helperPids().size(), runs) << "no helper was started after the kill";
    std::size_t diedInFlight = 0;
    std::size_t versionsAfterTheKill = 0;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      const Json answer = host->answer(ids[i]);
      const std::string& method = calls[i].first;
      ASSERT_EQ(answer.value("method", ""), method) << answer;
      if (method == "get_status" || method == "no_such_method") {
        EXPECT_EQ(answer, Json({{"id", ids[i]}, {"method", method}, {"notImplemented", true}}));
      } else if (method == "get_tunnel_version") {
        const Json result = answer.value("result", Json("missing"));
        EXPECT_THAT(result, ::testing::AnyOf(Json("1.0.0"), Json(nullptr))) << answer;
        if (i >= firstHalf.size() && result == "1.0.0") ++versionsAfterTheKill;
        if (i < firstHalf.size() && result == nullptr) ++diedInFlight;
      } else {
        EXPECT_EQ(answer, Json({{"id", ids[i]}, {"method", method}, {"result", nullptr}}));
      }
    }
    // The kill landed inside the burst: calls of the first half died with the
    // helper, and the second half met the one started after it.
    EXPECT_GT(diedInFlight, 0u);
    EXPECT_GT(versionsAfterTheKill, 0u);
  };
  twoBursts("mixed burst, helper killed in each", burst);

  // The host still serves.
  const int last = host->call("get_tunnel_version");
  EXPECT_EQ(host->answer(last).value("result", Json()), "1.0.0");
  expectCleanEnd();
  expectOwnDiagnostics(*host, {"load"});
}

}  // namespace
}  // namespace e2e
