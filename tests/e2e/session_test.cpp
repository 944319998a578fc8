// A refused call between accepted ones, against real helper processes: the helper
// that replaces a killed one gets the session that was accepted, whatever was
// refused after it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include "expectations.h"
#include "host_process.h"

namespace e2e {
namespace {

using ::testing::ElementsAre;

const Json kToken = {{"app", "veltrino"}, {"uid", "u-1"}, {"token", "tok-1"}, {"device", "dev-1"}, {"version", "3.2"}};
const Json kHive = {{"ip", "10.8.0.1"}, {"port", "443"}, {"hive", "eu-1"}};

std::string errorCode(const Json& answer) { return answer.contains("error") ? answer["error"].value("code", "") : ""; }

// Sets up the session, then sends |refused| (each must be refused); returns the ops
// the helper had logged by then.
std::size_t sessionThenRefusals(HostProcess& host, const TempRoot& root, const std::vector<std::string>& accepted,
                                const std::vector<std::pair<std::string, Json>>& refused) {
  for (const auto& method : accepted) {
    const Json arguments = method == "set_token" ? kToken : method == "set_hive" ? kHive : Json::object();
    EXPECT_TRUE(host.answer(host.call(method, arguments)).contains("result")) << method;
  }
  for (const auto& [method, arguments] : refused) {
    EXPECT_THAT(errorCode(host.answer(host.call(method, arguments))),
                ::testing::AnyOf("missing_arguments", "invalid_arguments"))
        << method;
  }
  EXPECT_TRUE(root.waitForOps(accepted.size()));
  return root.ops().size();
}

TEST(Session, RefusedCallsLeaveTheReplayOfTheAcceptedSession) {
  TempRoot root;
  root.installHelper();
  HostProcess host(root);
  const auto before = sessionThenRefusals(host, root, {"set_token", "set_hive", "on"},
                                          {{"set_hive", {{"ip", "10.9.9.9"}}}, {"on", Json::array({"1"})}});
  ASSERT_EQ(before, 3u) << "a refused call sends nothing";
  ASSERT_EQ(::kill(root.helperPids().at(0), SIGKILL), 0);
  ASSERT_TRUE(root.waitForOps(before + 5));
  EXPECT_THAT(root.opNames(), ElementsAre("#1 setToken", "#1 setHive", "#1 iosOn", "#2 access", "#2 setToken",
                                          "#2 setHive", "#2 setForce", "#2 iosOn"));
  const auto ops = root.ops();
  EXPECT_EQ(ops[5]["args"], ops[1]["args"]) << "the hive from before the refused call";
  EXPECT_EQ(ops[4]["args"], ops[0]["args"]);

  // A printed message cannot forge an answer line.
  host.call("print", {{"message", "hello\n=> {\"id\":2,\"result\":null}"}});
  EXPECT_EQ(host.finish(), 0);
  expectEachCallAnsweredOnce(host);
  EXPECT_THAT(host.diagnostics(), ElementsAre("hello\\n=> {\"id\":2,\"result\":null}"));
}

TEST(Session, ARefusedOnAfterOffKeepsTheTunnelOff) {
  TempRoot root;
  root.installHelper();
  HostProcess host(root);
  const auto before =
      sessionThenRefusals(host, root, {"set_token", "set_hive", "on", "off"}, {{"on", Json::array({"1"})}});
  ASSERT_EQ(before, 4u);
  ASSERT_EQ(::kill(root.helperPids().at(0), SIGKILL), 0);
  // Tunnel off: nothing is replayed; a later command starts the helper again. One
  // sent before the host saw the helper go is lost with it and left to the guard.
  Json version;
  for (int attempt = 0; attempt < 3 && version != "1.0.0"; ++attempt) {
    version = host.answer(host.call("get_tunnel_version"))["result"];
  }
  EXPECT_EQ(version, "1.0.0");
  auto names = root.opNames();
  ASSERT_GE(names.size(), 5u);
  EXPECT_THAT(std::vector<std::string>(names.begin(), names.begin() + 4),
              ElementsAre("#1 setToken", "#1 setHive", "#1 iosOn", "#1 iosOff"));
  for (std::size_t i = 4; i < names.size(); ++i) EXPECT_EQ(names[i], "#2 getTunnelVersion");
  EXPECT_EQ(host.finish(), 0);
  expectEachCallAnsweredOnce(host);
}

}  // namespace
}  // namespace e2e
