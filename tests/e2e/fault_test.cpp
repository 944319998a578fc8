// The whole host against real helper processes over the real link, each test in a
// system root of its own: a session as it should go, then helpers that die, break the
// wire or cannot be installed. Every call is still answered once, the host goes on
// serving, and what it writes on its own is its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "expectations.h"
#include "host_process.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using ::testing::AnyOf;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

const Json kToken = {{"app", "veltrino"}, {"uid", "u-1"}, {"token", "tok-1"}, {"device", "dev-1"}, {"version", "3.2"}};
const Json kHive = {{"ip", "10.8.0.1"}, {"port", "443"}, {"hive", "eu-1"}};
const Json kRules = {{"rules", "10.0.0.0/8"}};
const std::string kBlessFailed = "Helper installation error. Error while installing the Helper: ";
const std::string kDenied =
    "Helper installation error. Unable to get a valid loading authorization reference to load Helper daemon";

Json nullResult(int id, const std::string& method) { return {{"id", id}, {"method", method}, {"result", nullptr}}; }

Json connectionError(int id, const std::string& method, const std::string& message) {
  return {{"id", id}, {"method", method}, {"error", {{"code", "xpc_connection_error"}, {"message", message}}}};
}

// A helper reply is back well inside the guard's five seconds; the guard's own null
// comes no earlier than that.
constexpr auto kServed = 4000ms;
constexpr auto kGuard = 4900ms;

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
  std::vector<pid_t> held;
  for (pid_t pid : root.liveHelperPids()) {
    if (::kill(pid, SIGSTOP) == 0) held.push_back(pid);
  }
  if (!held.empty()) {
    expectGuarded(host, host.call("get_tunnel_version"), "get_tunnel_version");
    for (pid_t pid : held) ::kill(pid, SIGCONT);
    expectServedVersion(host);
  }
  EXPECT_EQ(host.finish(), 0);
  expectEachCallAnsweredOnce(host);
  expectQuietStandardError(host);
  EXPECT_THAT(host.diagnostics(), ElementsAreArray(diagnostics));
}

void startSession(HostProcess& host) {
  for (int id : host.callAll({{"set_token", kToken}, {"set_hive", kHive}, {"on", Json::object()}})) {
    EXPECT_TRUE(host.answer(id).contains("result")) << id;
  }
}

TEST(EndToEnd, TheSessionReachesTheHelperWithDefaults) {
  TempRoot root;
  root.installHelper();
  HostProcess host(root);
  std::vector<int> ids = {host.call("set_token", kToken), host.call("set_hive", kHive),
                          host.call("set_force_routing", {{"state", "on"}}), host.call("set_rules", kRules),
                          host.call("on", Json::object()), host.call("print", {{"message", "session set"}})};
  for (int id : ids) EXPECT_TRUE(host.answer(id).contains("result")) << id;
  EXPECT_EQ(host.finish(), 0);
  const std::string dylib = std::string(VELTRINO_BUNDLE_PATH) + "/Contents/Frameworks/core.dylib";
  EXPECT_THAT(root.opNames(), ElementsAre("#1 setToken", "#1 setHive", "#1 setForce", "#1 setRule", "#1 iosOn"));
  std::vector<Json> sent;
  for (const auto& op : root.ops()) sent.push_back(op["args"]);
  EXPECT_THAT(sent, ElementsAre(Json({dylib, "veltrino", "u-1", "tok-1", "dev-1", "3.2"}),
                                Json({dylib, "10.8.0.1", "443", "eu-1", "off"}), Json({dylib, "on"}),
                                Json({dylib, "10.0.0.0/8"}), Json({dylib, "0"})));
  EXPECT_THAT(host.diagnostics(), ElementsAre("session set"));
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

TEST(Faults, AHelperKilledWhileTheReplayAwaitsItsAccessGetsTheReplayFromTheNext) {
  TempRoot root;
  root.installHelper();
  HostProcess host(root);
  startSession(host);
  ASSERT_TRUE(root.waitForOps(3));
  // The restarted helper is slow to answer the access that the replay waits for...
  root.writeJob({"--reply-delay-ms", "3000"});
  ASSERT_EQ(::kill(root.helperPids().at(0), SIGKILL), 0);
  ASSERT_TRUE(root.waitForOps(4));
  // ... and dies before it does.
  root.writeJob({});
  ASSERT_EQ(::kill(root.helperPids().at(1), SIGKILL), 0);
  ASSERT_TRUE(root.waitForOps(9));

  EXPECT_LT(host.latency(expectNull(host, "off")), kServed);
  EXPECT_THAT(root.opNames(), ElementsAre("#1 setToken", "#1 setHive", "#1 iosOn", "#2 access", "#3 access",
                                          "#3 setToken", "#3 setHive", "#3 setForce", "#3 iosOn", "#3 iosOff"));
  expectCleanEnd(root, host);
}

TEST(Faults, AHelperCrashingInsideTheReplayGetsItWholeFromTheNext) {
  TempRoot root;
  root.installHelper();
  HostProcess host(root);
  startSession(host);
  ASSERT_TRUE(root.waitForOps(3));
  // The restarted helper ends abruptly at the replay's second operation; it answers
  // the access late, which leaves the time to put a sound job back for the run after.
  root.writeJob({"--crash-after", "3", "--reply-delay-ms", "2000"});
  ASSERT_EQ(::kill(root.helperPids().at(0), SIGKILL), 0);
  ASSERT_TRUE(root.waitForOps(4));
  root.writeJob({});
  // The replay's last sends race the crash: those that leave after the host saw the
  // helper go reach the next run, ahead of its own access. Whatever they are, the next
  // run then gets the replay whole.
  // Eleven operations hold the next run's access whichever way the race went.
  ASSERT_TRUE(root.waitForOps(11));
  auto ops = root.opNames();
  auto nextAccess = std::find(ops.begin(), ops.end(), "#3 access");
  ASSERT_NE(nextAccess, ops.end());
  auto first = nextAccess;
  while (first != ops.begin() && (first - 1)->starts_with("#3 ")) --first;
  const std::vector<std::string> stragglers(first, nextAccess);
  EXPECT_THAT(stragglers, AnyOf(IsEmpty(), ElementsAre("#3 iosOn"), ElementsAre("#3 setForce", "#3 iosOn")));
  ASSERT_TRUE(root.waitForOps(11 + stragglers.size()));

  expectNull(host, "off");
  ops = root.opNames();
  nextAccess = std::find(ops.begin(), ops.end(), "#3 access");
  ops.erase(nextAccess - static_cast<std::ptrdiff_t>(stragglers.size()), nextAccess);
  EXPECT_THAT(ops, ElementsAre("#1 setToken", "#1 setHive", "#1 iosOn", "#2 access", "#2 setToken", "#2 setHive",
                               "#3 access", "#3 setToken", "#3 setHive", "#3 setForce", "#3 iosOn", "#3 iosOff"));
  expectCleanEnd(root, host);
}

struct WireFault {
  const char* name;
  const char* flag;
  const char* op;      // the operation answered wrongly
  const char* method;  // the call that sends it
};

void PrintTo(const WireFault& fault, std::ostream* out) { *out << fault.flag << ' ' << fault.op; }

class WireFaults : public ::testing::TestWithParam<WireFault> {};

// The broken reply never answers its call: the guard does, once. A call in flight
// beside it is answered once too, and the next call reaches the helper again.
TEST_P(WireFaults, LeaveTheCallToTheGuardAndTheNextCallServed) {
  const WireFault& fault = GetParam();
  TempRoot root;
  root.installHelper({fault.flag, fault.op});
  HostProcess host(root);
  const auto ids = host.callAll({{fault.method, nullptr}, {"set_rules", kRules}});
  expectGuarded(host, ids[0], fault.method);
  EXPECT_EQ(host.answer(ids[1]), nullResult(ids[1], "set_rules"));
  expectServedVersion(host);
  expectCleanEnd(root, host);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, WireFaults,
    ::testing::Values(WireFault{"Malformed", "--malformed-reply", "iosOff", "off"},
                      WireFault{"OverOneMebibyte", "--oversize-reply", "iosOff", "off"},
                      WireFault{"UnknownCallId", "--unknown-id-reply", "iosOff", "off"},
                      WireFault{"WrongTypes", "--wrong-types-reply", "iosOff", "off"},
                      WireFault{"WrongTypesForAccess", "--wrong-types-reply", "access", "access"},
                      WireFault{"HalfAFrameThenClosed", "--half-frame-reply", "iosOff", "off"}),
    [](const ::testing::TestParamInfo<WireFault>& info) { return std::string(info.param.name); });

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

// Root ignores permission bits, but not a read-only mount: every write below the
// folder fails with EROFS, for root too. The folder is bound onto itself, then the
// binding is made read-only; lifting it lays the folder bare again.
class ReadOnlyMount {
 public:
  explicit ReadOnlyMount(fs::path folder) : folder_(std::move(folder)) {
    mounted_ = ::mount(folder_.c_str(), folder_.c_str(), nullptr, MS_BIND, nullptr) == 0;
    if (mounted_ && ::mount(nullptr, folder_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0) return;
    failure = std::strerror(errno);
    lift();
  }
  ~ReadOnlyMount() { lift(); }
  void lift() {
    if (mounted_ && ::umount2(folder_.c_str(), MNT_DETACH) == 0) mounted_ = false;
  }
  std::string failure;  // why it could not be made read-only; empty when it is

 private:
  fs::path folder_;
  bool mounted_ = false;
};

TEST(Faults, AnInstallationIntoAReadOnlySystemRootFailsAndTheNextOneSucceeds) {
  TempRoot root;
  HostProcess host(root);
  expectNull(host, "print", {{"message", "started"}});
  ReadOnlyMount readOnly(root.path());
  if (!readOnly.failure.empty()) GTEST_SKIP() << "cannot mount the system root read-only here: " << readOnly.failure;

  for (const char* method : {"access", "get_tunnel_version"}) {
    const int id = host.call(method);
    const Json answer = host.answer(id);
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
  std::vector<std::string> beside;
  for (const auto& entry : fs::directory_iterator(root.helperPath().parent_path())) {
    beside.push_back(entry.path().filename().string());
  }
  EXPECT_THAT(beside, ElementsAre("com.veltrino.mac.helper"));
}

TEST(Faults, DeniedAuthorizationAnswersEveryCallAndTheNextRunIsAllowed) {
  TempRoot root;
  {
    HostProcess host(root, "deny");
    const auto ids = host.callAll({{"access", nullptr}, {"get_tunnel_version", nullptr}, {"set_hive", kHive}});
    EXPECT_EQ(host.answer(ids[0]), connectionError(ids[0], "access", kDenied));
    EXPECT_EQ(host.answer(ids[1]), connectionError(ids[1], "get_tunnel_version", kDenied));
    EXPECT_EQ(host.answer(ids[2]), connectionError(ids[2], "set_hive", kDenied));
    expectNull(host, "print", {{"message", "still here"}});
    expectCleanEnd(root, host, {"still here"});
    EXPECT_FALSE(fs::exists(root.helperPath()));
  }
  // The policy is the host's environment, read when it asks; a run that is allowed
  // installs over the same root.
  HostProcess host(root, "allow");
  expectNull(host, "access");
  expectServedVersion(host);
  EXPECT_THAT(root.opNames(), ElementsAre("#1 getVersion", "#1 access", "#1 getTunnelVersion"));
  expectCleanEnd(root, host);
}

TEST(Faults, ADeniedUpdateIsReportedAndCheckedAgainByTheNextAccess) {
  TempRoot root;
  root.installHelper({"--build", "1"});
  {
    HostProcess host(root, "deny");
    for (int i = 0; i < 2; ++i) {
      expectNull(host, "access");
    }
    expectServedVersion(host);
    expectCleanEnd(root, host, {kDenied, kDenied});
  }
  ASSERT_TRUE(root.waitForOps(7));  // the run's last two calls, the helper let go
  HostProcess host(root);
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
