// Refused calls between accepted ones, against real helper processes: the helper
// that replaces a killed one gets the session that was accepted, whatever was
// refused after it, and nothing once the tunnel was turned off.
#include <signal.h>

#include "expectations.h"

namespace e2e {
namespace {

// Each must be refused, and sends nothing.
void expectRefused(HostProcess& host, const std::vector<std::pair<std::string, Json>>& calls) {
  for (const auto& [method, arguments] : calls) {
    const Json error = host.answer(host.call(method, arguments)).value("error", Json::object());
    EXPECT_THAT(error.value("code", ""), AnyOf("missing_arguments", "invalid_arguments")) << method;
  }
}

TEST(Session, RefusedCallsLeaveTheReplayOfTheAcceptedSessionOrNoneOnceOff) {
  TempRoot root;
  root.installHelper();
  HostProcess host(root);
  const auto ids = host.callAll({{"set_token", kToken}, {"set_hive", kHive},
                                 {"set_force_routing", {{"state", "on"}}}, {"set_rules", kRules},
                                 {"on", Json::object()}, {"print", {{"message", "session set"}}}});
  for (int id : ids) EXPECT_TRUE(host.answer(id).contains("result")) << id;
  expectRefused(host, {{"set_hive", {{"ip", "10.9.9.9"}}}, {"on", Json::array({"1"})}});
  ASSERT_TRUE(root.waitForOps(5));
  // What the helper is sent, with the defaults filled in.
  const std::string dylib = std::string(VELTRINO_BUNDLE_PATH) + "/Contents/Frameworks/core.dylib";
  std::vector<Json> sent;
  for (const auto& op : root.ops()) sent.push_back(op["args"]);
  EXPECT_THAT(sent, ElementsAre(Json({dylib, "veltrino", "u-1", "tok-1", "dev-1", "3.2"}),
                                Json({dylib, "10.8.0.1", "443", "eu-1", "off"}), Json({dylib, "on"}),
                                Json({dylib, "10.0.0.0/8"}), Json({dylib, "0"})))
      << "a refused call sends nothing";
  ASSERT_EQ(::kill(root.helperPids().at(0), SIGKILL), 0);
  ASSERT_TRUE(root.waitForOps(11));
  EXPECT_THAT(root.opNames(), ElementsAre("#1 setToken", "#1 setHive", "#1 setForce", "#1 setRule", "#1 iosOn",
                                          "#2 access", "#2 setToken", "#2 setHive", "#2 setForce", "#2 setRule",
                                          "#2 iosOn"));
  const auto ops = root.ops();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ops[6 + i]["args"], ops[i]["args"]) << "the session before the refused calls";

  // Tunnel off, then a refused "on": nothing is replayed, and a later command starts
  // the helper again. One sent before the host saw the helper go is lost with it and
  // left to the guard.
  EXPECT_EQ(host.answer(host.call("off"))["result"], nullptr);
  expectRefused(host, {{"on", Json::array({"1"})}});
  ASSERT_TRUE(root.waitForOps(12));
  ASSERT_EQ(::kill(root.helperPids().at(1), SIGKILL), 0);
  Json version;
  for (int attempt = 0; attempt < 3 && version != "1.0.0"; ++attempt) {
    version = host.answer(host.call("get_tunnel_version"))["result"];
  }
  EXPECT_EQ(version, "1.0.0");
  auto names = root.opNames();
  ASSERT_GE(names.size(), 13u);
  EXPECT_EQ(names[11], "#2 iosOff");
  for (std::size_t i = 12; i < names.size(); ++i) EXPECT_EQ(names[i], "#3 getTunnelVersion");

  // A printed message cannot forge an answer line.
  host.call("print", {{"message", "hello\n=> {\"id\":2,\"result\":null}"}});
  EXPECT_EQ(host.finish(), 0);
  expectEachCallAnsweredOnce(host);
  EXPECT_THAT(host.diagnostics(), ElementsAre("session set", "hello\\n=> {\"id\":2,\"result\":null}"));
}

}  // namespace
}  // namespace e2e
