// The whole host against real helper processes over the real link, each test in a
// system root of its own: helpers that die, break the wire or cannot be installed.
// Every call is still answered once, the host goes on serving, and what it writes on
// its own is its own.
#include <signal.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "expectations.h"

namespace e2e {
namespace {

// Calls |method| and expects a null result; its id.
int expectNull(HostProcess& host, const std::string& method, const Json& arguments = nullptr) {
  const int id = host.call(method, arguments);
  EXPECT_EQ(host.answer(id), nullResult(id, method));
  return id;
}

// Call |id| left to the guard: its null, no earlier than the guard.
void expectGuarded(HostProcess& host, int id, const std::string& method) {
  EXPECT_EQ(host.answer(id), nullResult(id, method));
  EXPECT_GE(host.latency(id), kGuard);
}

void expectServedVersion(HostProcess& host) {
  const int id = host.call("get_tunnel_version");
  EXPECT_EQ(host.answer(id), Json({{"id", id}, {"method", "get_tunnel_version"}, {"result", "1.0.0"}}));
  EXPECT_LT(host.latency(id), kServed);
}

// The guard's timer runs five seconds after its call, answered or not, and the host
// quits as soon as every call has its answer: a timer answering a second time would
// never be seen. So the helpers are held still while one more call waits out its
// own guard, which fires after every timer before it. Let go, the helper answers
// that call late, and the call after it, on the same link, comes back only once
// the late reply has been dealt with. Then the host's own lines are |diagnostics|.
void expectCleanEnd(const TempRoot& root, HostProcess& host, const std::vector<std::string>& diagnostics = {}) {
  std::vector<pid_t> held = root.liveHelperPids();
  std::erase_if(held, [](pid_t pid) { return ::kill(pid, SIGSTOP) != 0; });
  if (!held.empty()) {
    expectGuarded(host, host.call("get_tunnel_version"), "get_tunnel_version");
    for (pid_t pid : held) ::kill(pid, SIGCONT);
    expectServedVersion(host);
  }
  EXPECT_EQ(host.finish(), 0);
  expectEachCallAnsweredOnce(host);
  expectQuietStandardError(host);
  EXPECT_THAT(host.diagnostics(), ::testing::ElementsAreArray(diagnostics));
}

TEST(EndToEnd, AnInstalledHelperWithoutAJobCannotBeReached) {
  TempRoot root;
  root.installHelper();
  fs::remove(root.path() / "Library/LaunchDaemons/com.veltrino.mac.helper.plist");
  HostProcess host(root);
  const int id = host.call("off");
  expectGuarded(host, id, "off");
  EXPECT_LT(host.latency(id), 7000ms);
  EXPECT_THAT(host.diagnostics(), ElementsAre("Unable to connect to Helper although it is installed"));
  EXPECT_EQ(host.finish(), 0);
}

TEST(Faults, AHelperKilledMidCallLeavesTheCallsInFlightToTheGuard) {
  TempRoot root;
  root.installHelper({"--reply-delay-ms", "3000"});
  HostProcess host(root);
  const auto ids = host.callAll({{"get_tunnel_version", nullptr}, {"off", nullptr}});
  ASSERT_TRUE(root.waitForOps(2));
  root.writeJob({});  // the next run answers at once
  ASSERT_EQ(::kill(root.helperPids().at(0), SIGKILL), 0);

  // The version never came: null from the guard, not "1.0.0", and only once.
  expectGuarded(host, ids[0], "get_tunnel_version");
  EXPECT_EQ(host.answer(ids[1]), nullResult(ids[1], "off"));
  expectServedVersion(host);
  EXPECT_THAT(root.opNames(), ElementsAre("#1 getTunnelVersion", "#1 iosOff", "#2 getTunnelVersion"));
  expectCleanEnd(root, host);
}

// After the session's helper is killed, the next one is killed while the replay
// awaits its access, and the one after it ends abruptly inside the replay: the one
// after that gets the replay whole.
TEST(Faults, HelpersKilledOrCrashingInsideTheReplayLeaveItWholeForTheNext) {
  TempRoot root;
  root.installHelper();
  HostProcess host(root);
  for (int id : host.callAll({{"set_token", kToken}, {"set_hive", kHive}, {"on", Json::object()}})) {
    EXPECT_TRUE(host.answer(id).contains("result")) << id;
  }
  ASSERT_TRUE(root.waitForOps(3));
  root.writeJob({"--reply-delay-ms", "3000"});  // slow to answer the access
  ASSERT_EQ(::kill(root.helperPids().at(0), SIGKILL), 0);
  ASSERT_TRUE(root.waitForOps(4));
  // The third ends at the replay's second operation; it answers the access late, which
  // leaves the time to put a sound job back for the run after.
  root.writeJob({"--crash-after", "3", "--reply-delay-ms", "2000"});
  ASSERT_EQ(::kill(root.helperPids().at(1), SIGKILL), 0);
  ASSERT_TRUE(root.waitForOps(5));
  root.writeJob({});
  // The replay's last sends race the crash: those that leave after the host saw the
  // helper go reach the next run ahead of its own access, and are set aside here.
  // Whatever they are, the next run then gets the replay whole.
  ASSERT_TRUE(root.waitForOps(12));  // the next run's access, whichever way the race went
  std::vector<std::string> ops = root.opNames(), stragglers;
  const auto access = std::find(ops.begin(), ops.end(), "#4 access");
  std::copy_if(ops.begin(), access, std::back_inserter(stragglers), [](auto& op) { return op.starts_with("#4 "); });
  EXPECT_THAT(stragglers, AnyOf(IsEmpty(), ElementsAre("#4 iosOn"), ElementsAre("#4 setForce", "#4 iosOn")));
  ASSERT_TRUE(root.waitForOps(12 + stragglers.size()));
  expectNull(host, "off");
  ops = root.opNames();
  ops.erase(ops.begin() + 7, ops.begin() + 7 + static_cast<std::ptrdiff_t>(stragglers.size()));
  EXPECT_THAT(ops, ElementsAre("#1 setToken", "#1 setHive", "#1 iosOn", "#2 access", "#3 access", "#3 setToken",
                               "#3 setHive", "#4 access", "#4 setToken", "#4 setHive", "#4 setForce", "#4 iosOn",
                               "#4 iosOff"));
  expectCleanEnd(root, host);
}

class WireFaults : public ::testing::TestWithParam<std::vector<std::string>> {};

// The helper's flag and the operation it answers wrongly. The broken reply never
// answers its call: the guard does, once. A call in flight beside it is answered
// once too, and the next call reaches the helper again.
TEST_P(WireFaults, LeaveTheCallToTheGuardAndTheNextCallServed) {
  TempRoot root;
  root.installHelper(GetParam());
  HostProcess host(root);
  const std::string method = GetParam()[1] == "access" ? "access" : "off";
  const auto ids = host.callAll({{method, nullptr}, {"set_rules", kRules}});
  expectGuarded(host, ids[0], method);
  EXPECT_EQ(host.answer(ids[1]), nullResult(ids[1], "set_rules"));
  expectServedVersion(host);
  expectCleanEnd(root, host);
}

INSTANTIATE_TEST_SUITE_P(Faults, WireFaults,
                         ::testing::Values(std::vector<std::string>{"--malformed-reply", "iosOff"},
                                           std::vector<std::string>{"--oversize-reply", "iosOff"},  // over 1 MiB
                                           std::vector<std::string>{"--unknown-id-reply", "iosOff"},
                                           std::vector<std::string>{"--wrong-types-reply", "iosOff"},
                                           std::vector<std::string>{"--wrong-types-reply", "access"},
                                           std::vector<std::string>{"--half-frame-reply", "iosOff"}));  // closed

// Nobody can reach a helper whose socket file is gone: it ends within a second or
// so, and the interruption's access (the tunnel is on) reaches the next run.
TEST(Faults, AHelperWhoseSocketFileIsRemovedEndsAndTheNextRunServes) {
  TempRoot root;
  root.installHelper();
  HostProcess host(root);
  expectNull(host, "on", Json::object());
  ASSERT_TRUE(fs::remove(root.serviceSocket()));
  ASSERT_TRUE(root.waitForOps(2));
  EXPECT_EQ(root.helperPids().size(), 2u);
  expectServedVersion(host);
  EXPECT_THAT(root.opNames(), ElementsAre("#1 iosOn", "#2 access", "#2 getTunnelVersion"));
  expectCleanEnd(root, host);
}

// The helper's file removed and the helper killed: the interruption's access finds
// nothing to start, and the connection is invalidated. The next call installs the
// helper again, and the new helper gets the session ahead of that call.
TEST(Faults, AHelperDeletedAndKilledIsInstalledAgainAndGetsTheSession) {
  TempRoot root;
  root.installHelper();
  HostProcess host(root);
  for (int id : host.callAll({{"set_token", kToken}, {"set_hive", kHive}, {"on", Json::object()}})) {
    EXPECT_EQ(host.answer(id).value("result", Json("no result")), nullptr);
  }
  ASSERT_TRUE(root.waitForOps(3));
  ASSERT_TRUE(fs::remove(root.helperPath()));
  ASSERT_EQ(::kill(root.helperPids().at(0), SIGKILL), 0);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!::testing::Value(host.diagnostics(), Contains("Helper is not installed")) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  const std::vector<std::string> lines = host.diagnostics();
  ASSERT_THAT(lines, ElementsAre(StartsWith("The job com.veltrino.mac.helper is not started: "),
                                 "Helper is not installed"))
      << "waited 5 s for the invalidation, told once with its reason";

  // The job that blessing writes keeps launchd's ten seconds between starts: the call
  // waits for the new run, past its guard.
  expectGuarded(host, host.call("get_tunnel_version"), "get_tunnel_version");
  ASSERT_TRUE(root.waitForOps(9, 15s)) << "waited for the new run, ten seconds after the first";
  expectServedVersion(host);
  EXPECT_THAT(root.opNames(), ElementsAre("#1 setToken", "#1 setHive", "#1 iosOn", "#2 access", "#2 getTunnelVersion",
                                          "#2 setToken", "#2 setHive", "#2 setForce", "#2 iosOn", "#2 getTunnelVersion"));
  expectCleanEnd(root, host, lines);
}

// Root ignores permission bits, but not a read-only mount: every write below the
// folder fails with EROFS, for root too. The folder is bound onto itself, then the
// binding is made read-only; lifting it lays the folder bare again.
struct ReadOnlyMount {
  explicit ReadOnlyMount(const fs::path& path) : folder(path) {
    bound = ::mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) == 0;
    if (bound && ::mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0) return;
    failure = std::strerror(errno);
    lift();
  }
  ~ReadOnlyMount() { lift(); }
  void lift() { bound = bound && ::umount2(folder.c_str(), MNT_DETACH) != 0; }
  fs::path folder;
  bool bound = false;
  std::string failure;  // why it could not be made read-only; empty when it is
};

TEST(Faults, AnInstallationIntoAReadOnlySystemRootFailsAndTheNextOneSucceeds) {
  TempRoot root;
  HostProcess host(root);
  expectNull(host, "print", {{"message", "started"}});
  ReadOnlyMount readOnly(root.path());
  if (!readOnly.failure.empty()) GTEST_SKIP() << "cannot mount the system root read-only here: " << readOnly.failure;

  for (const char* method : {"access", "get_tunnel_version"}) {
    const Json answer = host.answer(host.call(method));
    const Json error = answer.value("error", Json::object());
    EXPECT_EQ(error.value("code", ""), "xpc_connection_error") << answer;
    EXPECT_THAT(error.value("message", ""), StartsWith(kBlessFailed));
    EXPECT_THAT(error.value("message", ""), HasSubstr("Read-only file system"));
  }
  EXPECT_FALSE(fs::exists(root.helperPath()));

  readOnly.lift();
  expectNull(host, "access");
  expectServedVersion(host);
  EXPECT_THAT(root.opNames(), ElementsAre("#1 getVersion", "#1 access", "#1 getTunnelVersion"));
  expectCleanEnd(root, host, {"started"});
  // Nothing half-written stayed beside the helper.
  EXPECT_EQ(std::distance(fs::directory_iterator(root.helperPath().parent_path()), {}), 1);
}

// The policy is the host's environment, read when it asks. Denied, with nothing
// installed, every call gets the error; with an older helper in place, the update is
// reported and the old helper serves; a run that is allowed then updates it.
TEST(Faults, DeniedAuthorizationAnswersEveryCallAndADeniedUpdateIsCheckedAgainByTheNextRun) {
  TempRoot root;
  {
    HostProcess host(root, {.authorization = "deny"});
    const std::vector<std::pair<std::string, Json>> calls = {
        {"access", nullptr}, {"get_tunnel_version", nullptr}, {"set_hive", kHive}};
    const auto ids = host.callAll(calls);
    for (std::size_t i = 0; i < ids.size(); ++i) {
      EXPECT_EQ(host.answer(ids[i]), Json({{"id", ids[i]}, {"method", calls[i].first},
                                           {"error", {{"code", "xpc_connection_error"}, {"message", kDenied}}}}));
    }
    expectNull(host, "print", {{"message", "still here"}});
    expectCleanEnd(root, host, {"still here"});
    EXPECT_FALSE(fs::exists(root.helperPath()));
  }
  root.installHelper({"--build", "1"});
  {
    HostProcess host(root, {.authorization = "deny"});
    expectNull(host, "access");
    expectNull(host, "access");
    expectServedVersion(host);
    expectCleanEnd(root, host, {kDenied, kDenied});
  }
  ASSERT_TRUE(root.waitForOps(7));  // the run's last two calls, the helper let go
  HostProcess host(root, {.authorization = "allow"});
  expectNull(host, "access");
  ASSERT_TRUE(root.waitForOps(10));
  expectServedVersion(host);
  EXPECT_THAT(root.opNames(), ElementsAre("#1 getVersion", "#1 access", "#1 getVersion", "#1 access",
                                          "#1 getTunnelVersion", "#1 getTunnelVersion", "#1 getTunnelVersion",
                                          "#1 getVersion", "#1 access", "#1 exitHelper", "#2 getTunnelVersion"));
  expectCleanEnd(root, host);
}

}  // namespace
}  // namespace e2e
