#include "helper_link/vltxpc.h"

#include "helper_link/xpc_error.h"
#include "plugin_fixture.h"

namespace veltrino_test {
namespace {

using helper_link::VLTXPC;
using helper_link::XPCError;
using platform::NSComparisonResult;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

constexpr auto Asc = NSComparisonResult::NSOrderedAscending;
constexpr auto Same = NSComparisonResult::NSOrderedSame;
constexpr auto Desc = NSComparisonResult::NSOrderedDescending;

TEST(CompareVersionsTest, ComparesBuildsNumericallyWithMissingPartsAsZero) {
  const std::tuple<const char*, const char*, NSComparisonResult> rows[] = {
      {"1.2", "1.2.0", Same}, {"1.9", "1.10", Asc},   {"2.0", "1.9.9", Desc},  {"01", "1", Same},
      {"1.02", "1.2", Same},  {"", "", Same},         {"", "1", Asc},          {"1", "", Desc},
      {"", "0", Asc},         {"1..2", "1.0.2", Asc}, {"1.2a", "1.2b", Asc},   {"1.2b", "1.10a", Asc},
      {"99999999999999999999", "100000000000000000000", Asc},
  };
  for (const auto& [a, b, order] : rows) {
    EXPECT_EQ(VLTXPC::compareVersions(a, b), order) << '"' << a << "\" vs \"" << b << '"';
  }
}

class InstallHelperTest : public PluginTest {
 protected:
  std::string installError() {
    try {
      plugin().xpcService.installHelper();
    } catch (const XPCError& e) {
      return e.localizedDescription();
    }
    return "";
  }
};

TEST_F(InstallHelperTest, AsksTwiceThenBlessesAndFreesEveryReference) {
  EXPECT_EQ(installError(), "");
  ASSERT_EQ(tp.security.creates.size(), 2u);
  const auto& first = tp.security.creates[0];
  EXPECT_FALSE(first.hadRights);
  EXPECT_FALSE(first.hadEnvironment);
  EXPECT_EQ(first.flags, 16u);
  const auto& second = tp.security.creates[1];
  EXPECT_THAT(second.rights, ElementsAre("com.apple.ServiceManagement.blesshelper"));
  EXPECT_FALSE(second.hadEnvironment);
  EXPECT_EQ(second.flags, 19u);
  EXPECT_THAT(tp.security.blessed, ElementsAre("com.veltrino.mac.helper"));
  EXPECT_THAT(tp.security.blessDomains, ElementsAre("kSMDomainSystemLaunchd"));
  EXPECT_THAT(tp.security.blessedWith, ElementsAre(1u)) << "the reference that holds the bless right";
  EXPECT_EQ(tp.security.liveReferences(), 0u);
}

TEST_F(InstallHelperTest, EveryFailureHasItsTextAndLeavesNoReference) {
  using Outcome = platform::testing::FakeSecurity::BlessOutcome;
  struct Row {
    std::deque<platform::OSStatus> createStatuses;
    Outcome bless;
    const char* text;
    std::size_t references;  // authorization references asked for
  };
  const Row rows[] = {
      {{platform::errAuthorizationDenied}, Outcome::Succeed,
       "Unable to get a valid empty authorization reference to load Helper daemon", 1},
      {{0, platform::errAuthorizationCanceled}, Outcome::Succeed,
       "Unable to get a valid loading authorization reference to load Helper daemon", 2},
      {{}, Outcome::FailWithError, "Error while installing the Helper: The operation couldn't be completed.", 2},
      {{}, Outcome::FailWithoutError, "Error while installing the Helper: Unknown error", 2},
  };
  for (const Row& row : rows) {
    tp.security.creates.clear();
    tp.security.createStatuses = row.createStatuses;
    tp.security.blessOutcome = row.bless;
    EXPECT_EQ(installError(), "Helper installation error. " + std::string(row.text));
    EXPECT_EQ(tp.security.creates.size(), row.references);
    EXPECT_EQ(tp.security.liveReferences(), 0u) << row.text;
    EXPECT_THAT(tp.security.blessed, IsEmpty());
  }
}

// The plug-in takes the late outcome as any other: UpdateTest's replacement follows.
TEST_F(PluginTest, AVersionCheckWithoutAReplyGivesNoneAfterFiveSecondsAndALateReplyCallsTheHandlerAgain) {
  struct Outcome {
    std::optional<bool> value;
    std::chrono::milliseconds at;
    bool onMain;
  };
  std::vector<Outcome> outcomes;
  installedHelper().setVersion("1.0", "100");  // older than the bundle's build 140
  helper().replyAfter("getVersion", 6s);
  const auto proxy = plugin().xpcService.connectHelper(pluginPtr());
  plugin().xpcService.checkHelperUpdate(proxy, [&](std::optional<bool> outcome) {
    outcomes.push_back({outcome, tp.loop.now(), tp.mainQueue.isCurrent()});
  });
  tp.advance(4999ms);
  EXPECT_THAT(outcomes, IsEmpty());
  tp.advance(1ms);
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].value, std::nullopt);
  EXPECT_EQ(outcomes[0].at, 5s);
  EXPECT_TRUE(outcomes[0].onMain);
  tp.advance(5s);
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_EQ(outcomes[1].value, true);
  EXPECT_EQ(outcomes[1].at, 6s);
}

class ConnectionTest : public PluginTest {};

TEST_F(ConnectionTest, InvalidationWritesWhetherTheFileIsThereAndDropsTheDeadProxy) {
  for (bool fileThere : {true, false}) {
    tp.output.clear();
    tp.files.files.insert(helper_link::helperPath());  // installed, but no job answers
    plugin().remote = plugin().xpcService.connectHelper(pluginPtr());
    if (!fileThere) tp.files.files.clear();
    bool replied = false;
    plugin().remote->iosOff("x", [&] { replied = true; });
    tp.runUntilIdle();
    EXPECT_FALSE(replied);
    EXPECT_THAT(tp.output.lines(), ElementsAre(fileThere ? "Unable to connect to Helper although it is installed"
                                                         : "Helper is not installed"));
    EXPECT_EQ(plugin().remote, nullptr);
  }
}

TEST_F(ConnectionTest, InvalidationOfAnotherConnectionLeavesTheCachedProxyAlone) {
  tp.files.files.insert(helper_link::helperPath());
  auto stale = plugin().xpcService.connectHelper(pluginPtr());
  stale->iosOff("x", [] {});  // no job: this connection is invalidated
  installedHelper();
  plugin().remote = plugin().xpcService.connectHelper(pluginPtr());
  tp.runUntilIdle();
  EXPECT_THAT(tp.output.lines(), ElementsAre("Unable to connect to Helper although it is installed"));
  EXPECT_NE(plugin().remote, nullptr);
}

// Let go with replies awaited, a connection reports no more events, but each reply
// still comes, or its failure when the helper goes; its link ends after the last of
// them, and at once when nothing is awaited.
TEST_F(ConnectionTest, AReleasedConnectionKeepsItsLinkUntilTheRepliesItAwaitsHaveCome) {
  installedHelper();
  std::vector<std::string> seen;
  const auto released = [&] {
    auto connection = platform::NSXPCConnection::initWithMachServiceName(helper_link::helperLabel(), 0);
    connection->setRemoteObjectInterface(
        platform::NSXPCInterface::interfaceWithProtocol(helper_link::VLTHelperProtocolDescription()));
    connection->setInterruptionHandler([&] { seen.emplace_back("interrupted"); });
    connection->resume();
    return connection->remoteObjectProxyWithErrorHandler(
        [&](const platform::NSError& e) { seen.push_back("failed " + std::to_string(e.code)); });
  };
  const auto call = [&](platform::NSXPCRemoteProxy& proxy, const std::string& selector) {
    proxy.send(selector, {std::string("x")}, [&seen, selector](platform::XPCValues) { seen.push_back(selector); });
  };

  helper().replyAfter("getTunnelVersion", 600ms);
  auto proxy = released();
  call(*proxy, "getTunnelVersion:completion:");
  call(*proxy, "iosOff:completion:");
  proxy.reset();
  tp.runUntilIdle();
  EXPECT_THAT(seen, ElementsAre("iosOff:completion:"));
  EXPECT_EQ(tp.services.liveTransports(), 1u) << "a reply is still awaited";
  tp.advance(600ms);
  EXPECT_THAT(seen, ElementsAre("iosOff:completion:", "getTunnelVersion:completion:"));
  EXPECT_EQ(tp.services.liveTransports(), 0u);

  seen.clear();
  helper().neverReply("getTunnelVersion");
  proxy = released();
  call(*proxy, "getTunnelVersion:completion:");
  proxy.reset();
  tp.services.kill(helper_link::helperLabel());
  tp.runUntilIdle();
  EXPECT_THAT(seen, ElementsAre("failed 4097")) << "the failure, and no interruption";
  EXPECT_EQ(tp.services.liveTransports(), 0u);

  proxy = released();
  proxy->send("exitHelper", {});
  proxy.reset();
  EXPECT_EQ(tp.services.liveTransports(), 0u) << "nothing awaited";
  EXPECT_EQ(helper().ops().back(), "exitHelper");
}

// A helper lost with its file and job invalidates the connection; the call that
// installs and reaches it again brings it the session first, once, and only while the
// tunnel is on.
TEST_F(ConnectionTest, AHelperInstalledAgainAfterAnInvalidationGetsTheSessionOnceWhileTheTunnelIsOn) {
  installedHelper();
  auto& p = plugin();
  p.hasUpdate = false;  // no version check in the way
  p.app = p.uid = p.token = p.device = p.version = p.ip = p.port = p.hive = std::string("v");
  call("get_tunnel_version");
  for (bool tunnelOn : {true, false}) {
    p.vpnOn = tunnelOn;
    tp.runUntilIdle();
    tp.files.files.clear();
    tp.services.unregister(helper_link::helperLabel());
    tp.runUntilIdle();
    helper().forgetReceived();
    call("get_tunnel_version");
    tp.runUntilIdle();
    call("get_tunnel_version");
    tp.runUntilIdle();
    if (tunnelOn) {
      EXPECT_THAT(helper().ops(), ElementsAre("access", "getTunnelVersion", "setToken", "setHive", "setForce", "iosOn",
                                              "getTunnelVersion"));
    } else {
      EXPECT_THAT(helper().ops(), ElementsAre("getTunnelVersion", "getTunnelVersion"));
    }
  }
  EXPECT_THAT(tp.security.blessed, SizeIs(2));
}

// Whether the tunnel is on decides whether there is a replay at all: RefusedCallTest.
TEST_F(ConnectionTest, InterruptionReplaysToTheRestartedHelperOnceItGrantsAccess) {
  installedHelper();
  auto& p = plugin();
  p.remote = p.xpcService.connectHelper(pluginPtr());
  p.app = p.uid = p.token = p.device = p.version = p.ip = p.port = p.hive = std::string("v");
  p.vpnOn = true;
  p.remote->iosOff("x", [] {});
  const auto opsAfterKill = [this] {
    tp.runUntilIdle();
    helper().forgetReceived();
    tp.services.kill(helper_link::helperLabel());
    tp.runUntilIdle();
    return helper().ops();
  };
  EXPECT_THAT(opsAfterKill(), ElementsAre("access", "setToken", "setHive", "setForce", "iosOn"));
  EXPECT_EQ(helper().received()[0].process, 2) << "the restarted helper gets the replay";
  EXPECT_THAT(helper().received()[0].strings(), ElementsAre(p.dylib));
  EXPECT_THAT(tp.output.lines(), IsEmpty());
  EXPECT_EQ(tp.services.connectionsMade(), 1u) << "an interrupted connection stays in use";

  // Nothing after the access without a value the replay needs, or when access fails.
  using vpn_bridge::VPNPlugin;
  for (auto field : {&VPNPlugin::app, &VPNPlugin::uid, &VPNPlugin::token, &VPNPlugin::device, &VPNPlugin::version,
                     &VPNPlugin::ip, &VPNPlugin::port, &VPNPlugin::hive}) {
    auto saved = std::exchange(p.*field, std::nullopt);
    EXPECT_THAT(opsAfterKill(), ElementsAre("access"));
    p.*field = saved;
  }
  helper().failAccess("E_LOAD", "vlt_start");
  EXPECT_THAT(opsAfterKill(), ElementsAre("access"));

  auto cached = p.remote;
  p.remote.reset();
  EXPECT_THAT(opsAfterKill(), IsEmpty()) << "no proxy cached: nothing sent";
}

}  // namespace
}  // namespace veltrino_test
