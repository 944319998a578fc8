#include "plugin_fixture.h"

namespace veltrino_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using vpn_bridge::VPNPlugin;

TEST(PluginBundleTest, HelperVersionsAndDylibFollowTheBundle) {
  struct Row {
    std::optional<platform::PlistDictionary> info;
    std::optional<std::string> frameworksPath;
    std::string ver, bld, dylib;
  };
  const std::vector<Row> rows = {
      {.info = std::nullopt, .frameworksPath = std::nullopt, .ver = "", .bld = "", .dylib = "/core.dylib"},
      {.info = platform::PlistDictionary{{"HelperCFBundleShortVersionString", std::int64_t{2}},
                                         {"HelperCFBundleVersion", true}},
       .frameworksPath = "/F",
       .ver = "",
       .bld = "",
       .dylib = "/F/core.dylib"},
      {.info = platform::PlistDictionary{{"HelperCFBundleShortVersionString", std::string(" 1.0 ")},
                                         {"HelperCFBundleVersion", std::string("1.10")}},
       .frameworksPath = "/a b/",
       .ver = " 1.0 ",
       .bld = "1.10",
       .dylib = "/a b//core.dylib"},
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

TEST_F(PluginTest, PrintWritesTheMessageAsOneLineAndAnswersNull) {
  EXPECT_TRUE(isNull(only(call("print", args({{"message", "hello there"}, {"other", "x"}})))));
  EXPECT_TRUE(isNull(only(call("print", args({})))));
  EXPECT_TRUE(isNull(only(call("print", args({{"message", ""}})))));
  EXPECT_THAT(tp.output.lines(), ElementsAre("hello there", "", ""));
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

  call("set_rules", args({{"rules", ""}}));
  EXPECT_EQ(p.rules, "") << "an empty string is a value";
  call("set_rules", args({{"rules", " 10.0.0.0/8 , x "}}));
  EXPECT_EQ(p.rules, " 10.0.0.0/8 , x ") << "stored untouched";
  call("set_rules",
       EncodableMap{{std::string("rules"), std::string("first")}, {std::string("rules"), std::string("last")}});
  EXPECT_EQ(p.rules, "last") << "a repeated key takes its last value";

  call("on", args({}));
  EXPECT_TRUE(p.vpnOn);
  EXPECT_EQ(p.tlsMode, std::nullopt);
  EXPECT_EQ(p.state, "off");
}

TEST_F(PluginTest, RowsThatReadArgumentsRefuseAnythingButAMapOfStrings) {
  EncodableValue deep = EncodableList{};
  for (int i = 1; i < platform::kMaxEncodableDepth; ++i) deep = EncodableList{std::move(deep)};
  struct Bad {
    std::string what;
    EncodableValue arguments;
  };
  const std::vector<Bad> bad = {
      {.what = "list of strings", .arguments = EncodableList{std::string("a"), std::string("b")}},
      {.what = "number value", .arguments = EncodableMap{{std::string("port"), std::int64_t{443}}}},
      {.what = "number key", .arguments = EncodableMap{{std::int64_t{1}, std::string("x")}}},
      {.what = "deep nesting", .arguments = deep},
  };
  for (const char* method : {"print", "on", "set_hive", "set_token", "set_force_routing", "set_rules"}) {
    for (const auto& [what, value] : bad) {
      // A good call first, so that a write by the bad call would show.
      call("set_hive", args({{"ip", "1"}, {"port", "2"}, {"hive", "3"}}));
      call("set_token", args({{"app", "a"}, {"uid", "u"}, {"token", "t"}, {"device", "d"}, {"version", "v"}}));
      call("set_force_routing", args({{"state", "s"}}));
      call("set_rules", args({{"rules", "r"}}));
      call("on", args({{"tlsMode", "1"}}));
      call("off");
      const std::size_t before = tp.output.lines().size();

      auto error = asError(only(call(method, value)));
      ASSERT_TRUE(error) << method << " with " << what;
      EXPECT_EQ(error->code, "invalid_arguments");
      EXPECT_EQ(error->message, "\"" + std::string(method) + "\" expects a map of strings to strings");

      VPNPlugin& p = plugin();
      EXPECT_EQ(p.ip, "1");
      EXPECT_EQ(p.port, "2");
      EXPECT_EQ(p.token, "t");
      EXPECT_EQ(p.state, "s");
      EXPECT_EQ(p.rules, "r");
      EXPECT_EQ(p.tlsMode, "1");
      EXPECT_FALSE(p.vpnOn) << "a refused \"on\" leaves the tunnel off";
      EXPECT_EQ(tp.output.lines().size(), before) << method << " with " << what;
    }
  }
}

TEST_F(PluginTest, HugeValuesPassUntouched) {
  const std::string huge(4 << 20, 'x');
  EncodableMap map{{std::string("message"), huge}};
  EXPECT_TRUE(isNull(only(call("print", map))));
  ASSERT_EQ(tp.output.lines().size(), 1u);
  EXPECT_EQ(tp.output.lines()[0].size(), huge.size());
  call("set_rules", EncodableMap{{std::string("rules"), huge}});
  EXPECT_EQ(plugin().rules->size(), huge.size());
}

}  // namespace
}  // namespace veltrino_test
