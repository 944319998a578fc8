// Job blessing by the real host into a system root made hostile: a umask that would
// open every file to everyone, and links that lead out of the root. The installation
// leaves the modes an installer sets, and a link on the helper's way fails it with
// its reason while nothing outside the root is written.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "expectations.h"
#include "host_process.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

const std::string kBlessFailed = "Helper installation error. Error while installing the Helper: ";

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

TEST(HostileInstall, UnderUmask000TheInstallationLeavesFixedModes) {
  TempRoot root;
  // An ops log that someone opened to everyone is narrowed before the next session's
  // operations land in it.
  fs::create_directories(root.opsLog().parent_path());
  std::ofstream(root.opsLog()).put('\n');
  fs::permissions(root.opsLog(), fs::perms(0666));
  const mode_t previous = ::umask(0);
  HostProcess host(root);  // the host and the helper it starts inherit the umask
  ::umask(previous);
  const int access = host.call("access");
  EXPECT_EQ(host.answer(access), Json({{"id", access}, {"method", "access"}, {"result", nullptr}}));
  const int version = host.call("get_tunnel_version");
  EXPECT_EQ(host.answer(version).value("result", Json()), "1.0.0");

  const struct {
    const char* path;
    mode_t mode;
  } rows[] = {
      {"Library", 0755},
      {"Library/PrivilegedHelperTools", 0755},
      {"Library/LaunchDaemons", 0755},
      {"var/run", 0755},
      {"var/log", 0755},
      {"Library/PrivilegedHelperTools/com.veltrino.mac.helper", 0755},
      {"Library/LaunchDaemons/com.veltrino.mac.helper.plist", 0644},
      {"var/run/com.veltrino.mac.helper.sock", 0600},
      {"var/log/com.veltrino.mac.helper.log", 0600},
      {"var/log/com.veltrino.mac.helper.ops.jsonl", 0600},
  };
  struct stat rootInfo {};
  ASSERT_EQ(::stat(root.path().c_str(), &rootInfo), 0);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(modeOf(root.path() / row.path), row.mode);
    struct stat info {};
    ASSERT_EQ(::lstat((root.path() / row.path).c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, rootInfo.st_uid);
    EXPECT_EQ(info.st_gid, rootInfo.st_gid);
  }
  EXPECT_EQ(host.finish(), 0);
  expectEachCallAnsweredOnce(host);
  EXPECT_THAT(root.writtenOutside(), IsEmpty());
}

TEST(HostileInstall, ALinkOnTheHelpersWayFailsTheInstallationAndNothingOutsideIsWritten) {
  struct Row {
    const char* what;
    std::function<void(const fs::path& root, const fs::path& outside)> arrange;
    const char* reason;
  };
  const Row rows[] = {
      {"the helpers' folder is a link",
       [](auto& root, auto& outside) {
         fs::create_directories(root / "Library");
         fs::create_directory_symlink(outside, root / "Library/PrivilegedHelperTools");
       },
       "/Library/PrivilegedHelperTools: it is a symbolic link"},
      {"the library is a link",
       [](auto& root, auto& outside) { fs::create_directory_symlink(outside, root / "Library"); },
       "/Library: it is a symbolic link"},
      {"the helper is a link",
       [](auto& root, auto& outside) {
         fs::create_directories(root / "Library/PrivilegedHelperTools");
         fs::create_symlink(outside / "helper", root / "Library/PrivilegedHelperTools/com.veltrino.mac.helper");
       },
       "com.veltrino.mac.helper: it is a symbolic link"},
      {"the job's folder is a link",
       [](auto& root, auto& outside) {
         fs::create_directories(root / "Library");
         fs::create_directory_symlink(outside, root / "Library/LaunchDaemons");
       },
       "/Library/LaunchDaemons: it is a symbolic link"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    TempRoot root;
    row.arrange(root.path(), root.outside());
    HostProcess host(root);
    const int id = host.call("access");
    const Json error = host.answer(id).value("error", Json::object());
    EXPECT_EQ(error.value("code", ""), "xpc_connection_error");
    EXPECT_THAT(error.value("message", ""), StartsWith(kBlessFailed));
    EXPECT_THAT(error.value("message", ""), HasSubstr(row.reason));
    EXPECT_EQ(host.finish(), 0);
    expectEachCallAnsweredOnce(host);
    EXPECT_THAT(root.writtenOutside(), IsEmpty());
  }
}

// Two hosts that find one fresh root each install the helper for their first call: one
// installation after the other, and none while a host is starting the job, so each
// call is answered by the helper (the one the other host started, maybe), never with
// an installation's error or a job that is not there yet.
TEST(HostileInstall, TwoHostsInstallingOnOneFreshRootAreEachAnsweredByTheHelper) {
  for (int trial = 1; trial <= 5; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    TempRoot root;
    HostProcess first(root);
    HostProcess second(root);
    for (HostProcess* host : {&first, &second}) {
      ASSERT_TRUE(host->answer(host->call("get_status")).contains("notImplemented")) << "a host did not start";
    }
    const int a = first.call("access");
    const int b = second.call("access");
    for (auto [host, id] : {std::pair{&first, a}, std::pair{&second, b}}) {
      EXPECT_EQ(host->answer(id), Json({{"id", id}, {"method", "access"}, {"result", nullptr}}));
      EXPECT_LT(host->latency(id), kServed) << "left to the guard";
    }
    for (HostProcess* host : {&first, &second}) {
      EXPECT_EQ(host->finish(), 0);
      expectEachCallAnsweredOnce(*host);
      EXPECT_THAT(host->diagnostics(), IsEmpty());
    }
    for (const char* folder : {"Library/PrivilegedHelperTools", "Library/LaunchDaemons"}) {
      for (const auto& entry : fs::directory_iterator(root.path() / folder)) {
        EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << entry.path();
      }
    }
  }
}

}  // namespace
}  // namespace e2e
