// Starting a service program the way a service manager does: detached from the
// starter (its own session, reparented away so nobody has to wait for it), handed a
// listening socket as file descriptor 3.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/linux/expected.h"

namespace platform::linux_backend {

struct DetachedLaunch {
  std::vector<std::string> arguments;  // the program's path first
  // NAME=VALUE entries added to the starter's environment, replacing the same names.
  std::vector<std::string> environment;
  int listeningSocket = -1;           // becomes fd 3, announced with LISTEN_FDS=1 and LISTEN_PID
  std::filesystem::path logFile;      // standard output and error are appended here
};

// Starts the program and returns once it runs on its own, with its process id; the
// reason when it could not be started: its log could not be opened, or the program
// could not be executed (the exec's own error).
Expected<pid_t> startDetached(const DetachedLaunch& launch);

}  // namespace platform::linux_backend
