#include "platform/linux/file_manager.h"

#include <system_error>
#include <vector>

namespace platform::linux_backend {

std::filesystem::path RootedFileManager::rootedPath(const std::string& path) const {
  std::vector<std::filesystem::path> parts;
  for (const auto& part : std::filesystem::path(path).relative_path()) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::filesystem::path relative;
  for (const auto& part : parts) relative /= part;
  return root_.resolve(relative.string());
}

bool RootedFileManager::fileExistsAtPath(const std::string& path) const {
  if (path.empty()) return false;
  std::error_code error;
  return std::filesystem::exists(rootedPath(path), error);
}

}  // namespace platform::linux_backend
