// A whole session with distinctive credentials, then a search of everything the host
// wrote for them: its standard output and error, and every file under the system root
// but the reference helper's ops log (a test facility that records what the helper
// was sent); outside the root, where a crash report would go, nothing is written.
#include <signal.h>

#include <fstream>
#include <iterator>

#include "expectations.h"

namespace e2e {
namespace {

// Values no part of the system could come up with by itself.
const Json kSecrets = {{"app", "app-9Wn4Bq7Tx2Lc"},
                       {"uid", "uid-5Rt8Kc1Nv6Hb"},
                       {"token", "tok-7Qm2Zx9Lp4Wd"},
                       {"device", "dev-3Jf6Ys0Ge8Ua"},
                       {"version", "ver-1Hd5Mp3Vz7Ke"}};

// Names the secrets found in |text|, not the secrets themselves.
std::vector<std::string> secretsIn(const std::string& text) {
  std::vector<std::string> found;
  for (const auto& [key, value] : kSecrets.items()) {
    if (text.find(value.get<std::string>()) != std::string::npos) found.push_back(key);
  }
  return found;
}

std::string contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Secrets, NeitherOutputNorLogsNorCrashReportsHoldTheSessionsCredentials) {
  TempRoot root;
  // An older helper: the session also goes through an update, a reconnect and a replay.
  root.installHelper({"--build", "1"});
  HostProcess host(root);
  const auto session = host.callAll({{"set_token", kSecrets},
                                     {"set_hive", kHive},
                                     {"set_force_routing", {{"state", "on"}}},
                                     {"set_rules", kRules},
                                     {"on", {{"tlsMode", "1"}}},
                                     {"get_tunnel_version", nullptr},
                                     {"access", nullptr}});
  // The old helper's setToken..iosOn, getTunnelVersion, getVersion, access, exitHelper,
  // then the replay to the new one.
  ASSERT_TRUE(root.waitForOps(15, 20s));
  // A restarted helper is replayed the session as well.
  ASSERT_EQ(::kill(root.helperPids().at(1), SIGKILL), 0);
  ASSERT_TRUE(root.waitForOps(21, 20s));

  // Bad input that carries the credentials: a map with a value of the wrong type, a
  // line cut short inside a string, bytes that are not UTF-8, a call lacking keys.
  const std::string token = kSecrets["token"];
  const std::string uid = kSecrets["uid"];
  host.call("set_token", {{"token", token}, {"uid", uid}, {"device", 7}});
  host.sendLine("set_token {\"token\":\"" + token + "\",\"uid\":\"" + uid);
  host.sendLine("set_token {\"uid\":\"" + uid + "\",\"token\":\"" + token + "\xff\"}");
  host.sendLine("set_token {\"uid\":\"" + uid + "\" \"token\":\"" + token + "\"}");
  host.call("set_token", {{"token", token}});
  host.call("off");
  host.call("print", {{"message", "session over"}});
  EXPECT_EQ(host.finish(), 0);
  for (int id : session) EXPECT_TRUE(host.answer(id).contains("result")) << id;
  expectEachCallAnsweredOnce(host);
  expectOwnDiagnostics(host, {"session over"});

  // They did travel: the helper was sent them, first and in the replays.
  std::size_t sent = 0;
  for (const auto& op : root.ops()) {
    if (op["op"] == "setToken" && op["args"][3] == token) ++sent;
  }
  EXPECT_EQ(sent, 3u);

  std::string output;
  for (const auto& line : host.standardOutput()) output += line + "\n";
  EXPECT_THAT(secretsIn(output), IsEmpty()) << "on standard output";
  EXPECT_THAT(secretsIn(host.standardError()), IsEmpty()) << "on standard error";
  EXPECT_THAT(host.standardError(), HasSubstr("line ")) << "the bad lines were complained about";

  std::size_t filesSearched = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root.path())) {
    if (!entry.is_regular_file() || entry.path() == root.opsLog()) continue;
    ++filesSearched;
    EXPECT_THAT(secretsIn(contents(entry.path())), IsEmpty()) << "in " << entry.path();
  }
  EXPECT_GE(filesSearched, 3u) << "the helper, its job and its log at least";

  // A crash dumps into the host's working folder, beside the root: nothing, a crash
  // report least of all, may be there.
  EXPECT_THAT(root.writtenOutside(), IsEmpty());
}

}  // namespace
}  // namespace e2e
