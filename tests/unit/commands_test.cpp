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
  const std::vector<std::tuple<const char*, EncodableValue, std::vector<std::string>>> cases = {
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
  for (const auto& [method, arguments, sent] : cases) {
    const auto n = call(method, arguments);
    std::vector<std::string> expected = sent;
    expected.insert(expected.begin() + 1, d());
    EXPECT_EQ(lastSent(), expected) << method;
    ASSERT_EQ(answers(n).size(), 1u) << method;
    EXPECT_TRUE(answers(n)[0].onMainQueue);
    EXPECT_EQ(answers(n)[0].at, 0ms);
  }
  tp.advance(10s);
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(answers(i).size(), 1u) << "time-outs stay silent";
  EXPECT_EQ(tp.services.connectionsMade(), 1u) << "one connection, cached";
}

TEST_F(CommandTest, TheGuardAnswersOnceFromTheReplyOrFromTheTimeOut) {
  // Reply after (none: never), answered after.
  const std::pair<std::optional<std::chrono::milliseconds>, std::chrono::milliseconds> cases[] = {
      {0ms, 0ms}, {4999ms, 4999ms}, {5s, 5s}, {6s, 5s}, {std::nullopt, 5s}};
  for (const auto& [replyAfter, answeredAt] : cases) {
    replyAfter ? helper().replyAfter("iosOff", *replyAfter) : helper().neverReply("iosOff");
    const auto start = tp.loop.now();
    const auto n = call("off");
    tp.advance(10s);
    ASSERT_EQ(answers(n).size(), 1u);
    EXPECT_TRUE(isNull(answers(n)[0].value));
    EXPECT_EQ(answers(n)[0].at - start, answeredAt);
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
  tp.files.files.clear();  // the helper must be installed first: missing values do not stop that
  const std::vector<std::tuple<const char*, EncodableValue, const char*>> cases = {
      {"set_hive", args({}), "\"set_hive\" is missing: ip, port, hive"},
      {"set_token", args({{"token", "t"}}), "\"set_token\" is missing: app, uid, device, version"},
      {"set_force_routing", args({}), "\"set_force_routing\" is missing: state"},
      {"set_rules", args({{"rule", "x"}}), "\"set_rules\" is missing: rules"},
  };
  for (const auto& [method, arguments, message] : cases) {
    auto error = asError(only(call(method, arguments)));
    ASSERT_TRUE(error) << message;
    EXPECT_EQ(error->code, "missing_arguments");
    EXPECT_EQ(error->message, message);
  }
  EXPECT_THAT(tp.security.blessed, ElementsAre("com.veltrino.mac.helper"));
  EXPECT_EQ(tp.services.connectionsMade(), 1u);
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
  EXPECT_EQ(error->code, "xpc_connection_error");
  EXPECT_EQ(error->message,
            "Helper installation error. Unable to get a valid loading authorization reference to load Helper daemon");
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
