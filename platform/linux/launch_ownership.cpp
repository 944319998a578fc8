#include "platform/linux/launch_ownership.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace platform::linux_backend {
namespace {

namespace fs = std::filesystem;

// What another user could not have put in place or changed since.
Expected<void> sound(const fs::path& path, const struct stat& status) {
  if (status.st_uid != ::geteuid() && status.st_uid != 0) {
    return fail(path.string() + " is not owned by the host's user or by root");
  }
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) return fail(path.string() + " is writable by group or others");
  return {};
}

Expected<void> soundFolder(const fs::path& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return fail(path.string() + " is not a folder");
  return sound(path, status);
}

}  // namespace

Expected<void> checkSystemRoot(const fs::path& systemRoot) {
  if (auto checked = soundFolder(systemRoot); !checked) return checked;
  for (const char* folder : kSystemRootFolders) {
    const fs::path path = systemRoot / folder;
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 && errno == ENOENT) continue;
    if (auto checked = soundFolder(path); !checked) return checked;
  }
  return {};
}

Expected<void> checkLaunchOwnership(const fs::path& systemRoot, const fs::path& file) {
  std::error_code ec;
  const fs::path root = fs::canonical(systemRoot, ec);
  if (ec) return fail("the system root " + systemRoot.string() + " cannot be resolved");

  // The folder is resolved; the file itself must not be a link, which could be
  // pointed elsewhere.
  const fs::path folder = fs::canonical(fs::absolute(file, ec).parent_path(), ec);
  if (ec) return fail("the folder of " + file.string() + " cannot be resolved");
  const auto [rootEnd, inside] = std::mismatch(root.begin(), root.end(), folder.begin(), folder.end());
  if (rootEnd != root.end()) return fail(file.string() + " is not under the system root");
  fs::path walked = root;
  for (auto part = inside;; ++part) {
    if (auto checked = soundFolder(walked); !checked) return checked;
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
