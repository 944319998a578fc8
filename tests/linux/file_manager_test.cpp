#include "platform/linux/file_manager.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/linux/test_support.h"

namespace linux_test {
namespace {

using platform::linux_backend::RootedFileManager;
using platform::linux_backend::SystemRoot;

struct PathCase {
  std::string path;
  bool exists;
};

class RootedFileManagerTest : public ::testing::TestWithParam<PathCase> {
 protected:
  RootedFileManagerTest() {
    std::filesystem::create_directories(root() / "Library" / "PrivilegedHelperTools");
    std::ofstream(root() / "Library" / "PrivilegedHelperTools" / "com.example.helper") << "helper";
    // Beside the root, where no platform path may reach.
    std::filesystem::create_directories(folder.path() / "outside");
    std::ofstream(folder.path() / "outside" / "secret") << "x";
    std::filesystem::create_symlink("com.example.helper",
                                    root() / "Library" / "PrivilegedHelperTools" / "link");
    std::filesystem::create_symlink("nowhere", root() / "Library" / "PrivilegedHelperTools" / "dangling");
  }
  std::filesystem::path root() const { return folder.path() / "root"; }

  TemporaryFolder folder;
};

TEST_P(RootedFileManagerTest, LooksUnderTheRoot) {
  RootedFileManager files{SystemRoot(root())};
  EXPECT_EQ(files.fileExistsAtPath(GetParam().path), GetParam().exists) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RootedFileManagerTest,
    ::testing::Values(PathCase{"/Library/PrivilegedHelperTools/com.example.helper", true},
                      PathCase{"/Library/PrivilegedHelperTools", true},
                      PathCase{"/Library/PrivilegedHelperTools/", true},
                      PathCase{"/Library/PrivilegedHelperTools/com.example.other", false},
                      PathCase{"/Library/PrivilegedHelperTools/link", true},
                      PathCase{"/Library/PrivilegedHelperTools/dangling", false},
                      PathCase{"//Library/./PrivilegedHelperTools/../PrivilegedHelperTools/com.example.helper", true},
                      PathCase{"/../../Library/PrivilegedHelperTools/com.example.helper", true},
                      PathCase{"/../outside/secret", false}, PathCase{"/", true}, PathCase{"", false}));

}  // namespace
}  // namespace linux_test
