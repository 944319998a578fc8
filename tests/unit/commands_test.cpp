#include <dlfcn.h>

#include "plugin_fixture.h"

namespace veltrino_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class CommandTest : public PluginTest {
 protected:
  void SetUp() override {
    dlerror();  // nothing pending from earlier work on this thread
    installedHelper();
  }
  std::vector<std::string> lastSent() {
    const auto& r = helper().received();
    if (r.empty()) return {};
    auto v = r.back().strings();
    v.insert(v.begin(), r.back().op);
    return v;
  }
  const std::string& d() { return plugin().dylib; }
};

TEST_F(CommandTest, EachCommandSendsItsOperationWithArgumentsAndDefaults) {
  plugin().hasUpdate = false;  // keep the version check out of this one
  struct Row {
    const char* method;
    EncodableValue arguments;
    std::vector<std::string> sent;  // the operation and its arguments after the dylib
  };
  const std::vector<Row> rows = {
      {.method = "access", .arguments = {}, .sent = {"access"}},
      {.method = "get_tunnel_version", .arguments = {}, .sent = {"getTunnelVersion"}},
      {.method = "on", .arguments = args({{"tlsMode", "3"}}), .sent = {"iosOn", "3"}},
      {.method = "on", .arguments = args({}), .sent = {"iosOn", "0"}},
      {.method = "off", .arguments = {}, .sent = {"iosOff"}},
      {.method = "set_hive",
       .arguments = args({{"ip", "1.2.3.4"}, {"port", "443"}, {"hive", "h"}, {"ipv6Enable", "on"}}),
       .sent = {"setHive", "1.2.3.4", "443", "h", "on"}},
      {.method = "set_hive",
       .arguments = args({{"ip", ""}, {"port", "0"}, {"hive", " h "}}),
       .sent = {"setHive", "", "0", " h ", "off"}},
      {.method = "set_token",
       .arguments = args({{"app", "a"}, {"uid", "u"}, {"token", "t"}, {"device", "d"}, {"version", "v"}}),
       .sent = {"setToken", "a", "u", "t", "d", "v"}},
      {.method = "set_force_routing", .arguments = args({{"state", "on"}}), .sent = {"setForce", "on"}},
      {.method = "set_rules", .arguments = args({{"rules", ""}}), .sent = {"setRule", ""}},
  };
  for (const Row& row : rows) {
    const auto n = call(row.method, row.arguments);
    std::vector<std::string> expected = row.sent;
    expected.insert(expected.begin() + 1, d());
    EXPECT_EQ(lastSent(), expected) << row.method;
    ASSERT_EQ(answers(n).size(), 1u) << row.method;
    EXPECT_TRUE(answers(n)[0].onMainQueue);
    EXPECT_EQ(answers(n)[0].at, 0ms);
  }
  tp.advance(10s);
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(answers(i).size(), 1u) << "time-outs stay silent";
  EXPECT_EQ(tp.services.connectionsMade(), 1u) << "one connection, cached";
  EXPECT_THAT(tp.services.lastOptions(), ElementsAre(4096u)) << "privileged";
  EXPECT_THAT(tp.security.creates, IsEmpty()) << "a present helper is not installed again";
}

TEST_F(CommandTest, TheGuardAnswersOnceFromTheReplyOrFromTheTimeOut) {
  struct Row {
    std::optional<std::chrono::milliseconds> replyAfter;  // none: never
    std::chrono::milliseconds answeredAfter;
  };
  const Row rows[] = {{.replyAfter = 0ms, .answeredAfter = 0ms},
                      {.replyAfter = 4999ms, .answeredAfter = 4999ms},
                      {.replyAfter = 5s, .answeredAfter = 5s},
                      {.replyAfter = 6s, .answeredAfter = 5s},
                      {.replyAfter = std::nullopt, .answeredAfter = 5s}};
  for (const Row& row : rows) {
    row.replyAfter ? helper().replyAfter("iosOff", *row.replyAfter) : helper().neverReply("iosOff");
    const auto start = tp.loop.now();
    const auto n = call("off");
    tp.advance(10s);
    ASSERT_EQ(answers(n).size(), 1u);
    EXPECT_TRUE(isNull(answers(n)[0].value));
    EXPECT_EQ(answers(n)[0].at - start, row.answeredAfter);
    EXPECT_TRUE(answers(n)[0].onMainQueue);
  }
}

TEST_F(CommandTest, TheTunnelVersionMayBeAbsentAndCallsInFlightEachGetTheirOwnReply) {
  helper().setTunnelVersion(std::nullopt);
  EXPECT_TRUE(isNull(only(call("get_tunnel_version"))));
  helper().setTunnelVersion("");
  EXPECT_EQ(std::get<std::string>(only(call("get_tunnel_version"))), "");
  helper().replyAfter("getTunnelVersion", 3s);
  helper().setTunnelVersion("2.7.1");
  helper().replyAfter("iosOff", 1s);
  const auto slow = call("get_tunnel_version");
  const auto fast = call("off");
  tp.advance(1s);
  EXPECT_THAT(answers(slow), IsEmpty());
  ASSERT_EQ(answers(fast).size(), 1u);
  tp.advance(9s);
  ASSERT_EQ(answers(slow).size(), 1u);
  EXPECT_EQ(std::get<std::string>(answers(slow)[0].value), "2.7.1");
  EXPECT_EQ(answers(slow)[0].at, 3s);
  EXPECT_EQ(answers(fast).size(), 1u);
}

TEST_F(CommandTest, AccessFailureCarriesTheHelpersCodeAndTheLoadersOwnErrorOrALookupMessage) {
  plugin().hasUpdate = false;
  helper().failAccess("E_LOAD", "vlt_start");
  auto error = asError(only(call("access")));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, "E_LOAD");
  EXPECT_EQ(error->message, "Failed to lookup 'vlt_start'");
  EXPECT_EQ(plugin().hasUpdate, false) << "a failed access changes no state";

  // With the loader's own error pending when the reply comes, that is the message.
  helper().replyAfter("access", 1s);
  const auto n = call("access");
  ASSERT_EQ(dlopen("/nonexistent/veltrino-core.so", RTLD_NOW), nullptr);
  const std::string loaderText = dlerror();
  ASSERT_EQ(dlopen("/nonexistent/veltrino-core.so", RTLD_NOW), nullptr);  // pending again for the reply
  tp.advance(1s);
  error = asError(only(n));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, "E_LOAD");
  EXPECT_EQ(error->message, loaderText);
}

TEST_F(CommandTest, MissingValuesAreReportedAfterConnectingAndNothingIsSent) {
  struct Row {
    const char* method;
    EncodableValue arguments;
    const char* message;
  };
  const std::vector<Row> rows = {
      {.method = "set_hive", .arguments = args({}), .message = "\"set_hive\" is missing: ip, port, hive"},
      {.method = "set_token",
       .arguments = args({{"token", "t"}}),
       .message = "\"set_token\" is missing: app, uid, device, version"},
      {.method = "set_force_routing", .arguments = args({}), .message = "\"set_force_routing\" is missing: state"},
      {.method = "set_rules", .arguments = args({{"rule", "x"}}), .message = "\"set_rules\" is missing: rules"},
  };
  for (const Row& row : rows) {
    auto error = asError(only(call(row.method, row.arguments)));
    ASSERT_TRUE(error) << row.message;
    EXPECT_EQ(error->code, "missing_arguments");
    EXPECT_EQ(error->message, row.message);
  }
  EXPECT_EQ(tp.services.connectionsMade(), 1u) << "the helper is reached first";
  EXPECT_THAT(helper().received(), IsEmpty());
  EXPECT_EQ(tp.loop.pending(), 0u) << "no timer was started";
}

TEST_F(CommandTest, ConnectionFailureIsAnsweredDuringTheCallAndNothingFollows) {
  tp.files.files.clear();
  tp.security.createStatuses = {0, platform::errAuthorizationCanceled};
  const auto n = call("set_hive", args({{"ip", "1"}}));
  ASSERT_EQ(answers(n).size(), 1u);
  auto error = asError(answers(n)[0].value);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, "xpc_connection_error");  // its text is InstallHelperTest's
  EXPECT_EQ(tp.loop.pending(), 0u);
  tp.advance(10s);
  EXPECT_EQ(answers(n).size(), 1u);
  EXPECT_EQ(plugin().remote, nullptr);
  EXPECT_EQ(tp.services.connectionsMade(), 0u);
  EXPECT_THAT(tp.output.lines(), IsEmpty());

  // Not retried by itself; the next call tries again, and this time the user allows it.
  EXPECT_TRUE(isNull(only(call("off"))));
  EXPECT_NE(plugin().remote, nullptr);
}

}  // namespace
}  // namespace veltrino_test
