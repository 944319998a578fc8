// Whom the host trusts under its system root, as launchd trusts only its own folders:
// itself (its effective user) and root.
#pragma once

#include <sys/types.h>

#include <filesystem>

#include "platform/linux/expected.h"

namespace platform::linux_backend {

// The folders under the system root that the host reads, writes and starts from.
inline constexpr const char* kSystemRootFolders[] = {"Library", "Library/PrivilegedHelperTools",
                                                     "Library/LaunchDaemons", "var", "var/run", "var/log"};

// Checked at start: the system root and those of kSystemRootFolders that exist are
// folders owned by the host's effective user or by root and not writable by group or
// others. Refused with what failed, by path.
Expected<void> checkSystemRoot(const std::filesystem::path& systemRoot);

// launchd's ownership rule, checked before a job is started: |file| (the job plist or
// the program) and every folder from |systemRoot| down to it are owned by the host's
// effective user or by root and are not writable by group or others; the file is a
// regular file, not a symbolic link, and lies under |systemRoot|. Refused with what
// failed, by path.
Expected<void> checkLaunchOwnership(const std::filesystem::path& systemRoot, const std::filesystem::path& file);

}  // namespace platform::linux_backend
