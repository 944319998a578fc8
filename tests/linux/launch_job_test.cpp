#include "platform/linux/launch_job.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

#include "plist_writer.h"

namespace linux_test {
namespace {

using namespace platform;
using namespace platform::linux_backend;
using namespace std::chrono_literals;

class LaunchJobFile : public ::testing::Test {
 protected:
  LaunchJobFile() {
    std::string pattern = (std::filesystem::temp_directory_path() / "veltrino-job-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
  }
  ~LaunchJobFile() override { std::filesystem::remove_all(folder_, ignored_); }

  Expected<LaunchJob> read(PlistDictionary job) {
    const auto file = folder_ / "job.plist";
    std::ofstream(file, std::ios::binary) << plistXml(job);
    return readLaunchJob(file);
  }

  static PlistDictionary job(std::optional<PlistValue> throttle) {
    PlistDictionary dictionary{{"Label", std::string("com.example.job")},
                               {"ProgramArguments", PlistArray{std::string("/bin/job"), std::string("-v")}},
                               {"MachServices", PlistDictionary{{"com.example.job", true}, {"off", false}}}};
    if (throttle) dictionary.emplace("ThrottleInterval", *throttle);
    return dictionary;
  }

  std::filesystem::path folder_;
  std::error_code ignored_;
};

TEST_F(LaunchJobFile, ThrottleIntervalIsLaunchdsTenSecondsUnlessTheJobSaysOtherwise) {
  struct Case {
    std::optional<PlistValue> value;
    std::chrono::seconds expected;
  };
  for (const Case& c : {Case{std::nullopt, 10s}, Case{PlistValue(std::int64_t{1}), 1s},
                        Case{PlistValue(std::int64_t{0}), 0s}, Case{PlistValue(std::int64_t{3600}), 3600s}}) {
    const auto parsed = read(job(c.value));
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(parsed->throttleInterval, c.expected);
    EXPECT_EQ(parsed->programArguments, (std::vector<std::string>{"/bin/job", "-v"}));
    EXPECT_EQ(parsed->machServices, std::vector<std::string>{"com.example.job"});
  }
}

}  // namespace
}  // namespace linux_test
