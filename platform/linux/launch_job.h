// A launchd-style job description: what the service namespace reads to start a
// service on demand, and what job blessing writes.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace platform::linux_backend {

struct LaunchJob {
  std::string label;
  std::vector<std::string> programArguments;  // the program's path first
  std::vector<std::string> machServices;      // the service names the job answers
  bool operator==(const LaunchJob&) const = default;
};

// Reads the job plist at |path| (XML or binary). None, with |error| set, when it is
// missing, does not parse, or lacks a label or a program.
std::optional<LaunchJob> readLaunchJob(const std::filesystem::path& path, std::string* error = nullptr);

// The job as an XML property list: Label, ProgramArguments and MachServices, each
// service name mapped to true.
std::string launchJobXml(const LaunchJob& job);

}  // namespace platform::linux_backend
