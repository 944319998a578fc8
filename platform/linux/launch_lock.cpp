#include "platform/linux/launch_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "platform/linux/atomic_file.h"

namespace platform::linux_backend {

LaunchLock::LaunchLock(const SystemRoot& root, const std::string& label) {
  if (!makeFoldersUnderRoot(root.root(), "var/run")) return;
  const auto path = root.resolve("/var/run") / (label + ".lock");
  fd_ = UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  while (fd_ && ::flock(fd_.get(), LOCK_EX) != 0 && errno == EINTR) {
  }
}

}  // namespace platform::linux_backend
