// A job plist is read the way an Info.plist is: whatever sits at its place, the
// reader refuses it with a reason and comes back at once. What the property-list
// loader refuses (other kinds of file, texts holding U+0000, deep nesting) is
// bundle_test's; here, what a job must hold.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "platform/linux/launch_job.h"

namespace linux_test {
namespace {

namespace fs = std::filesystem;
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
  auto write = [&](const std::string& bytes) { std::ofstream(job, std::ios::binary) << bytes; };

  struct Row {
    const char* what;
    std::function<void()> arrange;
    const char* reason;
  };
  const Row rows[] = {
      {"a FIFO", [&] { ASSERT_EQ(::mkfifo(job.c_str(), 0600), 0); }, "is not a regular file"},
      {"nothing", [] {}, "cannot open"},
      {"no Label", [&] { write(xmlJob(kProgram)); }, "has no Label"},
      {"an empty Label", [&] { write(xmlJob("<key>Label</key><string></string>\n" + kProgram)); }, "has no Label"},
      {"no ProgramArguments", [&] { write(xmlJob(kLabel)); }, "has no ProgramArguments"},
      {"no program", [&] { write(xmlJob(kLabel + "<key>ProgramArguments</key><array/>\n")); }, "names no program"},
      {"an argument that is no string",
       [&] { write(xmlJob(kLabel + "<key>ProgramArguments</key><array><integer>1</integer></array>\n")); },
       "not a plain string"},
      {"a negative ThrottleInterval",
       [&] { write(xmlJob(kLabel + kProgram + "<key>ThrottleInterval</key><integer>-1</integer>\n")); },
       "ThrottleInterval"},
      {"a ThrottleInterval in text",
       [&] { write(xmlJob(kLabel + kProgram + "<key>ThrottleInterval</key><string>10</string>\n")); },
       "ThrottleInterval"},
      {"a fractional ThrottleInterval",
       [&] { write(xmlJob(kLabel + kProgram + "<key>ThrottleInterval</key><real>1.5</real>\n")); },
       "ThrottleInterval"},
      {"not a property list", [&] { write("Label=x\n"); }, "cannot be read"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(job);
    row.arrange();
    const auto read = readLaunchJob(job);
    ASSERT_FALSE(read);
    EXPECT_THAT(read.error(), HasSubstr(row.reason));
  }
  // The same job, whole, is read: what was refused was refused for its fault.
  fs::remove_all(job);
  write(xmlJob(kLabel + kProgram + "<key>ThrottleInterval</key><integer>3</integer>\n"));
  const auto read = readLaunchJob(job);
  ASSERT_TRUE(read) << read.error();
  EXPECT_EQ(read->label, "com.veltrino.mac.helper");
  EXPECT_EQ(read->throttleInterval, std::chrono::seconds(3));
  fs::remove_all(folder);
}

}  // namespace
}  // namespace linux_test
