// Many calls in flight at once: against a helper that never answers, one that
// answers at once, and a mix during which the helper is killed and started again.
// Each call is answered once, the host neither crashes nor keeps what the calls
// took. VELTRINO_LOAD_CALLS sets the number of calls (scripts/load runs more).
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "expectations.h"

namespace e2e {
namespace {

using Calls = std::vector<std::pair<std::string, Json>>;

// Memory once every call so far is settled. The guard's timer holds a call until
// its five seconds are up, answered or not; "off" is never answered by these
// helpers, so its own guard fires after every timer before it.
Memory settledMemory(HostProcess& host) {
  const int marker = host.call("off");
  EXPECT_EQ(host.answer(marker, 60s), nullResult(marker, "off"));
  EXPECT_GE(host.latency(marker), kGuard);
  return host.memory();
}

// A host and a helper that never answers "off"; each test sends its burst twice,
// with the host's memory settled before and after each.
class Load : public ::testing::Test {
 protected:
  // The link to the helper is made first, so that what is measured is what the calls cost.
  void start(std::vector<std::string> flags = {}) {
    flags.insert(flags.begin(), {"--silent", "iosOff"});
    root.installHelper(flags);
    host.emplace(root, Launch{.heapProbe = !kSanitized});
    const char* calls = std::getenv("VELTRINO_LOAD_CALLS");
    count = calls == nullptr || *calls == '\0' ? 10000 : std::stoul(calls);
    EXPECT_EQ(host->answer(host->call("get_tunnel_version"))["result"], "1.0.0");
    before = settledMemory(*host);
  }

  // Generous, for sanitizer builds and busy machines.
  std::chrono::milliseconds timeout() const { return 60s + std::chrono::milliseconds(static_cast<long>(count) * 5); }

  // Sends |calls|, the second half once |midway| has run, and waits for their answers;
  // checks each with |check|.
  void burst(const Calls& calls, const std::function<void(std::size_t, const Json&)>& check,
             const std::function<void()>& midway = [] {}) {
    const auto start = std::chrono::steady_clock::now();
    auto ids = host->callAll(Calls(calls.begin(), calls.begin() + calls.size() / 2));
    midway();
    const auto more = host->callAll(Calls(calls.begin() + calls.size() / 2, calls.end()));
    ids.insert(ids.end(), more.begin(), more.end());
    ASSERT_TRUE(host->waitForAnswers(ids.back(), timeout()));
    wall = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    for (std::size_t i = 0; i < ids.size(); ++i) {
      (host->latency(ids[i]) >= kGuard ? byGuard : byReply) += 1;
      check(i, host->answer(ids[i]));
    }
  }

  // Runs |oneBurst| twice and reports the figures under |name|. The host then quits
  // when its input ends; every call had one answer and the memory the calls took is
  // back: what the first burst leaves in use is the room its queues and timer heap
  // grew to, kept for the next burst, and the second must give back all it takes. A
  // call that kept as little as one map node (some 50 bytes) would leave half a
  // megabyte per 10,000 calls; the reply handlers a connection holds, some 600 bytes.
  // Measured on the heap in use: resident memory moves by megabytes from run to run
  // with where the allocator happens to place a burst.
  void twoBursts(const char* name, const std::function<void()>& oneBurst) {
    Memory after[2];
    for (Memory& settled : after) {
      oneBurst();
      settled = settledMemory(*host);
    }
    std::printf(
        "[ figures  ] %s: %zu calls in %lld ms; heap in use %ld kB before, %ld kB after one burst, %ld kB after "
        "two; VmRSS %ld kB before, %ld kB after one burst, %ld kB after two, VmHWM %ld kB; %zu answered within the "
        "guard's 5 s, %zu by the guard; %zu helper run(s)\n",
        name, count, static_cast<long long>(wall.count()), before.heapKb, after[0].heapKb, after[1].heapKb,
        before.rssKb, after[0].rssKb, after[1].rssKb, after[1].hwmKb, byReply, byGuard, root.helperPids().size());
    std::fflush(stdout);
    EXPECT_EQ(host->finish(), 0);
    expectEachCallAnsweredOnce(*host);
    expectQuietStandardError(*host);
    if (kSanitized) return;  // the sanitizer owns the allocator there
    ASSERT_TRUE(after[0].heapKb >= 0 && after[1].heapKb >= 0) << "the heap probe did not answer";
    const long allowanceKb = 256 + static_cast<long>(count / 256);  // 4 bytes a call
    EXPECT_LE(after[1].heapKb - after[0].heapKb, allowanceKb)
        << "heap in use " << after[0].heapKb << " kB after one burst, " << after[1].heapKb << " kB after two";
  }

  TempRoot root;
  std::optional<HostProcess> host;
  std::size_t count = 0;  // calls in a burst
  Memory before;          // settled, before the first burst
  std::chrono::milliseconds wall{0};  // the last burst's, from its first write to its last answer
  std::size_t byReply = 0;            // answers that came before the guard's time
  std::size_t byGuard = 0;
};

TEST_F(Load, CallsInFlightAgainstASilentHelperAreEachAnsweredOnceByTheGuard) {
  start();
  // A helper that keeps its connection and never answers keeps, as XPC does, the
  // reply handlers the link holds for it until the connection ends. It is ended
  // after each burst, so that what is measured is what the host itself keeps.
  twoBursts("silent helper", [&] {
    const std::size_t logged = root.ops().size();
    burst(Calls(count, {"off", nullptr}), [](std::size_t i, const Json& answer) {
      if (answer.value("result", Json("missing")) != nullptr) ADD_FAILURE() << "call " << i << ": " << answer;
    });
    EXPECT_TRUE(root.waitForOps(logged + count)) << "not every call reached the helper";
    root.killHelpers();
  });
  EXPECT_EQ(byGuard, 2 * count);
  EXPECT_THAT(host->diagnostics(), IsEmpty());
}

TEST_F(Load, CallsInFlightAgainstAnAnsweringHelperAreEachAnsweredOnceByTheReply) {
  start();
  twoBursts("answering helper", [&] {
    burst(Calls(count, {"get_tunnel_version", nullptr}), [&](std::size_t i, const Json& answer) {
      // A reply that lost the race to its guard reads null. That may happen only
      // where sanitizers slow everything down, and only at the guard's time.
      const Json result = answer.value("result", Json("missing"));
      const bool lostToTheGuard = kSanitized && result == nullptr && host->latency(answer.value("id", 0)) >= kGuard;
      if (result != "1.0.0" && !lostToTheGuard) ADD_FAILURE() << "call " << i << ": " << answer;
    });
  });
  if (!kSanitized) {
    EXPECT_EQ(byReply, 2 * count);
  }
  EXPECT_EQ(root.helperPids().size(), 1u);
  EXPECT_THAT(host->diagnostics(), IsEmpty());
}

TEST_F(Load, AMixedBurstSurvivesTheHelperKilledInItsMidst) {
  // Replies come two seconds late, so the kill lands while the burst is in flight even
  // when a loaded machine (sanitizers, other tests) stalls the host for a second.
  start({"--reply-delay-ms", "2000"});
  const Calls kinds = {{"set_token", kToken}, {"set_hive", kHive}, {"on", Json::object()},
                       {"get_tunnel_version", nullptr}, {"print", {{"message", "load"}}}, {"set_rules", kRules},
                       {"get_status", nullptr}, {"access", nullptr}, {"off", nullptr},
                       {"no_such_method", Json::object()}};
  Calls calls;
  for (std::size_t i = 0; i < count; ++i) calls.push_back(kinds[i % kinds.size()]);

  // The kill comes once the helper has had a part of the burst's first half: that
  // half dies in flight with the helper, the second half meets the one started in
  // its place.
  twoBursts("mixed burst, helper killed in each", [&] {
    const std::size_t logged = root.ops().size();
    const std::size_t runs = root.helperPids().size();
    std::size_t diedInFlight = 0;
    std::size_t versionsAfterTheKill = 0;
    const auto kill = [&] {
      ASSERT_TRUE(root.waitForOps(logged + count / 10, timeout()));
      ASSERT_EQ(::kill(root.helperPids().back(), SIGKILL), 0);
    };
    burst(calls, [&](std::size_t i, const Json& answer) {
      const std::string& method = calls[i].first;
      const Json id = answer.value("id", Json());
      if (method == "get_status" || method == "no_such_method") {
        EXPECT_EQ(answer, Json({{"id", id}, {"method", method}, {"notImplemented", true}}));
      } else if (method != "get_tunnel_version") {
        EXPECT_EQ(answer, Json({{"id", id}, {"method", method}, {"result", nullptr}}));
      } else if (answer == Json({{"id", id}, {"method", method}, {"result", nullptr}})) {
        diedInFlight += i < count / 2;
      } else {
        EXPECT_EQ(answer, Json({{"id", id}, {"method", method}, {"result", "1.0.0"}}));
        versionsAfterTheKill += i >= count / 2;
      }
    }, kill);
    EXPECT_GT(root.helperPids().size(), runs) << "no helper was started after the kill";
    // The kill landed inside the burst: calls of the first half died with the
    // helper, and the second half met the one started after it.
    EXPECT_GT(diedInFlight, 0u);
    EXPECT_GT(versionsAfterTheKill, 0u);
  });
  expectOwnDiagnostics(*host, {"load"});
}

}  // namespace
}  // namespace e2e
