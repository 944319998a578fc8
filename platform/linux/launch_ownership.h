// launchd's ownership rule for what it starts.
#pragma once

#include <filesystem>

#include "platform/linux/expected.h"

namespace platform::linux_backend {

// launchd's ownership rule, checked before a job is started: |file| (the job plist or
// the program) and every folder from |systemRoot| down to it belong to the owner of
// |systemRoot| and are not writable by group or others; the file is a regular file,
// not a symbolic link, and lies under |systemRoot|. Refused with what failed, by path.
Expected<void> checkLaunchOwnership(const std::filesystem::path& systemRoot, const std::filesystem::path& file);

}  // namespace platform::linux_backend
