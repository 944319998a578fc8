#include "platform/linux/launch_ownership.h"

#include <sys/stat.h>

#include <algorithm>
#include <string>

namespace platform::linux_backend {

Expected<void> checkLaunchOwnership(const std::filesystem::path& systemRoot, const std::filesystem::path& file) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path root = fs::canonical(systemRoot, ec);
  if (ec) return fail("the system root " + systemRoot.string() + " cannot be resolved");
  struct stat rootStatus {};
  if (::stat(root.c_str(), &rootStatus) != 0) return fail("the system root " + root.string() + " cannot be read");
  const uid_t owner = rootStatus.st_uid;
  const auto sound = [owner](const fs::path& path, const struct stat& status) -> Expected<void> {
    if (status.st_uid != owner) return fail(path.string() + " is not owned by the system root's owner");
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) return fail(path.string() + " is writable by group or others");
    return {};
  };

  // The folder is resolved; the file itself must not be a link, which could be
  // pointed elsewhere.
  const fs::path folder = fs::canonical(std::filesystem::absolute(file, ec).parent_path(), ec);
  if (ec) return fail("the folder of " + file.string() + " cannot be resolved");
  const auto [rootEnd, inside] = std::mismatch(root.begin(), root.end(), folder.begin(), folder.end());
  if (rootEnd != root.end()) return fail(file.string() + " is not under the system root");
  fs::path walked = root;
  for (auto part = inside;; ++part) {
    struct stat status {};
    if (::stat(walked.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
      return fail(walked.string() + " is not a folder");
    }
    if (auto checked = sound(walked, status); !checked) return checked;
    if (part == folder.end()) break;
    walked /= *part;
  }
  const fs::path resolved = folder / file.filename();
  struct stat status {};
  if (::lstat(resolved.c_str(), &status) != 0) return fail(resolved.string() + " cannot be read");
  if (!S_ISREG(status.st_mode)) return fail(resolved.string() + " is not a regular file");
  return sound(resolved, status);
}

}  // namespace platform::linux_backend
