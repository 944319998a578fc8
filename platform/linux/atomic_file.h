// Replacing a file in one step: the new contents are written beside it, flushed to
// disk and renamed over it, so a reader (or a running program whose file this is)
// sees the old file or the new one, never a mix.
//
// The rooted forms install under a folder that stands for the file system root the
// way an installer does: every folder on the way is opened from the root without
// following a symbolic link (a link anywhere on the way, or in the file's own place,
// fails the installation, so nothing outside the root is ever written), folders it
// creates get |folderMode| and files their |mode| whatever the umask, both owned by
// the root's owner, and the file is written under one fixed temporary name,
// ".<name>.installing", that the next installation replaces: an interrupted one
// never leaves more than that one file behind.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/linux/expected.h"

namespace platform::linux_backend {

inline constexpr mode_t kInstalledFolderMode = 0755;

// The temporary name a file named |name| is written under before it is renamed.
std::string installingName(std::string_view name);

// |relative| names a place under |root| ("Library/LaunchDaemons/x.plist"); it may not
// climb out with "..". Each gives the failure's description when it fails.
Expected<void> makeFoldersUnderRoot(const std::filesystem::path& root, const std::filesystem::path& relative,
                                    mode_t folderMode = kInstalledFolderMode);
Expected<void> writeFileUnderRoot(const std::filesystem::path& root, const std::filesystem::path& relative,
                                  std::string_view contents, mode_t mode, mode_t folderMode = kInstalledFolderMode);
Expected<void> copyFileUnderRoot(const std::filesystem::path& source, const std::filesystem::path& root,
                                 const std::filesystem::path& relative, mode_t mode,
                                 mode_t folderMode = kInstalledFolderMode);

// The same with |target|'s folder as the root: that folder is created when missing
// (following links, as any path given to a program does); the file's own place and
// its temporary one are still never followed.
Expected<void> writeFileAtomically(const std::filesystem::path& target, std::string_view contents, mode_t mode);
Expected<void> copyFileAtomically(const std::filesystem::path& source, const std::filesystem::path& target,
                                  mode_t mode);

}  // namespace platform::linux_backend
