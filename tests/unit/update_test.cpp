#include "plugin_fixture.h"

namespace veltrino_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A helper older than the bundle's copy (build 140), a session without its optional
// values, the tunnel on.
class UpdateTest : public PluginTest {
 protected:
  void SetUp() override {
    installedHelper().setVersion("1.0", "100");
    call("set_token", args({{"app", "a"}, {"uid", "u"}, {"token", "t"}, {"device", "d"}, {"version", "v"}}));
    call("set_hive", args({{"ip", "1.2.3.4"}, {"port", "443"}, {"hive", "h"}}));
    call("on");
    plugin().hasUpdate.reset();
  }
  std::vector<std::string> opsOf(int process) {
    std::vector<std::string> out;
    for (const auto& m : helper().receivedBy(process)) out.push_back(m.op);
    return out;
  }
};

TEST_F(UpdateTest, OlderHelperIsReplacedRetiredAndTheSessionReplayedToTheNewOne) {
  EXPECT_TRUE(isNull(only(call("access"))));
  EXPECT_THAT(opsOf(1), ElementsAre("setToken", "setHive", "iosOn", "getVersion", "access", "exitHelper"));
  EXPECT_EQ(plugin().hasUpdate, true);
  EXPECT_EQ(plugin().remote, nullptr) << "the old helper's proxy is dropped at once";
  EXPECT_THAT(tp.security.blessed, ElementsAre("com.veltrino.mac.helper"));

  tp.advance(1999ms);
  EXPECT_THAT(opsOf(2), IsEmpty());
  tp.advance(1ms);
  // The replay gives what the session left out its defaults, and sends no rules.
  const std::string& d = plugin().dylib;
  EXPECT_THAT(sent(2), ElementsAre(ElementsAre("access", d), ElementsAre("setToken", d, "a", "u", "t", "d", "v"),
                                   ElementsAre("setHive", d, "1.2.3.4", "443", "h", "off"),
                                   ElementsAre("setForce", d, "on"), ElementsAre("iosOn", d, "0")));
  EXPECT_NE(plugin().remote, nullptr);
  EXPECT_EQ(tp.services.connectionsMade(), 2u);

  // Checked once per run: later access calls ask no version.
  call("access");
  tp.advance(10s);
  EXPECT_THAT(opsOf(2), ElementsAre("access", "setToken", "setHive", "setForce", "iosOn", "access"));
  EXPECT_THAT(tp.output.lines(), IsEmpty());
}

TEST_F(UpdateTest, TheCheckStartsOnceAndAgainAfterATimeOut) {
  helper().neverReply("getVersion");
  call("access");
  call("access");  // while the first check is open
  tp.advance(5s);
  EXPECT_EQ(plugin().hasUpdate, std::nullopt);
  call("access");
  EXPECT_THAT(opsOf(1), ElementsAre("setToken", "setHive", "iosOn", "getVersion", "access", "access", "getVersion",
                                    "access"));
  EXPECT_THAT(tp.security.blessed, IsEmpty());
}

TEST_F(UpdateTest, WithTheTunnelOffNothingReconnectsUntilTheNextCommand) {
  call("off");
  call("access");
  tp.advance(10s);
  EXPECT_EQ(tp.services.connectionsMade(), 1u);
  EXPECT_EQ(std::get<std::string>(only(call("get_tunnel_version"))), "1.0.0");
  EXPECT_THAT(opsOf(2), ElementsAre("getTunnelVersion"));
}

TEST_F(UpdateTest, AFailedReconnectIsWrittenOnceAndSendsNothing) {
  call("access");
  // The new helper's file vanished and the user refuses to install it again.
  tp.files.files.clear();
  tp.security.createStatuses = {0, platform::errAuthorizationCanceled};
  tp.advance(10s);
  EXPECT_THAT(tp.output.lines(),
              ElementsAre("New XPC connection after update error. Helper installation error. Unable to get a valid "
                          "loading authorization reference to load Helper daemon"));
  EXPECT_THAT(tp.output.details(), ElementsAre("Helper installation error. Unable to get a valid loading "
                                               "authorization reference to load Helper daemon"))
      << "the error's description is kept apart from the host's own text";
  EXPECT_EQ(plugin().remote, nullptr);
  EXPECT_THAT(opsOf(2), IsEmpty());
}

TEST_F(UpdateTest, AnOffBeforeTheReplayAnswersKeepsTheTunnelOff) {
  call("access");
  helper().replyAfter("access", 1s);  // the new helper is slow to answer the reconnect's access
  tp.advance(2s);
  call("off");
  tp.advance(1s);
  EXPECT_THAT(opsOf(2), ElementsAre("access", "iosOff", "setToken", "setHive", "setForce"));
}

}  // namespace
}  // namespace veltrino_test
