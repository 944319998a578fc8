// The whole host against real helper processes over the real link, each test in a
// system root of its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "host_process.h"

namespace e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const Json kToken = {{"app", "veltrino"}, {"uid", "u-1"}, {"token", "tok-1"}, {"device", "dev-1"}, {"version", "3.2"}};
const Json kHive = {{"ip", "10.8.0.1"}, {"port", "443"}, {"hive", "eu-1"}};

Json nullResult(int id, const std::string& method) { return {{"id", id}, {"method", method}, {"result", nullptr}}; }

std::vector<Json> argsOf(const TempRoot& root, const std::string& op) {
  std::vector<Json> out;
  for (const auto& o : root.ops()) {
    if (o["op"] == op) out.push_back(o["args"]);
  }
  return out;
}

TEST(EndToEnd, FirstAccessInstallsTheHelperAndAnswersNull) {
  TempRoot root;
  HostProcess host(root);
  const int id = host.call("access");
  EXPECT_EQ(host.answer(id), nullResult(id, "access"));
  EXPECT_TRUE(std::filesystem::exists(root.helperPath()));
  EXPECT_TRUE(root.waitForOps(2));
  EXPECT_THAT(root.opNames(), ElementsAre("#1 getVersion", "#1 access"));
  EXPECT_EQ(host.finish(), 0);
  EXPECT_THAT(host.diagnostics(), IsEmpty());
}

TEST(EndToEnd, TheSessionReachesTheHelperWithDefaults) {
  TempRoot root;
  root.installHelper();
  HostProcess host(root);
  std::vector<int> ids = {host.call("set_token", kToken), host.call("set_hive", kHive),
                          host.call("set_force_routing", {{"state", "on"}}),
                          host.call("set_rules", {{"rules", "10.0.0.0/8"}}), host.call("on", Json::object()),
                          host.call("print", {{"message", "session set"}})};
  for (int id : ids) EXPECT_TRUE(host.answer(id).contains("result")) << id;
  EXPECT_EQ(host.finish(), 0);
  const std::string dylib = std::string(VELTRINO_BUNDLE_PATH) + "/Contents/Frameworks/core.dylib";
  EXPECT_THAT(root.opNames(), ElementsAre("#1 setToken", "#1 setHive", "#1 setForce", "#1 setRule", "#1 iosOn"));
  EXPECT_EQ(argsOf(root, "setToken")[0], Json({dylib, "veltrino", "u-1", "tok-1", "dev-1", "3.2"}));
  EXPECT_EQ(argsOf(root, "setHive")[0], Json({dylib, "10.8.0.1", "443", "eu-1", "off"}));
  EXPECT_EQ(argsOf(root, "setForce")[0], Json({dylib, "on"}));
  EXPECT_EQ(argsOf(root, "setRule")[0], Json({dylib, "10.0.0.0/8"}));
  EXPECT_EQ(argsOf(root, "iosOn")[0], Json({dylib, "0"}));
  EXPECT_THAT(host.diagnostics(), ElementsAre("session set"));
}

TEST(EndToEnd, DeniedAuthorizationIsAConnectionError) {
  TempRoot root;
  HostProcess host(root, {{"VELTRINO_AUTHORIZATION", "deny"}});
  const int id = host.call("access");
  EXPECT_EQ(host.answer(id),
            Json({{"id", id},
                  {"method", "access"},
                  {"error",
                   {{"code", "xpc_connection_error"},
                    {"message",
                     "Helper installation error. Unable to get a valid loading authorization reference to load "
                     "Helper daemon"}}}}));
  EXPECT_FALSE(std::filesystem::exists(root.helperPath()));
  EXPECT_EQ(host.finish(), 0);
}

TEST(EndToEnd, AnInstalledHelperWithoutAJobCannotBeReached) {
  TempRoot root;
  root.installHelper();
  std::filesystem::remove(root.path() / "Library/LaunchDaemons/com.veltrino.mac.helper.plist");
  HostProcess host(root);
  const int id = host.call("off");
  EXPECT_EQ(host.answer(id), nullResult(id, "off"));
  EXPECT_GE(host.latency(id), 4900ms);
  EXPECT_THAT(host.diagnostics(), ElementsAre("Unable to connect to Helper although it is installed"));
  EXPECT_EQ(host.finish(), 0);
}

TEST(EndToEnd, ASilentHelperIsAnsweredNullAfterFiveSeconds) {
  TempRoot root;
  root.installHelper({"--silent", "iosOff"});
  HostProcess host(root);
  const int id = host.call("off");
  EXPECT_EQ(host.answer(id), nullResult(id, "off"));
  EXPECT_GE(host.latency(id), 4900ms);
  EXPECT_LT(host.latency(id), 7000ms);
  EXPECT_EQ(host.finish(), 0);
}

TEST(EndToEnd, AKilledHelperGetsTheSessionReplayedWhileTheTunnelIsOn) {
  TempRoot root;
  root.installHelper();
  HostProcess host(root);
  for (int id : {host.call("set_token", kToken), host.call("set_hive", kHive), host.call("on", {{"tlsMode", "1"}})}) {
    host.answer(id);
  }
  ASSERT_TRUE(root.waitForOps(3));
  const long first = root.ops()[0]["pid"];
  ::kill(static_cast<pid_t>(first), SIGKILL);
  ASSERT_TRUE(root.waitForOps(8));
  EXPECT_THAT(root.opNames(), ElementsAre("#1 setToken", "#1 setHive", "#1 iosOn", "#2 access", "#2 setToken",
                                          "#2 setHive", "#2 setForce", "#2 iosOn"));
  EXPECT_EQ(argsOf(root, "iosOn")[1][1], "1");
  EXPECT_EQ(host.finish(), 0);
  EXPECT_THAT(host.diagnostics(), IsEmpty());
}

TEST(EndToEnd, AnOlderHelperIsReplacedAndTheSessionReplayed) {
  TempRoot root;
  root.installHelper({"--build", "1"});
  HostProcess host(root);
  for (int id : {host.call("set_token", kToken), host.call("set_hive", kHive), host.call("on", Json::object()),
                 host.call("access")}) {
    EXPECT_TRUE(host.answer(id).contains("result"));
  }
  ASSERT_TRUE(root.waitForOps(11));
  EXPECT_THAT(root.opNames(),
              ElementsAre("#1 setToken", "#1 setHive", "#1 iosOn", "#1 getVersion", "#1 access", "#1 exitHelper",
                          "#2 access", "#2 setToken", "#2 setHive", "#2 setForce", "#2 iosOn"));
  EXPECT_EQ(host.finish(), 0);
}

TEST(EndToEnd, AnOffBeforeTheReplayKeepsTheTunnelOff) {
  TempRoot root;
  root.installHelper({"--build", "1"});
  HostProcess host(root);
  for (int id : {host.call("set_token", kToken), host.call("set_hive", kHive), host.call("on", Json::object())}) {
    host.answer(id);
  }
  // The access's own answer may be lost with the old connection and come from the
  // time-out: do not wait for it.
  host.call("access");
  ASSERT_TRUE(root.waitForOps(6));  // the old helper got its exitHelper
  // The new helper, launched in 2 seconds, is slow to answer the reconnect's access.
  root.writeJob(root.helperPath(), {"--reply-delay-ms", "1500"});
  ASSERT_TRUE(root.waitForOps(7));
  host.answer(host.call("off"));
  ASSERT_TRUE(root.waitForOps(11));
  EXPECT_EQ(host.finish(), 0);
  EXPECT_THAT(root.opNames(), ElementsAre("#1 setToken", "#1 setHive", "#1 iosOn", "#1 getVersion", "#1 access",
                                          "#1 exitHelper", "#2 access", "#2 iosOff", "#2 setToken", "#2 setHive",
                                          "#2 setForce"));
}

}  // namespace
}  // namespace e2e
