// The service namespace against real helper processes: launch on demand, a missing
// job, a helper that dies or talks nonsense, and a connection released mid-flight.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <gmock/gmock.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <future>
#include <sstream>

#include "platform/linux/launch_job.h"
#include "platform/linux/unique_fd.h"
#include "tests/integration/link_fixture.h"

namespace link_test {
namespace {

using platform::linux_backend::ServiceConnection;
using ::testing::ElementsAre;

const std::string kInterrupted = "Couldn't communicate with a helper application.";
const std::string kGetVersion = "getVersionWithCompletion:";
const std::string kAccess = "access:completion:";

class ServiceNamespaceTest : public LinkTest {};

TEST_F(ServiceNamespaceTest, FirstMessageLaunchesTheJobAndTheReplyRunsOnTheConnectionsQueue) {
  writeJob(sysroot, kLabel, helperd({"--version", "2.5", "--build", "250"}));
  auto transport = connect();
  auto* connection = dynamic_cast<ServiceConnection*>(transport.get());
  ASSERT_NE(connection, nullptr);
  resume(*transport, events, "c");

  std::promise<std::pair<platform::XPCValues, bool>> reply;
  std::thread::id replyThread;
  transport->send(
      {kGetVersion, {}, true},
      [&](platform::XPCValues values) {
        replyThread = std::this_thread::get_id();
        reply.set_value({values, connection->isCurrentQueue()});
      },
      [&](const platform::NSError& error) { ADD_FAILURE() << error.localizedDescription; });
  auto future = reply.get_future();
  ASSERT_EQ(future.wait_for(kPatience), std::future_status::ready);
  auto [values, onQueue] = future.get();
  EXPECT_EQ(render(values), "2.5,250");
  EXPECT_TRUE(onQueue);
  EXPECT_EQ(replyThread, loop.threadId());
  EXPECT_FALSE(connection->isCurrentQueue());

  // The service listens where the namespace put it, for our user only, and its
  // output goes to its log.
  struct stat info {};
  ASSERT_EQ(::stat(sysroot.serviceSocket(kLabel).c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_TRUE(std::filesystem::exists(sysroot.serviceLog(kLabel)));
  auto records = readOps(sysroot);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].op, "getVersion");
  EXPECT_TRUE(processRunning(records[0].pid));
}

TEST_F(ServiceNamespaceTest, ConnectionsStartedTogetherShareOneLaunchEvenOverAStaleSocket) {
  // A socket file left by a helper that is gone answers nobody.
  std::filesystem::create_directories(sysroot.serviceSocket(kLabel).parent_path());
  {
    platform::linux_backend::UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, sysroot.serviceSocket(kLabel).c_str());
    ASSERT_EQ(::bind(stale.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  }
  writeJob(sysroot, kLabel, helperd());
  std::vector<std::unique_ptr<platform::XPCTransport>> transports;
  for (int i = 0; i < 4; ++i) transports.push_back(connect());
  for (int i = 0; i < 4; ++i) call(*transports[i], events, "c" + std::to_string(i), kGetVersion);
  ASSERT_TRUE(events.waitForCount(4));
  for (const auto& entry : events.entries()) {
    EXPECT_NE(entry.find(" reply " VELTRINO_HELPER_DEFAULT_VERSION "," VELTRINO_HELPER_DEFAULT_BUILD), std::string::npos)
        << entry;
  }
  auto pids = opPids();
  ASSERT_EQ(pids.size(), 4u);
  EXPECT_EQ(std::count(pids.begin(), pids.end(), pids[0]), 4);
}

struct MissingJob {
  const char* name;
  std::function<void(const platform::linux_backend::SystemRoot&)> prepare;
};

class MissingJobTest : public LinkTest, public ::testing::WithParamInterface<MissingJob> {};

TEST_P(MissingJobTest, InvalidatesOnceAndEveryMessageFails) {
  GetParam().prepare(sysroot);
  auto transport = connect();
  resume(*transport, events, "c");
  call(*transport, events, "first", kGetVersion);
  sendOneWay(*transport, events, "exit", "exitHelper");
  call(*transport, events, "second", kAccess, {std::string("/lib/x.dylib")});
  ASSERT_TRUE(events.waitForCount(4));
  const std::string invalid = "The connection to service named " + kLabel + " was invalidated.";
  EXPECT_THAT(events.entries(), ElementsAre("c invalidated", "first failed: " + invalid, "exit failed: " + invalid,
                                            "second failed: " + invalid));
  loop.drain();
  EXPECT_EQ(events.entries().size(), 4u);
  EXPECT_TRUE(processesUnderRoot(root.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    ServiceNamespace, MissingJobTest,
    ::testing::Values(
        MissingJob{"NoPlist", [](const auto&) {}},
        MissingJob{"OtherService",
                   [](const auto& r) {
                     platform::linux_backend::LaunchJob job{kLabel, helperd(), {"com.example.other"}};
                     std::filesystem::create_directories(r.launchDaemons());
                     std::ofstream(r.jobPlist(kLabel)) << launchJobXml(job);
                   }},
        MissingJob{"Unreadable",
                   [](const auto& r) {
                     std::filesystem::create_directories(r.launchDaemons());
                     std::ofstream(r.jobPlist(kLabel)) << "<plist><dict><key>Label";
                   }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServiceNamespaceTest, KilledHelperFailsWhatWaitsThenInterruptsAndTheNextMessageRelaunches) {
  writeJob(sysroot, kLabel, helperd({"--silent", "access"}));
  auto transport = connect();
  resume(*transport, events, "c");
  call(*transport, events, "version", kGetVersion);
  ASSERT_TRUE(events.waitForCount(1));
  const pid_t first = opPids().at(0);

  call(*transport, events, "access", kAccess, {std::string("/lib/x.dylib")});
  ASSERT_EQ(::kill(first, SIGKILL), 0);
  ASSERT_TRUE(events.waitForCount(3));
  EXPECT_THAT(events.entries(), ElementsAre("version reply " VELTRINO_HELPER_DEFAULT_VERSION
                                            "," VELTRINO_HELPER_DEFAULT_BUILD,
                                            "access failed: " + kInterrupted, "c interrupted"));

  call(*transport, events, "again", kGetVersion);
  ASSERT_TRUE(events.waitForCount(4));
  EXPECT_EQ(events.entries().back(), "again reply " VELTRINO_HELPER_DEFAULT_VERSION "," VELTRINO_HELPER_DEFAULT_BUILD);
  const pid_t second = opPids().back();
  EXPECT_NE(second, first);
  EXPECT_TRUE(processRunning(second));
}

TEST_F(ServiceNamespaceTest, ReleasingTheConnectionStillDeliversWhatWasSent) {
  writeJob(sysroot, kLabel, helperd());
  auto transport = connect();
  resume(*transport, events, "c");
  call(*transport, events, "version", kGetVersion);
  ASSERT_TRUE(events.waitForCount(1));
  const pid_t helper = opPids().at(0);

  sendOneWay(*transport, events, "exit", "exitHelper");
  transport.reset();
  ASSERT_TRUE(waitForExit(helper));
  auto records = readOps(sysroot);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].op, "exitHelper");
  EXPECT_EQ(records[1].pid, helper);
  // The helper may have gone before the release took effect; nothing failed either way.
  loop.drain();
  for (const auto& entry : events.entries()) EXPECT_EQ(entry.find("failed"), std::string::npos) << entry;
}

TEST_F(ServiceNamespaceTest, AConnectionMadeWhileTheHelperExitsIsServedByTheNextRun) {
  writeJob(sysroot, kLabel, helperd());
  auto leaving = connect();
  resume(*leaving, events, "leaving");
  call(*leaving, events, "version", kGetVersion);
  ASSERT_TRUE(events.waitForCount(1));
  const pid_t first = opPids().at(0);

  EventLog late;
  auto arriving = connect();
  resume(*arriving, late, "arriving");
  sendOneWay(*leaving, events, "exit", "exitHelper");
  call(*arriving, late, "arriving", kGetVersion);
  ASSERT_TRUE(late.waitForCount(1));
  EXPECT_THAT(late.entries(),
              ElementsAre("arriving reply " VELTRINO_HELPER_DEFAULT_VERSION "," VELTRINO_HELPER_DEFAULT_BUILD));
  ASSERT_TRUE(waitForExit(first));
}

TEST_F(ServiceNamespaceTest, TheBackgroundContextRunsOutOfWorkOnceTheLastConnectionIsGone) {
  writeJob(sysroot, kLabel, helperd());
  asio::io_context context;
  platform::linux_backend::ServiceNamespace own(context, sysroot);
  auto transport = own.connect(kLabel, 4096);
  call(*transport, events, "version", kGetVersion);
  auto running = std::async(std::launch::async, [&context] { context.run(); });
  ASSERT_TRUE(events.waitForCount(1));
  // The helper goes on running; nothing of the namespace may keep the thread.
  transport.reset();
  if (running.wait_for(kPatience) != std::future_status::ready) {
    ADD_FAILURE() << "the background context still has work";
    context.stop();
  }
  EXPECT_TRUE(processRunning(opPids().at(0)));
}

TEST_F(ServiceNamespaceTest, NothingRunsForAReleasedConnectionWhenItsHelperDies) {
  writeJob(sysroot, kLabel, helperd({"--silent", "access"}));
  EventLog other;
  auto released = connect();
  auto kept = connect();
  resume(*released, events, "released");
  resume(*kept, other, "kept");
  call(*released, events, "version", kGetVersion);
  call(*kept, other, "version", kGetVersion);
  ASSERT_TRUE(events.waitForCount(1));
  ASSERT_TRUE(other.waitForCount(1));
  call(*released, events, "access", kAccess, {std::string("/lib/x.dylib")});

  released.reset();
  ASSERT_EQ(::kill(opPids().at(0), SIGKILL), 0);
  ASSERT_TRUE(other.waitUntil([](const auto& e) { return e.back() == "kept interrupted"; }));
  loop.drain();
  EXPECT_EQ(events.entries().size(), 1u);
}

class WireFaultTest : public LinkTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(WireFaultTest, ABrokenReplyEndsTheConnectionAsAnInterruptionAndTheNextCallWorks) {
  writeJob(sysroot, kLabel, helperd({GetParam(), "getVersion"}));
  auto transport = connect();
  resume(*transport, events, "c");
  call(*transport, events, "version", kGetVersion);
  ASSERT_TRUE(events.waitForCount(2));
  EXPECT_THAT(events.entries(), ElementsAre("version failed: " + kInterrupted, "c interrupted"));

  call(*transport, events, "access", kAccess, {std::string("/lib/x.dylib")});
  ASSERT_TRUE(events.waitForCount(3));
  EXPECT_EQ(events.entries().back(), "access reply true,,");
  auto pids = opPids();
  ASSERT_EQ(pids.size(), 2u);
  // The helper is still the same process: only the connection was dropped.
  EXPECT_EQ(pids[0], pids[1]);
  EXPECT_EQ(events.count("c interrupted"), 1u);
}

INSTANTIATE_TEST_SUITE_P(ServiceNamespace, WireFaultTest,
                         ::testing::Values("--malformed-reply", "--oversize-reply", "--unknown-id-reply",
                                           "--half-frame-reply"),
                         [](const auto& info) {
                           std::string name;
                           for (const char* c = info.param + 2; *c != '\0'; ++c) {
                             if (*c != '-') name += *c;
                           }
                           return name;
                         });

TEST_F(ServiceNamespaceTest, AProgramThatCannotRunIsAnInterruptionWithItsReasonInTheLog) {
  writeJob(sysroot, kLabel, {(root.path() / "no-such-helper").string()});
  auto transport = connect();
  resume(*transport, events, "c");
  call(*transport, events, "version", kGetVersion);
  ASSERT_TRUE(events.waitForCount(2));
  EXPECT_THAT(events.entries(), ElementsAre("version failed: " + kInterrupted, "c interrupted"));
  std::ifstream log(sysroot.serviceLog(kLabel));
  std::stringstream text;
  text << log.rdbuf();
  // One more try for the connection left waiting, then it is let go.
  std::size_t failures = 0;
  for (auto at = text.str().find("no-such-helper: No such file or directory"); at != std::string::npos;
       at = text.str().find("no-such-helper: No such file or directory", at + 1)) {
    ++failures;
  }
  EXPECT_EQ(failures, 2u) << text.str();
}

}  // namespace
}  // namespace link_test
