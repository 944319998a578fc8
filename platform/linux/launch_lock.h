// The lock that keeps the processes working on one system root from installing or
// starting the same job at the same time.
#pragma once

#include <string>

#include "platform/linux/system_root.h"
#include "platform/linux/unique_fd.h"

namespace platform::linux_backend {

// Holds the advisory lock on <root>/var/run/<label>.lock until it goes out of scope,
// waiting for whoever holds it: another host on the root, or another thread of this
// one (each holder opens the file anew, and flock keeps apart every opening). Without
// a lock file (a root that cannot be written) nothing is held.
class LaunchLock {
 public:
  LaunchLock(const SystemRoot& root, const std::string& label);
  LaunchLock(const LaunchLock&) = delete;
  LaunchLock& operator=(const LaunchLock&) = delete;

 private:
  UniqueFd fd_;  // closing it lets the lock go
};

}  // namespace platform::linux_backend
