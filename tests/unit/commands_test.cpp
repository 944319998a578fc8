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
};

TEST_F(CommandTest, EachCommandSendsItsOperationWithArgumentsAndDefaults) {
  struct Row {
    const char* method;
    EncodableValue arguments;
    std::vector<std::string> sent;  // the operation and its arguments after the dylib
  };
  const std::vector<Row> rows = {
      {"access", {}, {"access"}},
      {"get_tunnel_version", {}, {"getTunnelVersion"}},
      {"on", args({{"tlsMode", "3"}}), {"iosOn", "3"}},
      {"on", args({}), {"iosOn", "0"}},
      {"off", {}, {"iosOff"}},
      {"set_hive", args({{"ip", "1.2.3.4"}, {"port", "443"}, {"hive", "h"}, {"ipv6Enable", "on"}}),
       {"setHive", "1.2.3.4", "443", "h", "on"}},
      {"set_hive", args({{"ip", ""}, {"port", "0"}, {"hive", " h "}}), {"setHive", "", "0", " h ", "off"}},
      {"set_token", args({{"app", "a"}, {"uid", "u"}, {"token", "t"}, {"device", "d"}, {"version", "v"}}),
       {"setToken", "a", "u", "t", "d", "v"}},
      {"set_force_routing", args({{"state", "on"}}), {"setForce", "on"}},
      {"set_rules", args({{"rules", ""}}), {"setRule", ""}},
  };
  for (const Row& row : rows) {
    const auto n = call(row.method, row.arguments);
    std::vector<std::string> expected = row.sent;
    expected.insert(expected.begin() + 1, plugin().dylib);
    EXPECT_EQ(sent().back(), expected) << row.method;
    ASSERT_EQ(answers(n).size(), 1u) << row.method;
    EXPECT_TRUE(answers(n)[0].onMainQueue);
    EXPECT_EQ(answers(n)[0].at, 0ms);
  }
  tp.advance(10s);
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(answers(i).size(), 1u) << "time-outs stay silent";
  EXPECT_EQ(tp.services.connectionsMade(), 1u) << "one connection, cached";
  EXPECT_THAT(tp.services.lastOptions(), ElementsAre(4096u)) << "privileged";
  EXPECT_THAT(tp.security.creates, IsEmpty()) << "a present helper as new as the bundle's is kept";
  EXPECT_EQ(plugin().hasUpdate, false);
}

TEST_F(CommandTest, TheGuardAnswersOnceFromTheReplyOrFromTheTimeOut) {
  struct Row {
    std::optional<std::chrono::milliseconds> replyAfter;  // none: never
    std::chrono::milliseconds answeredAfter;
  };
  const Row rows[] = {{0ms, 0ms}, {4999ms, 4999ms}, {5s, 5s}, {6s, 5s}, {std::nullopt, 5s}};
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

TEST_F(CommandTest, CallsInFlightEachGetTheirOwnReplyAndNoTunnelVersionIsNull) {
  helper().setTunnelVersion(std::nullopt);
  EXPECT_TRUE(isNull(only(call("get_tunnel_version"))));
  helper().setTunnelVersion("2.7.1");
  helper().replyAfter("getTunnelVersion", 3s);
  helper().replyAfter("iosOff", 1s);
  const auto slow = call("get_tunnel_version");
  const auto fast = call("off");
  tp.advance(1s);
  EXPECT_THAT(answers(slow), IsEmpty());
  EXPECT_EQ(answers(fast).size(), 1u);
  tp.advance(9s);
  ASSERT_EQ(answers(slow).size(), 1u);
  EXPECT_EQ(std::get<std::string>(answers(slow)[0].value), "2.7.1");
  EXPECT_EQ(answers(slow)[0].at, 3s);
  EXPECT_EQ(answers(fast).size(), 1u);
}

TEST_F(CommandTest, AccessFailureCarriesTheHelpersCodeAndTheLoadersOwnErrorOrALookupMessage) {
  plugin().hasUpdate = false;
  helper().failAccess("E_LOAD", "vlt_start");
  const auto error = asError(only(call("access")));
  EXPECT_EQ(error.code, "E_LOAD");
  EXPECT_EQ(error.message, "Failed to lookup 'vlt_start'");

  // With the loader's own error pending when the reply comes, that is the message.
  helper().replyAfter("access", 1s);
  const auto n = call("access");
  ASSERT_EQ(dlopen("/nonexistent/veltrino-core.so", RTLD_NOW), nullptr);
  const std::string loaderText = dlerror();
  ASSERT_EQ(dlopen("/nonexistent/veltrino-core.so", RTLD_NOW), nullptr);  // pending again for the reply
  tp.advance(1s);
  EXPECT_EQ(asError(only(n)), FlutterError::errorWithCode("E_LOAD", loaderText));
}

// The helper is reached before the arguments are checked, so a call that leaves out a
// value hears of the failure too, and stores nothing; a complete call that cannot be
// sent is still the interface's latest intent.
TEST_F(CommandTest, ConnectionFailureIsAnsweredDuringTheCallAndTheNextCallTriesAgain) {
  tp.files.files.clear();
  tp.security.createStatuses = {0, platform::errAuthorizationCanceled, 0, platform::errAuthorizationCanceled};
  const auto n = call("set_hive", args({{"ip", "1"}}));
  ASSERT_EQ(answers(n).size(), 1u);
  EXPECT_EQ(asError(answers(n)[0].value).code, "xpc_connection_error");  // its text is InstallHelperTest's
  EXPECT_EQ(plugin().ip, std::nullopt);
  EXPECT_EQ(asError(only(call("set_rules", args({{"rules", "r2"}})))).code, "xpc_connection_error");
  EXPECT_EQ(plugin().rules, "r2");
  EXPECT_EQ(tp.loop.pending(), 0u);
  EXPECT_EQ(plugin().remote, nullptr);
  EXPECT_EQ(tp.services.connectionsMade(), 0u);
  EXPECT_THAT(tp.output.lines(), IsEmpty());

  // Not retried by itself; the next call tries again, and this time the user allows it.
  EXPECT_TRUE(isNull(only(call("off"))));
  EXPECT_NE(plugin().remote, nullptr);
}

}  // namespace
}  // namespace veltrino_test
