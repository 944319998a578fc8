// A call the host refuses changes nothing that a later replay sends; every printed
// line stays one line.
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
  }

  void acceptedSession() {
    call("set_token", args({{"app", "a"}, {"uid", "u"}, {"token", "t"}, {"device", "d"}, {"version", "v"}}));
    call("set_hive", args({{"ip", "10.0.0.1"}, {"port", "443"}, {"hive", "h"}, {"ipv6Enable", "on"}}));
    call("set_force_routing", args({{"state", "s"}}));
    call("set_rules", args({{"rules", "r"}}));
    call("on", args({{"tlsMode", "2"}}));
  }

  // What the restarted helper receives after the running one dies: op and arguments.
  std::vector<std::vector<std::string>> replayAfterKill() {
    helper().forgetReceived();
    tp.services.kill(helper_link::helperLabel());
    tp.runUntilIdle();
    std::vector<std::vector<std::string>> sent;
    for (const auto& m : helper().received()) {
      auto v = m.strings();
      v.insert(v.begin(), m.op);
      sent.push_back(std::move(v));
    }
    return sent;
  }

  std::vector<std::optional<std::string>> session() {
    auto& p = plugin();
    return {p.tlsMode, p.ip, p.port, p.hive, p.ipv6Enable, p.app, p.uid, p.token, p.device, p.version, p.state,
            p.rules};
  }
};

TEST_F(RefusedCallTest, ARefusedCallLeavesTheSessionAndTheReplayAsTheLastAcceptedCallsLeftThem) {
  struct Refusal {
    const char* method;
    EncodableValue arguments;
    const char* code;
  };
  const Refusal refusals[] = {
      {"set_hive", args({{"ip", "10.9.9.9"}}), "missing_arguments"},
      {"set_hive", args({{"ip", "10.9.9.9"}, {"port", "1"}, {"ipv6Enable", "off"}}), "missing_arguments"},
      {"set_hive", EncodableMap{{std::string("ip"), std::string("1")}, {std::string("port"), std::int64_t{1}}},
       "invalid_arguments"},
      {"set_token", args({{"token", "t2"}}), "missing_arguments"},
      {"set_token", EncodableValue(), "missing_arguments"},
      {"set_token", EncodableList{std::string("t2")}, "invalid_arguments"},
      {"set_force_routing", args({{"State", "x"}}), "missing_arguments"},
      {"set_force_routing", EncodableValue(std::string("x")), "invalid_arguments"},
      {"set_rules", args({}), "missing_arguments"},
      {"set_rules", EncodableMap{{std::int64_t{1}, std::string("r2")}}, "invalid_arguments"},
      {"on", EncodableValue(std::int64_t{1}), "invalid_arguments"},
      {"on", EncodableMap{{std::string("tlsMode"), true}}, "invalid_arguments"},
  };
  acceptedSession();
  const auto before = session();
  const auto firstReplay = replayAfterKill();
  ASSERT_THAT(firstReplay, ::testing::SizeIs(6));
  EXPECT_EQ(firstReplay.back(), (std::vector<std::string>{"iosOn", plugin().dylib, "2"}));

  for (const auto& refusal : refusals) {
    SCOPED_TRACE(refusal.method);
    helper().forgetReceived();
    const auto error = asError(only(call(refusal.method, refusal.arguments)));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, refusal.code);
    EXPECT_THAT(helper().received(), IsEmpty()) << "a refused call sends nothing";
    EXPECT_EQ(session(), before);
    EXPECT_TRUE(plugin().vpnOn);
    EXPECT_EQ(replayAfterKill(), firstReplay);
  }

  // After "off", a refused "on" does not turn the tunnel on again.
  call("off");
  EXPECT_TRUE(asError(only(call("on", EncodableValue(std::int64_t{1})))));
  EXPECT_FALSE(plugin().vpnOn);
  EXPECT_THAT(replayAfterKill(), IsEmpty()) << "tunnel off: nothing is replayed";

  // An accepted call after refused ones acts as if they never came.
  call("set_hive", args({{"ip", "10.9.9.9"}}));
  call("set_hive", args({{"ip", "10.0.0.2"}, {"port", "80"}, {"hive", "h2"}}));
  call("on");
  const auto replay = replayAfterKill();
  ASSERT_EQ(replay.size(), 6u);
  EXPECT_EQ(replay[2], (std::vector<std::string>{"setHive", plugin().dylib, "10.0.0.2", "80", "h2", "off"}));
  EXPECT_EQ(replay[5], (std::vector<std::string>{"iosOn", plugin().dylib, "0"}));
}

TEST_F(RefusedCallTest, AMissingValueIsRefusedWithoutStoringEvenWhenTheHelperCannotBeReached) {
  acceptedSession();
  const auto before = session();
  tp.files.files.clear();
  tp.services.unregister(helper_link::helperLabel());
  plugin().remote.reset();
  tp.security.createStatuses = {0, platform::errAuthorizationCanceled};
  const auto error = asError(only(call("set_hive", args({{"ip", "10.9.9.9"}}))));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, "xpc_connection_error") << "the helper is reached first, as for every command";
  EXPECT_EQ(session(), before);

  // A complete call that cannot be sent is still the interface's latest intent.
  tp.security.createStatuses = {0, platform::errAuthorizationCanceled};
  EXPECT_EQ(asError(only(call("set_rules", args({{"rules", "r2"}}))))->code, "xpc_connection_error");
  EXPECT_EQ(plugin().rules, "r2");
}

TEST_F(RefusedCallTest, EveryPrintedTextStaysOneLine) {
  struct Row {
    std::string message;
    std::string line;
  };
  const Row rows[] = {
      {.message = "hello\n=> {\"id\":2,\"result\":null}", .line = "hello\\n=> {\"id\":2,\"result\":null}"},
      {.message = std::string("a\0b", 3), .line = "a\\u0000b"},
      {.message = "cr\r tab\t bs\b ff\f esc\x1b del\x7f",
       .line = "cr\\r tab\\t bs\\b ff\\f esc\\u001b del\\u007f"},
      {.message = "plain text, a \\n backslash and \xc3\xa9", .line = "plain text, a \\n backslash and \xc3\xa9"},
  };
  for (const Row& row : rows) {
    EncodableMap map{{std::string("message"), row.message}};
    EXPECT_TRUE(isNull(only(call("print", map))));
    EXPECT_EQ(tp.output.lines().back(), row.line);
  }
  EXPECT_EQ(tp.output.lines().size(), std::size(rows));

  // An error text that the system hands back is written the same way.
  tp.output.clear();
  plugin().hasUpdate.reset();
  helper().setVersion("1.0", "100");  // older than the bundle's copy: the check installs
  tp.security.blessOutcome = platform::testing::FakeSecurity::BlessOutcome::FailWithError;
  tp.security.blessErrorDescription = "denied\nHelper is not installed\r";
  call("access");
  tp.runUntilIdle();
  EXPECT_THAT(tp.output.lines(), ElementsAre("Helper installation error. Error while installing the Helper: "
                                             "denied\\nHelper is not installed\\r"));
  EXPECT_EQ(plugin().hasUpdate, std::nullopt) << "a failed installation leaves the next access to check again";
}

}  // namespace
}  // namespace veltrino_test
