// The reference helper through the host's own connection and proxy: every operation
// with its arguments and answers, the scripted faults, and its command line.
#include <gmock/gmock.h>

#include <unistd.h>

#include <chrono>

#include "helper_link/helper_protocol.h"
#include "platform/backend.h"
#include "tests/integration/link_fixture.h"

namespace link_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::string kDylib = "/Applications/Veltrino.app/Contents/Frameworks/libvpn.dylib";

class HelperdTest : public LinkTest {
 protected:
  HelperdTest() {
    platform::Backend backend = platform::installedBackend();
    backend.xpc = &ns;
    previous_ = platform::installBackend(backend);
  }
  ~HelperdTest() override {
    proxy.reset();
    connection.reset();
    platform::installBackend(previous_);
  }

  // A connection made the way the host makes it, with handlers that log.
  void open() {
    connection = platform::NSXPCConnection::initWithMachServiceName(
        kLabel, platform::NSXPCConnection::NSXPCConnectionPrivileged);
    connection->setRemoteObjectInterface(
        platform::NSXPCInterface::interfaceWithProtocol(helper_link::VLTHelperProtocolDescription()));
    connection->setInterruptionHandler([this] { events.add("interrupted"); });
    connection->setInvalidationHandler([this] { events.add("invalidated"); });
    connection->resume();
    proxy = std::make_unique<helper_link::HelperProxy>(connection->remoteObjectProxyWithErrorHandler(
        [this](const platform::NSError& error) { events.add("error: " + error.localizedDescription); }));
  }

  helper_link::EmptyReply done(const std::string& op) {
    return [this, op] { events.add(op + " done"); };
  }

  std::shared_ptr<platform::NSXPCConnection> connection;
  std::unique_ptr<helper_link::HelperProxy> proxy;

 private:
  platform::Backend previous_;
};

TEST_F(HelperdTest, EveryOperationArrivesWithItsArgumentsAndGetsItsScriptedAnswer) {
  writeJob(sysroot, kLabel,
           helperd({"--version", "3.0", "--build", "300", "--access-fail", "E42:libvpn:init", "--tunnel-version",
                    "9.9"}));
  open();
  proxy->getVersion([this](std::string v, std::string b) { events.add("version " + v + " " + b); });
  proxy->access(kDylib, [this](bool ok, std::string code, std::string name) {
    events.add(std::string("access ") + (ok ? "true" : "false") + " " + code + " " + name);
  });
  proxy->getTunnelVersion(kDylib, [this](std::optional<std::string> v) { events.add("tunnel " + v.value_or("<none>")); });
  proxy->iosOn(kDylib, "tls13", done("iosOn"));
  proxy->iosOff(kDylib, done("iosOff"));
  proxy->setHive(kDylib, "10.0.0.1", "443", "hive-1", "false", done("setHive"));
  proxy->setToken(kDylib, "app", "uid-7", "t0ken", "dev", "1.2", done("setToken"));
  proxy->setForce(kDylib, "on", done("setForce"));
  proxy->setRule(kDylib, "[{\"rule\":1}]", done("setRule"));
  ASSERT_TRUE(events.waitForCount(9));
  EXPECT_THAT(events.entries(),
              ElementsAre("version 3.0 300", "access false E42 libvpn:init", "tunnel 9.9", "iosOn done",
                          "iosOff done", "setHive done", "setToken done", "setForce done", "setRule done"));

  const pid_t helper = opPids().at(0);
  proxy->exitHelper();
  ASSERT_TRUE(waitForExit(helper));
  ASSERT_TRUE(events.waitForCount(10));
  EXPECT_EQ(events.entries().back(), "interrupted");

  auto records = readOps(sysroot);
  ASSERT_EQ(records.size(), 10u);
  using nlohmann::json;
  const std::vector<std::pair<std::string, json>> expected = {
      {"getVersion", json::array()},
      {"access", {kDylib}},
      {"getTunnelVersion", {kDylib}},
      {"iosOn", {kDylib, "tls13"}},
      {"iosOff", {kDylib}},
      {"setHive", {kDylib, "10.0.0.1", "443", "hive-1", "false"}},
      {"setToken", {kDylib, "app", "uid-7", "t0ken", "dev", "1.2"}},
      {"setForce", {kDylib, "on"}},
      {"setRule", {kDylib, "[{\"rule\":1}]"}},
      {"exitHelper", json::array()},
  };
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(records[i].op, expected[i].first);
    EXPECT_EQ(records[i].args, expected[i].second) << records[i].op;
    EXPECT_EQ(records[i].pid, helper);
  }
}

TEST_F(HelperdTest, ValuesOfTheWrongTypeFailTheCallButLeaveTheConnectionUp) {
  writeJob(sysroot, kLabel, helperd({"--wrong-types-reply", "getVersion", "--wrong-types-reply", "setForce"}));
  open();
  proxy->getVersion([this](std::string, std::string) { events.add("version"); });
  proxy->setForce(kDylib, "on", done("setForce"));
  proxy->access(kDylib, [this](bool ok, std::string, std::string) { events.add(ok ? "access ok" : "access failed"); });
  ASSERT_TRUE(events.waitForCount(3));
  EXPECT_THAT(events.entries(),
              ElementsAre("error: The reply to getVersionWithCompletion: does not match the interface.",
                          "error: The reply to setForce:state:completion: does not match the interface.",
                          "access ok"));
  auto pids = opPids();
  ASSERT_EQ(pids.size(), 3u);
  EXPECT_EQ(pids[0], pids[2]);
}

TEST_F(HelperdTest, ACrashOnTheNthOperationIsLoggedUnansweredAndTheNextCallStartsANewHelper) {
  writeJob(sysroot, kLabel, helperd({"--no-tunnel-version", "--crash-after", "2"}));
  open();
  proxy->getTunnelVersion(kDylib, [this](std::optional<std::string> v) { events.add("tunnel " + v.value_or("<none>")); });
  proxy->access(kDylib, [this](bool, std::string, std::string) { events.add("access answered"); });
  ASSERT_TRUE(events.waitForCount(3));
  EXPECT_THAT(events.entries(),
              ElementsAre("tunnel <none>", "error: Couldn't communicate with a helper application.", "interrupted"));
  EXPECT_THAT(ops(), ElementsAre("getTunnelVersion", "access"));
  const pid_t crashed = opPids().at(0);
  EXPECT_TRUE(waitForExit(crashed));

  proxy->getVersion([this](std::string v, std::string) { events.add("version " + v); });
  ASSERT_TRUE(events.waitForCount(4));
  EXPECT_EQ(events.entries().back(), "version " VELTRINO_HELPER_DEFAULT_VERSION);
  EXPECT_NE(opPids().back(), crashed);
}

TEST_F(HelperdTest, ARepliesDelayHoldsTheAnswerBack) {
  writeJob(sysroot, kLabel, helperd({"--reply-delay-ms", "300"}));
  open();
  // Launching is not part of the delay that is measured.
  proxy->iosOff(kDylib, done("warm"));
  ASSERT_TRUE(events.waitForCount(1));
  const auto sent = std::chrono::steady_clock::now();
  proxy->iosOff(kDylib, done("iosOff"));
  ASSERT_TRUE(events.waitForCount(2));
  EXPECT_GE(std::chrono::steady_clock::now() - sent, 300ms);
}

TEST_F(HelperdTest, SilentOperationsAreNeverAnsweredWhileOthersAre) {
  writeJob(sysroot, kLabel, helperd({"--silent", "setHive", "--silent", "getVersion"}));
  open();
  proxy->getVersion([this](std::string, std::string) { events.add("version"); });
  proxy->setHive(kDylib, "1.2.3.4", "1", "h", "true", done("setHive"));
  proxy->iosOff(kDylib, done("iosOff"));
  ASSERT_TRUE(events.waitForCount(1));
  // Replies come back in order, so the silent ones before it would have come first.
  loop.drain();
  EXPECT_THAT(events.entries(), ElementsAre("iosOff done"));
  EXPECT_THAT(ops(), ElementsAre("getVersion", "setHive", "iosOff"));
}

std::vector<std::string> environmentWithout(const std::string& name) {
  std::vector<std::string> out;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string(*e).rfind(name + "=", 0) != 0) out.emplace_back(*e);
  }
  return out;
}

TEST_F(HelperdTest, StartedByHandItServesTheServiceSocketAndRefusesASecondCopy) {
  const auto environment = environmentWithout("VELTRINO_SYSTEM_ROOT");
  ChildProcess byHand(helperd({"--system-root", root.path().string(), "--build", "77"}), environment);
  auto banner = byHand.readLine();
  ASSERT_TRUE(banner.has_value());
  EXPECT_THAT(*banner, HasSubstr("serving " + sysroot.serviceSocket(kLabel).string()));

  // No job is needed while something answers on the socket.
  open();
  proxy->getVersion([this](std::string, std::string b) { events.add("build " + b); });
  ASSERT_TRUE(events.waitForCount(1));
  EXPECT_EQ(events.entries()[0], "build 77");
  EXPECT_THAT(opPids(), ElementsAre(byHand.pid()));

  ChildProcess second(helperd({"--system-root", root.path().string()}), environment);
  EXPECT_EQ(second.wait(), 1);
  EXPECT_THAT(second.errorOutput(), HasSubstr("another helper already serves"));

  proxy->exitHelper();
  EXPECT_EQ(byHand.wait(), 0);
  EXPECT_FALSE(std::filesystem::exists(sysroot.serviceSocket(kLabel)));
}

struct BadCommandLine {
  const char* name;
  std::vector<std::string> flags;
  const char* complaint;
};

class HelperdCommandLineTest : public ::testing::TestWithParam<BadCommandLine> {};

TEST_P(HelperdCommandLineTest, IsRefusedWithUsageAndStatusTwo) {
  TempRoot root;
  std::vector<std::string> flags = {"--system-root", root.path().string()};
  flags.insert(flags.end(), GetParam().flags.begin(), GetParam().flags.end());
  ChildProcess helper(helperd(flags), environmentWithout("VELTRINO_SYSTEM_ROOT"));
  EXPECT_EQ(helper.wait(), 2);
  const std::string errors = helper.errorOutput();
  EXPECT_THAT(errors, HasSubstr(GetParam().complaint));
  EXPECT_THAT(errors, HasSubstr("usage: veltrino-helperd"));
  EXPECT_FALSE(std::filesystem::exists(root.path() / "var"));
}

INSTANTIATE_TEST_SUITE_P(
    Helperd, HelperdCommandLineTest,
    ::testing::Values(BadCommandLine{"UnknownFlag", {"--frobnicate"}, "unknown option --frobnicate"},
                      BadCommandLine{"MissingValue", {"--version"}, "--version needs a value"},
                      BadCommandLine{"DelayNotANumber", {"--reply-delay-ms", "soon"}, "--reply-delay-ms"},
                      BadCommandLine{"NegativeDelay", {"--reply-delay-ms", "-5"}, "--reply-delay-ms"},
                      BadCommandLine{"UnknownOperation", {"--silent", "setHiveX"}, "unknown operation \"setHiveX\""},
                      BadCommandLine{"FaultOnUnknownOperation", {"--oversize-reply", "ping"}, "unknown operation"},
                      BadCommandLine{"AccessFailWithoutName", {"--access-fail", "E42"}, "CODE:NAME"},
                      BadCommandLine{"CrashAfterZero", {"--crash-after", "0"}, "--crash-after"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HelperdCommandLine, WithoutASystemRootItRefusesToStart) {
  ChildProcess helper(helperd(), environmentWithout("VELTRINO_SYSTEM_ROOT"));
  EXPECT_EQ(helper.wait(), 2);
  EXPECT_THAT(helper.errorOutput(), HasSubstr("no system root"));
}

}  // namespace
}  // namespace link_test
