// Installing under a system root on real files: modes whatever the umask, one fixed
// temporary name, and never a step through a symbolic link.
#include "platform/linux/atomic_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
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

std::string contents(const fs::path& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

std::vector<std::string> names(const fs::path& folder) {
  std::vector<std::string> out;
  for (const auto& entry : fs::directory_iterator(folder)) out.push_back(entry.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

class AtomicFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "veltrino-atomic-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    base_ = pattern;
    fs::create_directories(root_ = base_ / "root");
    fs::create_directories(outside_ = base_ / "outside");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
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
  for (const char* folder : {"Library", "Library/LaunchDaemons", "Library/PrivilegedHelperTools"}) {
    EXPECT_EQ(modeOf(root_ / folder), 0755u) << folder;
  }
  EXPECT_EQ(modeOf(root_ / "Library/LaunchDaemons/job.plist"), 0644u);
  EXPECT_EQ(modeOf(root_ / "Library/PrivilegedHelperTools/helper"), 0755u);
  EXPECT_EQ(contents(root_ / "Library/PrivilegedHelperTools/helper"), "#!/bin/sh\n");
}

TEST_F(AtomicFileTest, WhatAnInterruptedInstallationLeftIsReplacedNotAddedTo) {
  fs::create_directories(root_ / "Library");
  std::ofstream(root_ / "Library" / installingName("job.plist")) << "half";
  // Even a leftover that is a link is removed as a link, its target untouched.
  std::ofstream(outside_ / "kept") << "kept";
  fs::create_symlink(outside_ / "kept", root_ / "Library" / installingName("other.plist"));

  for (const char* text : {"first", "second"}) {
    ASSERT_TRUE(writeFileUnderRoot(root_, "Library/job.plist", text, 0644));
    ASSERT_TRUE(writeFileUnderRoot(root_, "Library/other.plist", text, 0644));
  }
  EXPECT_THAT(names(root_ / "Library"), ElementsAre("job.plist", "other.plist"));
  EXPECT_EQ(contents(root_ / "Library/job.plist"), "second");
  EXPECT_EQ(contents(outside_ / "kept"), "kept");
}

// A link anywhere on the way, or in the file's own place, refuses the installation
// with the place named, and nothing is written outside the root. (The host's own
// installation through each linked place is HostileInstall's, end to end.)
TEST_F(AtomicFileTest, ALinkOnTheWayIsNeverFollowed) {
  fs::create_directories(root_ / "Library/Real");
  fs::create_directory_symlink(outside_, root_ / "Library/Linked");
  fs::create_symlink(outside_ / "helper", root_ / "Library/Real/helper");
  using Row = std::pair<const char*, const char*>;
  for (const auto& [relative, reason] : {Row{"Library/Linked/helper", "Linked: it is a symbolic link"},
                                         Row{"Library/Real/helper", "helper: it is a symbolic link"},
                                         Row{"Library/../../outside/helper", "it climbs out of its folder"}}) {
    const auto written = writeFileUnderRoot(root_, relative, "installed", 0755);
    ASSERT_FALSE(written) << relative;
    EXPECT_THAT(written.error(), HasSubstr(reason)) << relative;
  }
  EXPECT_THAT(names(outside_), IsEmpty());
}

}  // namespace
}  // namespace linux_test
