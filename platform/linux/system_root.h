// The folder that stands for the root of the file system: every absolute platform
// path (the helper's file, the job plists, the service sockets, the logs) lives under
// it. Nothing outside it is written, and no root rights are needed.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace platform::linux_backend {

// A label names files under the root (the helper, its job plist, socket and log), so
// it may not climb out of their folders.
inline bool usableLabel(std::string_view label) {
  return !label.empty() && label != "." && label != ".." && label.find('/') == std::string_view::npos &&
         label.find('\0') == std::string_view::npos;
}

class SystemRoot {
 public:
  explicit SystemRoot(std::filesystem::path root) : root_(std::move(root)) {}
  const std::filesystem::path& root() const { return root_; }
  // Maps an absolute platform path ("/Library/...") to its place under the root.
  std::filesystem::path resolve(std::string_view absolute) const {
    std::string_view relative = absolute;
    while (!relative.empty() && relative.front() == '/') relative.remove_prefix(1);
    return root_ / std::filesystem::path(relative);
  }
  std::filesystem::path launchDaemons() const { return resolve("/Library/LaunchDaemons"); }
  std::filesystem::path jobPlist(std::string_view label) const {
    return launchDaemons() / (std::string(label) + ".plist");
  }
  std::filesystem::path serviceSocket(std::string_view label) const {
    return resolve("/var/run") / (std::string(label) + ".sock");
  }
  std::filesystem::path serviceLog(std::string_view label) const {
    return resolve("/var/log") / (std::string(label) + ".log");
  }

 private:
  std::filesystem::path root_;
};

}  // namespace platform::linux_backend
