// Replacing a file in one step: the new contents are written beside it, flushed to
// disk and renamed over it, so a reader (or a running program whose file this is)
// sees the old file or the new one, never a mix.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/linux/expected.h"

namespace platform::linux_backend {

// Each gives the failure's description when it fails; the folder of |target| is
// created when missing.
Expected<void> writeFileAtomically(const std::filesystem::path& target, std::string_view contents, mode_t mode);
Expected<void> copyFileAtomically(const std::filesystem::path& source, const std::filesystem::path& target,
                                  mode_t mode);
bool copyFileAtomically(const std::filesystem::path& source, const std::filesystem::path& target, mode_t mode,
                        std::string& error);

}  // namespace platform::linux_backend
