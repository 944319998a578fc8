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

constexpr auto Asc = NSComparisonResult::NSOrderedAscending;
constexpr auto Same = NSComparisonResult::NSOrderedSame;
constexpr auto Desc = NSComparisonResult::NSOrderedDescending;

TEST(CompareVersionsTest, ComparesBuildsNumericallyWithMissingPartsAsZero) {
  struct Row {
    const char* a;
    const char* b;
    NSComparisonResult order;
  };
  const Row rows[] = {
      {.a = "1.2", .b = "1.2.0", .order = Same},   {.a = "1.9", .b = "1.10", .order = Asc},
      {.a = "2.0", .b = "1.9.9", .order = Desc},   {.a = "01", .b = "1", .order = Same},
      {.a = "1.02", .b = "1.2", .order = Same},    {.a = "", .b = "", .order = Same},
      {.a = "", .b = "1", .order = Asc},           {.a = "1", .b = "", .order = Desc},
      {.a = "", .b = "0", .order = Asc},           {.a = "1..2", .b = "1.0.2", .order = Asc},
      {.a = "1.2a", .b = "1.2b", .order = Asc},    {.a = "1.2b", .b = "1.10a", .order = Asc},
      {.a = "99999999999999999999", .b = "100000000000000000000", .order = Asc},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(VLTXPC::compareVersions(row.a, row.b), row.order) << '"' << row.a << "\" vs \"" << row.b << '"';
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
      {.createStatuses = {platform::errAuthorizationDenied},
       .bless = Outcome::Succeed,
       .text = "Helper installation error. Unable to get a valid empty authorization reference to load Helper daemon",
       .references = 1},
      {.createStatuses = {0, platform::errAuthorizationCanceled},
       .bless = Outcome::Succeed,
       .text = "Helper installation error. Unable to get a valid loading authorization reference to load Helper daemon",
       .references = 2},
      {.createStatuses = {},
       .bless = Outcome::FailWithError,
       .text = "Helper installation error. Error while installing the Helper: The operation couldn't be completed.",
       .references = 2},
      {.createStatuses = {},
       .bless = Outcome::FailWithoutError,
       .text = "Helper installation error. Error while installing the Helper: Unknown error",
       .references = 2},
  };
  for (const Row& row : rows) {
    tp.security.creates.clear();
    tp.security.createStatuses = row.createStatuses;
    tp.security.blessOutcome = row.bless;
    EXPECT_EQ(installError(), row.text);
    EXPECT_EQ(tp.security.creates.size(), row.references);
    EXPECT_EQ(tp.security.liveReferences(), 0u) << row.text;
    EXPECT_THAT(tp.security.blessed, IsEmpty());
  }
}

class VersionCheckTest : public PluginTest {
 protected:
  struct Outcome {
    std::optional<bool> value;
    std::chrono::milliseconds at;
    bool onMain;
  };

  // Checks the helper against a bundle whose helper build is |bundleBuild|.
  void check(const std::string& bundleBuild) {
    tp.bundle.info = platform::PlistDictionary{{"HelperCFBundleVersion", bundleBuild}};
    xpc = std::make_unique<VLTXPC>();
    proxy = xpc->connectHelper(pluginPtr());
    xpc->checkHelperUpdate(proxy, [this](std::optional<bool> outcome) {
      outcomes.push_back({outcome, tp.loop.now(), tp.mainQueue.isCurrent()});
    });
  }

  std::unique_ptr<VLTXPC> xpc;
  std::shared_ptr<helper_link::VLTHelperProtocol> proxy;  // keeps the connection alive
  std::vector<Outcome> outcomes;
};

TEST_F(VersionCheckTest, ReplyDecidesWhetherToInstall) {
  struct Row {
    const char* runningBuild;
    const char* bundleBuild;
    std::optional<bool> outcome;
    std::size_t blessings;
  };
  const Row rows[] = {
      {.runningBuild = "1.2", .bundleBuild = "1.2.0", .outcome = false, .blessings = 0},
      {.runningBuild = "1.9", .bundleBuild = "1.10", .outcome = true, .blessings = 1},
  };
  for (const Row& row : rows) {
    tp.security.blessed.clear();
    outcomes.clear();
    installedHelper().setVersion("9.9", row.runningBuild);
    check(row.bundleBuild);
    tp.advance(10s);
    ASSERT_EQ(outcomes.size(), 1u) << row.runningBuild << " vs " << row.bundleBuild;
    EXPECT_EQ(outcomes[0].value, row.outcome);
    EXPECT_TRUE(outcomes[0].onMain);
    EXPECT_EQ(tp.security.blessed.size(), row.blessings);
    EXPECT_THAT(tp.output.lines(), IsEmpty());
  }
}

// The plug-in takes the late outcome as any other: UpdateTest's replacement follows.
TEST_F(VersionCheckTest, NoReplyGivesNoneAfterFiveSecondsAndALateOneCallsTheHandlerAgain) {
  installedHelper().setVersion("1.0", "100");
  helper().replyAfter("getVersion", 6s);
  check("140");
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

class ReplayTest : public PluginTest {
 protected:
  void SetUp() override {
    installedHelper();
    proxy = plugin().xpcService.connectHelper(pluginPtr());
    auto& p = plugin();
    std::tie(p.app, p.uid, p.token, p.device, p.version) = std::tuple("app", "uid-1", "tok", "dev", "3.1");
    std::tie(p.ip, p.port, p.hive, p.ipv6Enable, p.state, p.rules, p.tlsMode) =
        std::tuple("10.0.0.1", "443", "hive", "on", "off", "r", "2");
    p.vpnOn = true;
  }
  std::vector<std::vector<std::string>> sent() {
    tp.runUntilIdle();
    std::vector<std::vector<std::string>> out;
    for (const auto& m : helper().received()) {
      out.push_back(m.strings());
      out.back().insert(out.back().begin(), m.op);
    }
    return out;
  }
  std::shared_ptr<helper_link::VLTHelperProtocol> proxy;
};

TEST_F(ReplayTest, SendsTheWholeSessionInOrderEndingWithOnAndDefaultsWhatIsOptional) {
  const std::string d = plugin().dylib;
  plugin().replaySession(true, proxy);
  EXPECT_THAT(sent(), ElementsAre(ElementsAre("setToken", d, "app", "uid-1", "tok", "dev", "3.1"),
                                  ElementsAre("setHive", d, "10.0.0.1", "443", "hive", "on"),
                                  ElementsAre("setForce", d, "off"), ElementsAre("setRule", d, "r"),
                                  ElementsAre("iosOn", d, "2")));
  helper().forgetReceived();
  plugin().ipv6Enable.reset();
  plugin().state.reset();
  plugin().rules.reset();
  plugin().tlsMode.reset();
  plugin().replaySession(true, proxy);
  EXPECT_THAT(sent(), ElementsAre(ElementsAre("setToken", d, "app", "uid-1", "tok", "dev", "3.1"),
                                  ElementsAre("setHive", d, "10.0.0.1", "443", "hive", "off"),
                                  ElementsAre("setForce", d, "on"), ElementsAre("iosOn", d, "0")));
}

TEST_F(ReplayTest, NothingIsSentWithoutAccessOrWithoutARequiredValue) {
  plugin().replaySession(false, proxy);
  EXPECT_THAT(sent(), IsEmpty());
  for (auto field : {&vpn_bridge::VPNPlugin::app, &vpn_bridge::VPNPlugin::uid, &vpn_bridge::VPNPlugin::token,
                     &vpn_bridge::VPNPlugin::device, &vpn_bridge::VPNPlugin::version, &vpn_bridge::VPNPlugin::ip,
                     &vpn_bridge::VPNPlugin::port, &vpn_bridge::VPNPlugin::hive}) {
    auto saved = plugin().*field;
    (plugin().*field).reset();
    plugin().replaySession(true, proxy);
    EXPECT_THAT(sent(), IsEmpty());
    plugin().*field = saved;
  }
  EXPECT_THAT(tp.output.lines(), IsEmpty());
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

// Whether the tunnel is on decides whether there is a replay at all: RefusedCallTest.
TEST_F(ConnectionTest, InterruptionReplaysToTheRestartedHelperWhileAProxyIsCached) {
  installedHelper();
  auto& p = plugin();
  p.remote = p.xpcService.connectHelper(pluginPtr());
  p.app = p.uid = p.token = p.device = p.version = p.ip = p.port = p.hive = std::string("v");
  p.vpnOn = true;
  p.remote->iosOff("x", [] {});
  tp.runUntilIdle();
  tp.services.kill(helper_link::helperLabel());
  tp.runUntilIdle();
  EXPECT_THAT(helper().ops(), ElementsAre("iosOff", "access", "setToken", "setHive", "setForce", "iosOn"));
  EXPECT_EQ(helper().received()[1].process, 2) << "the restarted helper gets the replay";
  EXPECT_THAT(helper().received()[1].strings(), ElementsAre(p.dylib));
  EXPECT_THAT(tp.output.lines(), IsEmpty());
  EXPECT_EQ(tp.services.connectionsMade(), 1u) << "an interrupted connection stays in use";

  auto cached = p.remote;
  p.remote.reset();
  tp.services.kill(helper_link::helperLabel());
  tp.runUntilIdle();
  EXPECT_EQ(helper().received().size(), 6u) << "no proxy cached: nothing sent";
}

}  // namespace
}  // namespace veltrino_test
