// A job plist is read the way an Info.plist is: whatever sits at its place, the
// reader refuses it with a reason and comes back at once. What the property-list
// loader refuses (other kinds of file, texts holding U+0000, deep nesting) is
// bundle_test's; here, what a job must hold, and what a whole one reads as.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "platform/linux/launch_job.h"

namespace linux_test {
namespace {

namespace fs = std::filesystem;
using platform::linux_backend::LaunchJob;
using platform::linux_backend::parseLaunchJob;
using platform::linux_backend::readLaunchJob;
using ::testing::HasSubstr;

std::string xmlJob(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + body + "</dict>\n</plist>\n";
}

const std::string kLabel = "<key>Label</key><string>com.veltrino.mac.helper</string>\n";
const std::string kProgram = "<key>ProgramArguments</key><array><string>/bin/true</string></array>\n";

TEST(LaunchJobRefusals, WhateverSitsAtTheJobsPlaceIsRefusedWithItsReason) {
  std::string pattern = (fs::temp_directory_path() / "veltrino-refusal-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const fs::path folder = pattern;
  const fs::path job = folder / "job.plist";
  const auto refusal = [&] {
    const auto read = readLaunchJob(job);
    return read ? std::string("read") : read.error();
  };

  EXPECT_THAT(refusal(), HasSubstr("cannot open"));
  ASSERT_EQ(::mkfifo(job.c_str(), 0600), 0);
  EXPECT_THAT(refusal(), HasSubstr("is not a regular file"));
  fs::remove(job);
  using Row = std::pair<std::string, const char*>;
  for (const auto& [bytes, reason] : {
           Row{"Label=x\n", "cannot be read"}, Row{xmlJob(kProgram), "has no Label"},
           Row{xmlJob(kLabel), "has no ProgramArguments"},
           Row{xmlJob(kLabel + "<key>ProgramArguments</key><array/>\n"), "names no program"},
           Row{xmlJob(kLabel + "<key>ProgramArguments</key><array><integer>1</integer></array>\n"),
               "not a plain string"},
           Row{xmlJob(kLabel + kProgram + "<key>ThrottleInterval</key><integer>-1</integer>\n"), "ThrottleInterval"},
           Row{xmlJob(kLabel + kProgram + "<key>ThrottleInterval</key><string>10</string>\n"), "ThrottleInterval"}}) {
    std::ofstream(job, std::ios::binary) << bytes;
    EXPECT_THAT(refusal(), HasSubstr(reason)) << bytes;
  }

  // The same job, whole, is read: what was refused was refused for its fault. Only
  // the services mapped to true are kept.
  std::ofstream(job, std::ios::binary) << xmlJob(
      kLabel + kProgram + "<key>ThrottleInterval</key><integer>3</integer>\n" +
      "<key>MachServices</key><dict><key>a</key><true/><key>off</key><false/></dict>\n");
  const auto read = readLaunchJob(job);
  ASSERT_TRUE(read) << read.error();
  EXPECT_EQ(*read, (LaunchJob{"com.veltrino.mac.helper", {"/bin/true"}, {"a"}, std::chrono::seconds(3)}));
  // Without a ThrottleInterval, launchd's ten seconds.
  const auto bare = parseLaunchJob(xmlJob(kLabel + kProgram));
  ASSERT_TRUE(bare) << bare.error();
  EXPECT_EQ(bare->throttleInterval, std::chrono::seconds(10));
  fs::remove_all(folder);
}

}  // namespace
}  // namespace linux_test
