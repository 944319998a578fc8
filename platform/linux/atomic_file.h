// Replacing a file in one step: the new contents are written beside it, flushed to
// disk and renamed over it, so a reader (or a running program whose file this is)
// sees the old file or the new one, never a mix.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace platform::linux_backend {

// Each returns false with a description of what failed in |error|; the folder of
// |target| is created when missing.
bool writeFileAtomically(const std::filesystem::path& target, std::string_view contents, mode_t mode,
                         std::string& error);
bool copyFileAtomically(const std::filesystem::path& source, const std::filesystem::path& target, mode_t mode,
                        std::string& error);

}  // namespace platform::linux_backend
