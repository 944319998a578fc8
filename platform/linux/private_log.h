// A log that may hold anything its writer says, secrets included: its owner's alone.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/linux/unique_fd.h"

namespace platform::linux_backend {

// Opens |path| for appending, creating it 0600; never through a symbolic link in its
// place, and narrowed to 0600 when an earlier run or someone else left it wider
// (whatever the umask was). Closed, with errno set, when that cannot be done.
inline UniqueFd openPrivateLog(const std::filesystem::path& path) {
  UniqueFd log(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600));
  struct stat status {};
  if (log && (::fstat(log.get(), &status) != 0 || ((status.st_mode & 0777) != 0600 && ::fchmod(log.get(), 0600) != 0))) {
    log.reset();
  }
  return log;
}

}  // namespace platform::linux_backend
