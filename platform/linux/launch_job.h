// A launchd-style job description: what the service namespace reads to start a
// service on demand, and what job blessing writes.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/expected.h"

namespace platform::linux_backend {

struct LaunchJob {
  std::string label;
  std::vector<std::string> programArguments;  // the program's path first
  std::vector<std::string> machServices;      // the service names the job answers
  // Not started again sooner than this after its previous start.
  std::chrono::seconds throttleInterval{10};
  bool operator==(const LaunchJob&) const = default;
};

// Reads the job plist at |path| (XML or binary) through the guarded property-list
// reader. Refused, with the reason, when it is missing, is not a regular file, does
// not parse, or lacks a label or a program.
Expected<LaunchJob> readLaunchJob(const std::filesystem::path& path);
// The same on the bytes of a job plist already read.
Expected<LaunchJob> parseLaunchJob(std::string_view bytes);

// The job as an XML property list: Label, ProgramArguments and MachServices, each
// service name mapped to true.
std::string launchJobXml(const LaunchJob& job);

}  // namespace platform::linux_backend
