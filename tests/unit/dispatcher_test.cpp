#include "plugin_fixture.h"

namespace veltrino_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using platform::PlistDictionary;
using vpn_bridge::VPNPlugin;

TEST(PluginBundleTest, HelperVersionsAndDylibFollowTheBundle) {
  struct Row {
    std::optional<PlistDictionary> info;
    std::optional<std::string> frameworksPath;
    std::string ver, bld, dylib;
  };
  const std::vector<Row> rows = {
      {std::nullopt, std::nullopt, "", "", "/core.dylib"},
      {PlistDictionary{{"HelperCFBundleShortVersionString", std::int64_t{2}}, {"HelperCFBundleVersion", true}},
       "/F", "", "", "/F/core.dylib"},
      {PlistDictionary{{"HelperCFBundleShortVersionString", std::string(" 1.0 ")},
                       {"HelperCFBundleVersion", std::string("1.10")}},
       "/a b/", " 1.0 ", "1.10", "/a b//core.dylib"},
  };
  for (const Row& row : rows) {
    platform::testing::TestPlatform tp;
    tp.bundle.info = row.info;
    tp.bundle.frameworksPath = row.frameworksPath;
    auto p = VPNPlugin::init();
    EXPECT_EQ(p->xpcService.ver, row.ver);
    EXPECT_EQ(p->xpcService.bld, row.bld);
    EXPECT_EQ(p->dylib, row.dylib);
    EXPECT_EQ(tp.bundle.infoDictionaryReads, 2) << "one read per key";
  }
}

TEST_F(PluginTest, NamesWithoutAHandlerAreNotImplemented) {
  for (const char* name : {"get_status", "", "Print", "ACCESS", "set_Hive", "on ", "status", "exitHelper"}) {
    EXPECT_TRUE(isNotImplemented(only(call(name, args({{"message", "x"}}))))) << '"' << name << '"';
  }
  EXPECT_THAT(tp.output.lines(), IsEmpty());
  EXPECT_FALSE(plugin().vpnOn);
  EXPECT_EQ(tp.services.connectionsMade(), 0u);
}

// Absent arguments read as a map with no keys; every message is written as one line.
TEST_F(PluginTest, PrintWritesTheMessageAsOneLineAndAnswersNull) {
  EXPECT_TRUE(isNull(only(call("print"))));
  EXPECT_TRUE(isNull(only(call("print", args({{"other", "x"}})))));
  EXPECT_THAT(tp.output.lines(), ElementsAre("", ""));
  const std::pair<std::string, std::string> rows[] = {
      {"hello\n=> {\"id\":2,\"result\":null}", "hello\\n=> {\"id\":2,\"result\":null}"},
      {std::string("a\0b", 3), "a\\u0000b"},
      {"cr\r tab\t bs\b ff\f esc\x1b del\x7f", "cr\\r tab\\t bs\\b ff\\f esc\\u001b del\\u007f"},
      {"a \\n backslash and \xc3\xa9", "a \\n backslash and \xc3\xa9"},
  };
  for (const auto& [message, line] : rows) {
    EXPECT_TRUE(isNull(only(call("print", EncodableMap{{std::string("message"), message}}))));
    EXPECT_EQ(tp.output.lines().back(), line);
    EXPECT_EQ(tp.output.details().back(), line) << "the interface's words are not the host's to publish";
  }
  EXPECT_EQ(tp.output.lines().size(), 2 + std::size(rows));
  EXPECT_EQ(tp.services.connectionsMade(), 0u);
}

TEST_F(PluginTest, EachCallWritesAllFieldsOfItsGroupAndNoOther) {
  call("set_hive", args({{"ip", "10.0.0.1"}, {"port", "443"}, {"hive", "h1"}, {"ipv6Enable", "on"}}));
  call("set_token", args({{"app", "a"}, {"uid", "u"}, {"token", "t"}, {"device", "d"}, {"version", "v"}}));
  call("set_force_routing", args({{"state", "off"}}));
  call("set_rules", args({{"rules", "r1"}}));
  call("on", args({{"tlsMode", "2"}}));
  VPNPlugin& p = plugin();
  using Fields = std::vector<std::optional<std::string>>;
  auto fields = [&p] {
    return Fields{p.ip,    p.port,   p.hive,    p.ipv6Enable, p.app,   p.uid,
                  p.token, p.device, p.version, p.state,      p.rules, p.tlsMode};
  };
  const auto none = std::nullopt;
  EXPECT_EQ(fields(), (Fields{"10.0.0.1", "443", "h1", "on", "a", "u", "t", "d", "v", "off", "r1", "2"}));
  EXPECT_TRUE(p.vpnOn);

  // An accepted call that omits a key it may go without clears that field only.
  call("set_hive", args({{"ip", "10.0.0.2"}, {"port", "80"}, {"hive", "h2"}}));
  EXPECT_EQ(fields(), (Fields{"10.0.0.2", "80", "h2", none, "a", "u", "t", "d", "v", "off", "r1", "2"}));

  call("set_rules",
       EncodableMap{{std::string("rules"), std::string("first")}, {std::string("rules"), std::string("last")}});
  EXPECT_EQ(p.rules, "last") << "a repeated key takes its last value";
}

}  // namespace
}  // namespace veltrino_test
