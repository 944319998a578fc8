// A call the host refuses changes nothing that a later replay sends.
#include "plugin_fixture.h"

namespace veltrino_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class RefusedCallTest : public PluginTest {
 protected:
  void SetUp() override {
    installedHelper();
    plugin().hasUpdate = false;  // no version check in the way
    call("set_token", args({{"app", "a"}, {"uid", "u"}, {"token", "t"}, {"device", "d"}, {"version", "v"}}));
    call("set_hive", args({{"ip", "10.0.0.1"}, {"port", "443"}, {"hive", "h"}, {"ipv6Enable", "on"}}));
    call("set_force_routing", args({{"state", "s"}}));
    call("set_rules", args({{"rules", "r"}}));
    call("on", args({{"tlsMode", "2"}}));
  }

  // What the restarted helper receives after the running one dies.
  std::vector<std::vector<std::string>> replayAfterKill() {
    helper().forgetReceived();
    tp.services.kill(helper_link::helperLabel());
    tp.runUntilIdle();
    return sent();
  }

  std::vector<std::optional<std::string>> session() {
    auto& p = plugin();
    return {p.tlsMode, p.ip, p.port, p.hive, p.ipv6Enable, p.app, p.uid, p.token, p.device, p.version, p.state,
            p.rules};
  }
};

// Every row that reads arguments refuses anything but a map of strings, and the rows
// with required values refuse a call that leaves one out.
TEST_F(RefusedCallTest, ARefusedCallSendsAndStoresNothingAndTheReplayStaysTheAcceptedSession) {
  struct Refusal {
    std::string method;
    EncodableValue arguments;
    std::string code, message;
  };
  const char* const missing = "missing_arguments";
  std::vector<Refusal> refusals = {
      {"set_hive", args({{"ip", "10.9.9.9"}, {"ipv6Enable", "off"}}), missing, "\"set_hive\" is missing: port, hive"},
      {"set_token", args({{"token", "t2"}}), missing, "\"set_token\" is missing: app, uid, device, version"},
      {"set_token", EncodableValue(), missing, "\"set_token\" is missing: app, uid, token, device, version"},
      {"set_force_routing", args({{"State", "x"}}), missing, "\"set_force_routing\" is missing: state"},
      {"set_rules", args({{"rule", "r2"}}), missing, "\"set_rules\" is missing: rules"},
  };
  const EncodableValue notAMapOfStrings[] = {EncodableList{std::string("a")},
                                             EncodableMap{{std::string("message"), std::int64_t{443}}},
                                             EncodableMap{{std::int64_t{1}, std::string("x")}}};
  for (const char* method : {"print", "on", "set_hive", "set_token", "set_force_routing", "set_rules"}) {
    for (const auto& value : notAMapOfStrings) {
      refusals.push_back(
          {method, value, "invalid_arguments", "\"" + std::string(method) + "\" expects a map of strings to strings"});
    }
  }
  const auto before = session();
  const auto replay = replayAfterKill();
  const std::string& d = plugin().dylib;
  EXPECT_THAT(replay, ElementsAre(ElementsAre("access", d), ElementsAre("setToken", d, "a", "u", "t", "d", "v"),
                                  ElementsAre("setHive", d, "10.0.0.1", "443", "h", "on"),
                                  ElementsAre("setForce", d, "s"), ElementsAre("setRule", d, "r"),
                                  ElementsAre("iosOn", d, "2")));

  for (const auto& refusal : refusals) {
    SCOPED_TRACE(refusal.message);
    helper().forgetReceived();
    EXPECT_EQ(asError(only(call(refusal.method, refusal.arguments))),
              FlutterError::errorWithCode(refusal.code, refusal.message));
    EXPECT_THAT(helper().received(), IsEmpty());
    EXPECT_EQ(session(), before);
    EXPECT_TRUE(plugin().vpnOn);
    EXPECT_EQ(replayAfterKill(), replay);
  }
  EXPECT_THAT(tp.output.lines(), IsEmpty()) << "a refused print writes nothing";

  // After "off", a refused "on" does not turn the tunnel on again: nothing is replayed.
  call("off");
  EXPECT_EQ(asError(only(call("on", EncodableList{}))).code, "invalid_arguments");
  EXPECT_FALSE(plugin().vpnOn);
  EXPECT_THAT(replayAfterKill(), IsEmpty());
}

}  // namespace
}  // namespace veltrino_test
