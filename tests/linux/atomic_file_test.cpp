// Installing under a system root on real files: modes whatever the umask, one fixed
// temporary name, and never a step through a symbolic link.
#include "platform/linux/atomic_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace linux_test {
namespace {

namespace fs = std::filesystem;
using platform::linux_backend::copyFileUnderRoot;
using platform::linux_backend::installingName;
using platform::linux_backend::writeFileUnderRoot;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class AtomicFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "veltrino-atomic-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    base_ = pattern;
    root_ = base_ / "root";
    outside_ = base_ / "outside";
    fs::create_directories(root_);
    fs::create_directories(outside_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

  static std::string contents(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static mode_t modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
  }
  static std::vector<std::string> names(const fs::path& folder) {
    std::vector<std::string> out;
    for (const auto& entry : fs::directory_iterator(folder)) out.push_back(entry.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }

  fs::path base_, root_, outside_;
};

TEST_F(AtomicFileTest, FoldersAndFilesGetTheirModesWhateverTheUmask) {
  const mode_t previous = ::umask(0);
  const auto written = writeFileUnderRoot(root_, "Library/LaunchDaemons/job.plist", "<plist/>", 0644);
  ::umask(0077);
  std::ofstream(base_ / "helper") << "#!/bin/sh\n";
  const auto copied = copyFileUnderRoot(base_ / "helper", root_, "Library/PrivilegedHelperTools/helper", 0755);
  ::umask(previous);
  ASSERT_TRUE(written) << written.error();
  ASSERT_TRUE(copied) << copied.error();
  EXPECT_EQ(modeOf(root_ / "Library"), 0755u);
  EXPECT_EQ(modeOf(root_ / "Library/LaunchDaemons"), 0755u);
  EXPECT_EQ(modeOf(root_ / "Library/PrivilegedHelperTools"), 0755u);
  EXPECT_EQ(modeOf(root_ / "Library/LaunchDaemons/job.plist"), 0644u);
  EXPECT_EQ(modeOf(root_ / "Library/PrivilegedHelperTools/helper"), 0755u);
  EXPECT_EQ(contents(root_ / "Library/PrivilegedHelperTools/helper"), "#!/bin/sh\n");
}

TEST_F(AtomicFileTest, WhatAnInterruptedInstallationLeftIsReplacedNotAddedTo) {
  fs::create_directories(root_ / "Library");
  const fs::path leftover = root_ / "Library" / installingName("job.plist");
  std::ofstream(leftover) << "half";
  // Even a leftover that is a link is removed as a link, its target untouched.
  const fs::path second = root_ / "Library" / installingName("other.plist");
  std::ofstream(outside_ / "kept") << "kept";
  fs::create_symlink(outside_ / "kept", second);

  for (const char* text : {"first", "second"}) {
    ASSERT_TRUE(writeFileUnderRoot(root_, "Library/job.plist", text, 0644));
    ASSERT_TRUE(writeFileUnderRoot(root_, "Library/other.plist", text, 0644));
  }
  EXPECT_THAT(names(root_ / "Library"), ElementsAre("job.plist", "other.plist"));
  EXPECT_EQ(contents(root_ / "Library/job.plist"), "second");
  EXPECT_EQ(contents(outside_ / "kept"), "kept");
  EXPECT_FALSE(fs::exists(root_ / installingName("job.plist")));
}

// A link anywhere on the way, or in the file's own place, refuses the installation
// with the place named, and nothing is written outside the root. (The host's own
// installation through each linked place is HostileInstall's, end to end.)
TEST_F(AtomicFileTest, ALinkOnTheWayIsNeverFollowed) {
  struct Row {
    const char* what;
    std::function<void(const fs::path& root, const fs::path& outside)> arrange;
    const char* relative;
    const char* reason;
  };
  const Row rows[] = {
      {"a linked inner folder",
       [](auto& root, auto& outside) {
         fs::create_directories(root / "Library");
         fs::create_directory_symlink(outside, root / "Library/PrivilegedHelperTools");
       },
       "Library/PrivilegedHelperTools/helper", "PrivilegedHelperTools: it is a symbolic link"},
      {"a linked file",
       [](auto& root, auto& outside) {
         fs::create_directories(root / "Library/PrivilegedHelperTools");
         fs::create_symlink(outside / "helper", root / "Library/PrivilegedHelperTools/helper");
       },
       "Library/PrivilegedHelperTools/helper", "helper: it is a symbolic link"},
      {"a file where a folder goes",
       [](auto& root, auto&) { std::ofstream(root / "Library") << "file"; }, "Library/helper",
       "Couldn't open the folder"},
      {"a climb out", [](auto&, auto&) {}, "Library/../../outside/helper", "it climbs out of its folder"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(root_);
    fs::remove_all(outside_);
    fs::create_directories(root_);
    fs::create_directories(outside_);
    row.arrange(root_, outside_);
    const auto written = writeFileUnderRoot(root_, row.relative, "installed", 0755);
    ASSERT_FALSE(written);
    EXPECT_THAT(written.error(), HasSubstr(row.reason));
    EXPECT_THAT(names(outside_), IsEmpty());
  }
}

}  // namespace
}  // namespace linux_test
