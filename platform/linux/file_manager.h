// The file manager on Linux: platform paths are looked up under the system root.
#pragma once

#include <filesystem>
#include <string>

#include "platform/foundation.h"
#include "platform/linux/system_root.h"

namespace platform::linux_backend {

class RootedFileManager final : public NSFileManager {
 public:
  explicit RootedFileManager(SystemRoot root) : root_(std::move(root)) {}

  // True when something (a file, a folder, what a link points at) is at the place
  // that |path| maps to under the root.
  bool fileExistsAtPath(const std::string& path) const override;

  // Where |path| lives under the root. "." and ".." are resolved by name, and ".."
  // stops at the root as it stops at "/", so no path leads outside the root.
  std::filesystem::path rootedPath(const std::string& path) const;

 private:
  SystemRoot root_;
};

}  // namespace platform::linux_backend
