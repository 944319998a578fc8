// A job plist is read the way an Info.plist is: whatever sits at its place, the
// reader refuses it with a reason and comes back at once.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/linux/launch_job.h"

namespace linux_test {
namespace {

namespace fs = std::filesystem;
using platform::linux_backend::readLaunchJob;
using ::testing::HasSubstr;

// A binary property list of the given objects, object 0 at the top; references and
// offsets one and two bytes wide.
std::string binaryPlist(const std::vector<std::string>& objects) {
  std::string out = "bplist00";
  std::vector<std::size_t> offsets;
  for (const auto& object : objects) {
    offsets.push_back(out.size());
    out += object;
  }
  const std::size_t table = out.size();
  for (std::size_t offset : offsets) {
    out.push_back(static_cast<char>(offset >> 8));
    out.push_back(static_cast<char>(offset & 0xff));
  }
  auto bigEndian64 = [&](std::uint64_t value) {
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>((value >> shift) & 0xff));
  };
  out.append(6, '\0');
  out.push_back(2);  // offset size
  out.push_back(1);  // reference size
  bigEndian64(objects.size());
  bigEndian64(0);
  bigEndian64(table);
  return out;
}

std::string ascii(const std::string& text) { return std::string(1, static_cast<char>(0x50 + text.size())) + text; }

std::string utf16(const std::u16string& text) {
  std::string out(1, static_cast<char>(0x60 + text.size()));
  for (char16_t c : text) {
    out.push_back(static_cast<char>(c >> 8));
    out.push_back(static_cast<char>(c & 0xff));
  }
  return out;
}

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

  std::string deep;
  for (int i = 0; i < 5000; ++i) deep += "<array>";
  for (int i = 0; i < 5000; ++i) deep += "</array>";

  struct Row {
    const char* what;
    std::function<void()> arrange;
    const char* reason;
  };
  const Row rows[] = {
      {"a FIFO", [&] { ASSERT_EQ(::mkfifo(job.c_str(), 0600), 0); }, "is not a regular file"},
      {"a link to /dev/zero", [&] { fs::create_symlink("/dev/zero", job); }, "is not a regular file"},
      {"a folder", [&] { fs::create_directory(job); }, "is not a regular file"},
      {"nothing", [] {}, "cannot open"},
      {"a binary label key with U+0000 in it",
       // { "Label\0": "x", "ProgramArguments": ["/bin/true"] }: read up to its U+0000,
       // the key would pass for Label.
       [&] {
         write(binaryPlist({std::string("\xD2\x01\x02\x03\x04", 5), utf16(u"Label" + std::u16string(1, u'\0')),
                            ascii("ProgramArguments"), ascii("x"), std::string("\xA1\x05", 2), ascii("/bin/true")}));
       },
       "U+0000"},
      {"deep nesting", [&] { write(xmlJob(kLabel + "<key>ProgramArguments</key>" + deep)); }, "nested too deeply"},
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
