// The launcher under a system root that works against it: helpers that end as soon
// as they start, jobs and programs that someone else could have put in place. Every call is still answered once and the host ends cleanly.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>

#include "expectations.h"
#include "host_process.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const Json kToken = {{"app", "veltrino"}, {"uid", "u-1"}, {"token", "tok-1"}, {"device", "dev-1"}, {"version", "3.2"}};
const Json kHive = {{"ip", "10.8.0.1"}, {"port", "443"}, {"hive", "eu-1"}};

// Puts in the helper's place a program that says it started and ends at once.
void installExitingHelper(const TempRoot& root, std::optional<int> throttleSeconds) {
  fs::create_directories(root.helperPath().parent_path());
  std::ofstream(root.helperPath()) << "#!/bin/sh\necho started\n";
  fs::permissions(root.helperPath(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                         fs::perms::others_read | fs::perms::others_exec);
  root.writeJob({}, throttleSeconds);
}

// How often the helper was started: the lines it left in its log.
std::size_t starts(const TempRoot& root) {
  std::ifstream log(root.path() / "var/log/com.veltrino.mac.helper.log");
  std::size_t count = 0;
  for (std::string line; std::getline(log, line);) count += line == "started";
  return count;
}

void expectCleanEnd(const TempRoot& root, HostProcess& host) {
  EXPECT_EQ(host.finish(), 0);
  expectEachCallAnsweredOnce(host);
  expectOwnDiagnostics(host);
  expectQuietStandardError(host);
  EXPECT_THAT(root.writtenOutside(), IsEmpty());
}

struct Throttle {
  const char* name;
  std::optional<int> seconds;  // the job's ThrottleInterval; launchd's ten when absent
  std::chrono::seconds interval;
};

void PrintTo(const Throttle& throttle, std::ostream* out) { *out << throttle.name; }

class Throttling : public ::testing::TestWithParam<Throttle> {};

// With the tunnel on, each interruption asks for the helper again. A helper that ends
// at once is started no more often than its throttle interval allows, and is started
// again: the calls wait for it, their guard answers them.
TEST_P(Throttling, AHelperThatEndsAtOnceIsStartedNoMoreOftenThanItsInterval) {
  const Throttle& throttle = GetParam();
  TempRoot root;
  installExitingHelper(root, throttle.seconds);
  const auto began = std::chrono::steady_clock::now();
  HostProcess host(root);
  for (int id : host.callAll({{"set_token", kToken}, {"set_hive", kHive}, {"on", Json::object()}})) {
    EXPECT_TRUE(host.answer(id).contains("result")) << id;
  }
  std::this_thread::sleep_until(began + 6s);
  const std::size_t counted = starts(root);
  const auto elapsed = std::chrono::steady_clock::now() - began;
  EXPECT_GE(counted, throttle.interval <= 1s ? 3u : 1u);
  EXPECT_LE(counted, static_cast<std::size_t>(elapsed / throttle.interval) + 1) << "in " << elapsed / 1ms << " ms";
  expectCleanEnd(root, host);
}

INSTANTIATE_TEST_SUITE_P(HostileRoot, Throttling,
                         ::testing::Values(Throttle{"OneSecond", 1, 1s}, Throttle{"LaunchdDefault", std::nullopt, 10s}),
                         [](const ::testing::TestParamInfo<Throttle>& info) { return std::string(info.param.name); });

// What another user could have changed: the file made writable by group or others, or
// handed to another user (root may give files away; nobody's uid is taken for one).
struct Tampering {
  const char* name;
  const char* path;  // under the system root
  fs::perms added;   // permissions added to it
  bool givenAway;    // owned by another user
  const char* failure;
};

void PrintTo(const Tampering& tampering, std::ostream* out) { *out << tampering.name; }

class Ownership : public ::testing::TestWithParam<Tampering> {};

// The job is not started and the connection is invalidated as for a missing job: the
// call is left to the guard, once, and the launcher says what it refused. The host
// took the root when it started; the tampering comes after.
TEST_P(Ownership, AJobSomeoneElseCouldHaveWrittenIsNotStarted) {
  const Tampering& tampering = GetParam();
  TempRoot root;
  root.installHelper();
  HostProcess host(root);
  const int started = host.call("get_status");
  ASSERT_TRUE(host.answer(started).contains("notImplemented")) << "the host did not start";
  const fs::path target = root.path() / tampering.path;
  fs::permissions(target, tampering.added, fs::perm_options::add);
  if (tampering.givenAway && ::chown(target.c_str(), 65534, 65534) != 0) {
    GTEST_SKIP() << "cannot give " << target << " to another user here: " << std::strerror(errno);
  }
  const int id = host.call("off");
  EXPECT_EQ(host.answer(id), Json({{"id", id}, {"method", "off"}, {"result", nullptr}}));
  EXPECT_GE(host.latency(id), 4900ms);
  EXPECT_EQ(host.finish(), 0);
  expectEachCallAnsweredOnce(host);
  expectQuietStandardError(host);
  EXPECT_THAT(host.diagnostics(),
              ElementsAre("The job com.veltrino.mac.helper is not started: " + target.string() + tampering.failure,
                          "Unable to connect to Helper although it is installed"));
  EXPECT_TRUE(root.ops().empty());
  EXPECT_FALSE(fs::exists(root.path() / "var/log/com.veltrino.mac.helper.log"));
  EXPECT_THAT(root.writtenOutside(), IsEmpty());
}

constexpr const char* kProgram = "Library/PrivilegedHelperTools/com.veltrino.mac.helper";
constexpr const char* kJob = "Library/LaunchDaemons/com.veltrino.mac.helper.plist";
constexpr const char* kWritable = " is writable by group or others";
constexpr const char* kNotOwned = " is not owned by the host's user or by root";

INSTANTIATE_TEST_SUITE_P(
    HostileRoot, Ownership,
    ::testing::Values(Tampering{"ProgramWritableByOthers", kProgram, fs::perms::others_write, false, kWritable},
                      Tampering{"ProgramWritableByGroup", kProgram, fs::perms::group_write, false, kWritable},
                      Tampering{"ProgramOfAnotherUser", kProgram, fs::perms::none, true, kNotOwned},
                      Tampering{"JobWritableByOthers", kJob, fs::perms::others_write, false, kWritable},
                      Tampering{"JobOfAnotherUser", kJob, fs::perms::none, true, kNotOwned},
                      Tampering{"ProgramFolderWritableByGroup", "Library/PrivilegedHelperTools",
                                fs::perms::group_write, false, kWritable},
                      Tampering{"JobFolderOfAnotherUser", "Library/LaunchDaemons", fs::perms::none, true, kNotOwned},
                      Tampering{"LibraryWritableByOthers", "Library", fs::perms::others_all, false, kWritable}),
    [](const ::testing::TestParamInfo<Tampering>& info) { return std::string(info.param.name); });

// A socket in the service's place that another user (nobody's uid) listens on: the
// credentials a client sees are those of whoever called listen(), here a child that
// took that uid. The test keeps the socket and reads what the host left in it.
class PlantedSocket {
 public:
  explicit PlantedSocket(const fs::path& target) : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
    fs::create_directories(target.parent_path());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, target.c_str(), target.native().size() + 1);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
      failure = std::string("bind: ") + std::strerror(errno);
      return;
    }
    const pid_t child = ::fork();
    if (child == 0) ::_exit(::setgid(65534) == 0 && ::setuid(65534) == 0 && ::listen(fd_, SOMAXCONN) == 0 ? 0 : 1);
    int status = -1;
    if (child < 0 || ::waitpid(child, &status, 0) != child || status != 0) failure = "nobody cannot listen here";
  }
  ~PlantedSocket() { ::close(fd_); }
  // Once the host has gone: how many connections it made, and whether any was sent a byte.
  std::pair<int, bool> seen() const {
    int connections = 0;
    bool sent = false;
    for (int peer; (peer = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ::close(peer)) {
      char byte = 0;
      ++connections;
      sent = sent || ::recv(peer, &byte, 1, 0) > 0;
    }
    return {connections, sent};
  }
  std::string failure;  // why it could not be planted; empty when it is

 private:
  int fd_;
};

// The host connects, sees who listens, and sends nothing there: its calls are still
// answered once each.
TEST(HostileRoot, ASocketPlantedByAnotherUserGetsNoMessage) {
  TempRoot root;
  root.installHelper();
  PlantedSocket planted(root.serviceSocket());
  if (!planted.failure.empty()) GTEST_SKIP() << "cannot plant a socket as another user: " << planted.failure;
  HostProcess host(root);
  for (int id : host.callAll({{"get_tunnel_version", nullptr}, {"off", nullptr}, {"set_hive", kHive}})) {
    EXPECT_TRUE(host.answer(id).is_object()) << id;
  }
  EXPECT_EQ(host.finish(), 0);
  expectEachCallAnsweredOnce(host);
  expectOwnDiagnostics(host);
  expectQuietStandardError(host);
  const auto [connections, sent] = planted.seen();
  EXPECT_GT(connections, 0) << "the host never tried the planted socket";
  EXPECT_FALSE(sent) << "the planted socket was sent a message";
  EXPECT_TRUE(root.ops().empty());
  EXPECT_THAT(root.writtenOutside(), IsEmpty());
}

// Everything under |folder|, by path.
std::set<fs::path> contents(const fs::path& folder) {
  std::set<fs::path> out;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) out.insert(entry.path());
  return out;
}

// Why a job cannot be started, arranged in a root with the helper in place.
struct Refusal {
  const char* name;
  std::function<void(const TempRoot&)> arrange;
  std::function<std::string(const TempRoot&)> reason;  // what the line gives, or begins with
};

void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

class Refusals : public ::testing::TestWithParam<Refusal> {};

// Every call is still answered once, by the guard; the launcher says why, once for
// all the calls that met the refusal, in one burst or later.
TEST_P(Refusals, AJobThatCannotBeStartedIsRefusedWithItsReasonOnce) {
  const Refusal& refusal = GetParam();
  TempRoot root;
  root.installHelper();
  refusal.arrange(root);
  HostProcess host(root);
  for (int id : host.callAll({{"access", nullptr}, {"off", nullptr}, {"set_hive", kHive}})) {
    EXPECT_TRUE(host.answer(id).contains("result")) << id;
  }
  const int later = host.call("off");
  EXPECT_EQ(host.answer(later), Json({{"id", later}, {"method", "off"}, {"result", nullptr}}));
  EXPECT_EQ(host.finish(), 0);
  expectEachCallAnsweredOnce(host);
  expectQuietStandardError(host);
  const std::string told = "The job com.veltrino.mac.helper is not started: " + refusal.reason(root);
  auto lines = host.diagnostics();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.starts_with(told); }), 1)
      << ::testing::PrintToString(lines);
  std::erase_if(lines, [&](const std::string& line) { return line.starts_with(told); });
  for (const auto& line : lines) EXPECT_EQ(line, "Unable to connect to Helper although it is installed");
  EXPECT_TRUE(root.ops().empty());
}

fs::path jobPlist(const TempRoot& root) { return root.path() / kJob; }
fs::path helperLog(const TempRoot& root) { return root.path() / "var/log/com.veltrino.mac.helper.log"; }

INSTANTIATE_TEST_SUITE_P(
    HostileRoot, Refusals,
    ::testing::Values(
        Refusal{"JobThatDoesNotParse",
                [](const TempRoot& root) { std::ofstream(jobPlist(root)) << "<plist><dict><key>Label"; },
                [](const TempRoot& root) { return "the job at " + jobPlist(root).string() + " cannot be read: "; }},
        Refusal{"JobOfAnotherLabel",
                [](const TempRoot& root) {
                  std::ifstream in(jobPlist(root));
                  std::string job((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
                  job.replace(job.find("<string>com.veltrino.mac.helper</string>"), 40, "<string>other</string>");
                  std::ofstream(jobPlist(root)) << job;
                },
                [](const TempRoot& root) { return "the job at " + jobPlist(root).string() + " is labelled other"; }},
        Refusal{"LogThatCannotBeOpened", [](const TempRoot& root) { fs::create_directories(helperLog(root)); },
                [](const TempRoot& root) { return "Couldn't open the log " + helperLog(root).string() + ": Is a directory"; }},
        Refusal{"HelperThatCannotBeExecuted",
                [](const TempRoot& root) { std::ofstream(root.helperPath(), std::ios::trunc) << "not a program\n"; },
                [](const TempRoot& root) {
                  return "Couldn't execute " + root.helperPath().string() + ": Exec format error";
                }}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

// Gives |path| and everything under it to nobody; false when this user cannot.
bool giveAway(const fs::path& path) {
  if (::lchown(path.c_str(), 65534, 65534) != 0) return false;
  for (const auto& entry : fs::recursive_directory_iterator(path)) {
    if (::lchown(entry.path().c_str(), 65534, 65534) != 0) return false;
  }
  return true;
}

// A system root that another user made, or could have changed: what lies in it may be
// theirs, so the host takes none of it. The tampering's path is a folder under the
// root, empty for the root itself.
class StartRefusal : public ::testing::TestWithParam<Tampering> {};

// Refused at start with one line and status 2, before anything in it is written,
// started or connected to: a listener planted there is never reached.
TEST_P(StartRefusal, ARootAnotherUserCouldHaveArrangedIsRefusedAtStart) {
  const Tampering& foreign = GetParam();
  TempRoot root;
  root.installHelper();
  const fs::path target = root.path() / foreign.path;
  fs::create_directories(target);
  fs::permissions(target, foreign.added, fs::perm_options::add);
  std::optional<PlantedSocket> planted;
  if (foreign.givenAway) {
    planted.emplace(root.serviceSocket());
    if (!planted->failure.empty() || !giveAway(target)) GTEST_SKIP() << "cannot act as another user here";
  }
  const auto before = contents(root.path());
  HostProcess host(root);
  EXPECT_EQ(host.finish(), 2);
  const fs::path systemRoot = fs::canonical(root.path());
  const fs::path refused = *foreign.path != '\0' ? systemRoot / foreign.path : systemRoot;
  EXPECT_EQ(host.standardError(), std::string(VELTRINO_HOST_PATH) + ": refused the system root " +
                                      systemRoot.string() + ": " + refused.string() + foreign.failure + "\n");
  EXPECT_THAT(host.standardOutput(), IsEmpty());
  EXPECT_EQ(contents(root.path()), before) << "the host wrote into the root";
  if (planted) {
    EXPECT_EQ(planted->seen(), std::make_pair(0, false)) << "connections made, and whether one was sent a byte";
  }
  EXPECT_TRUE(root.ops().empty());
}

INSTANTIATE_TEST_SUITE_P(
    HostileRoot, StartRefusal,
    ::testing::Values(Tampering{"AnotherUsersRootWithTheirListener", "", fs::perms::none, true, kNotOwned},
                      Tampering{"RootWritableByOthers", "", fs::perms::others_write, false, kWritable},
                      Tampering{"ServiceFolderWritableByGroup", "var/run", fs::perms::group_write, false, kWritable},
                      Tampering{"JobFolderOfAnotherUser", "Library/LaunchDaemons", fs::perms::none, true, kNotOwned},
                      Tampering{"LogFolderWritableByOthers", "var/log", fs::perms::others_write, false, kWritable}),
    [](const ::testing::TestParamInfo<Tampering>& info) { return std::string(info.param.name); });

// Two hosts on one root, calling at once: one of them starts the helper, the other
// finds it answering, and both are served by that one process.
TEST(HostileRoot, TwoHostsOnOneRootShareOneHelper) {
  TempRoot root;
  root.installHelper();
  {
    // A long job makes reading it, between finding no helper and binding the socket,
    // take a while: two launchers not kept apart both start one.
    const fs::path job = root.path() / "Library/LaunchDaemons/com.veltrino.mac.helper.plist";
    std::ifstream in(job);
    std::string plist((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string padding = "  <key>Padding</key>\n  <array>\n";
    for (int i = 0; i < 50000; ++i) padding += "    <string>padding</string>\n";
    padding += "  </array>\n";
    plist.insert(plist.rfind("</dict>"), padding);
    std::ofstream(job) << plist;
  }
  HostProcess first(root);
  HostProcess second(root);
  std::this_thread::sleep_for(300ms);  // both up, so that their calls go out together
  const std::vector<std::pair<std::string, Json>> calls(4, {"get_tunnel_version", nullptr});
  const auto firstIds = first.callAll(calls);
  const auto secondIds = second.callAll(calls);
  for (auto [host, ids] : {std::pair{&first, firstIds}, std::pair{&second, secondIds}}) {
    for (int id : ids) {
      EXPECT_EQ(host->answer(id), Json({{"id", id}, {"method", "get_tunnel_version"}, {"result", "1.0.0"}}));
    }
  }
  ASSERT_TRUE(root.waitForOps(8));
  EXPECT_EQ(root.helperPids().size(), 1u);
  // A helper that nobody reaches logs no operation, but says it started.
  std::ifstream log(root.path() / "var/log/com.veltrino.mac.helper.log");
  std::size_t started = 0;
  for (std::string line; std::getline(log, line);) started += line.starts_with("veltrino-helperd ");
  EXPECT_EQ(started, 1u);
  for (HostProcess* host : {&first, &second}) expectCleanEnd(root, *host);
}

// An updating run releases the old helper's connection while the first access is
// still on its way back: the reply, late but before the guard, is still its answer.
TEST(HostileRoot, TheFirstAccessOfAnUpdatingRunIsAnsweredByItsReply) {
  TempRoot root;
  root.installHelper({"--build", "1", "--reply-delay-ms", "600", "--late-reply", "access"});
  HostProcess host(root);
  const int id = host.call("access");
  EXPECT_EQ(host.answer(id), Json({{"id", id}, {"method", "access"}, {"result", nullptr}}));
  EXPECT_LT(host.latency(id), 4000ms) << "left to the guard";
  ASSERT_TRUE(root.waitForOps(3));
  EXPECT_THAT(root.opNames(), ElementsAre("#1 getVersion", "#1 access", "#1 exitHelper"));
  expectCleanEnd(root, host);
}

}  // namespace
}  // namespace e2e
