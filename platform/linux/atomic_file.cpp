#include "platform/linux/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "platform/linux/unique_fd.h"

namespace platform::linux_backend {
namespace {

namespace fs = std::filesystem;

std::string errnoText(int error) { return std::strerror(error); }

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// What an installed file or folder gets: its mode, and the root's owner.
struct Owner {
  uid_t uid;
  gid_t gid;
};

Expected<void> settle(int fd, mode_t mode, const Owner& owner, const fs::path& shown) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return fail("Couldn't look at " + shown.string() + ": " + errnoText(errno));
  if ((info.st_uid != owner.uid || info.st_gid != owner.gid) && ::fchown(fd, owner.uid, owner.gid) != 0) {
    return fail("Couldn't give " + shown.string() + " to the system root's owner: " + errnoText(errno));
  }
  // After the owner: a change of owner may clear the set-id bits.
  if (::fchmod(fd, mode) != 0) return fail("Couldn't set the mode of " + shown.string() + ": " + errnoText(errno));
  return {};
}

// A folder opened from the root, one name at a time, never through a link.
struct Folder {
  UniqueFd fd;
  fs::path shown;  // for messages: the folder's path as the root's path joined with the names
  Owner owner;
};

Expected<Folder> openRoot(const fs::path& root) {
  UniqueFd fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return fail("Couldn't open the system root " + root.string() + ": " + errnoText(errno));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return fail("Couldn't look at " + root.string() + ": " + errnoText(errno));
  return Folder{std::move(fd), root, Owner{info.st_uid, info.st_gid}};
}

bool usableName(const std::string& name) { return !name.empty() && name != "." && name != ".."; }

// Opens (creating when missing) the folder |name| inside |parent|.
Expected<void> enter(Folder& folder, const std::string& name, mode_t mode) {
  const fs::path shown = folder.shown / name;
  if (!usableName(name)) return fail("Refused to install at " + shown.string() + ": it climbs out of its folder");
  bool created = false;
  if (::mkdirat(folder.fd.get(), name.c_str(), 0700) == 0) {
    created = true;
  } else if (errno != EEXIST) {
    return fail("Couldn't create the folder " + shown.string() + ": " + errnoText(errno));
  }
  UniqueFd next(::openat(folder.fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!next) {
    const int error = errno;
    struct stat info {};
    if ((error == ELOOP || error == ENOTDIR) && ::fstatat(folder.fd.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(info.st_mode)) {
      return fail("Refused to install through " + shown.string() + ": it is a symbolic link");
    }
    return fail("Couldn't open the folder " + shown.string() + ": " + errnoText(error));
  }
  // A folder made here is the installer's, with its mode whatever the umask; one
  // that was there already is left as its owner set it.
  if (created) {
    if (auto settled = settle(next.get(), mode, folder.owner, shown); !settled) return settled;
  }
  folder.fd = std::move(next);
  folder.shown = shown;
  return {};
}

// The folder that holds |relative| under |root|, created as needed, and the file's name.
Expected<std::pair<Folder, std::string>> folderOf(const fs::path& root, const fs::path& relative, mode_t mode) {
  auto folder = openRoot(root);
  if (!folder) return fail(folder.error());
  std::vector<std::string> names;
  for (const auto& part : relative.relative_path()) {
    if (!part.empty()) names.push_back(part.string());
  }
  if (names.empty() || !usableName(names.back())) {
    return fail("Refused to install at " + (root / relative).string() + ": it names no file");
  }
  for (std::size_t i = 0; i + 1 < names.size(); ++i) {
    if (auto entered = enter(*folder, names[i], mode); !entered) return fail(entered.error());
  }
  return std::pair<Folder, std::string>(std::move(*folder), names.back());
}

// The temporary file beside the target under the fixed name; removed unless it was
// renamed into place.
class Installing {
 public:
  static Expected<Installing> create(Folder& folder, const std::string& name) {
    const std::string temporary = installingName(name);
    // What an interrupted installation left, whatever it is: unlinking a link
    // removes the link, never what it points to.
    if (::unlinkat(folder.fd.get(), temporary.c_str(), 0) != 0 && errno != ENOENT) {
      return fail("Couldn't remove " + (folder.shown / temporary).string() + ": " + errnoText(errno));
    }
    UniqueFd fd(::openat(folder.fd.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         0600));
    if (!fd) return fail("Couldn't create a file beside " + (folder.shown / name).string() + ": " + errnoText(errno));
    return Installing(folder, name, std::move(fd));
  }
  Installing(Installing&& other) noexcept
      : folder_(other.folder_), name_(std::move(other.name_)), fd_(std::move(other.fd_)),
        pending_(std::exchange(other.pending_, false)) {}
  ~Installing() {
    if (pending_) ::unlinkat(folder_.fd.get(), installingName(name_).c_str(), 0);
  }
  Installing(const Installing&) = delete;
  Installing& operator=(const Installing&) = delete;
  Installing& operator=(Installing&&) = delete;

  int fd() const { return fd_.get(); }
  fs::path target() const { return folder_.shown / name_; }

  // Flushes, sets the owner and mode, closes and renames over the target.
  Expected<void> commit(mode_t mode) {
    if (::fsync(fd_.get()) != 0) return fail("Couldn't flush " + target().string() + ": " + errnoText(errno));
    if (auto settled = settle(fd_.get(), mode, folder_.owner, target()); !settled) return settled;
    if (::close(fd_.release()) != 0) return fail("Couldn't write " + target().string() + ": " + errnoText(errno));
    struct stat info {};
    if (::fstatat(folder_.fd.get(), name_.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode)) {
      return fail("Refused to install over " + target().string() + ": it is a symbolic link");
    }
    if (::renameat(folder_.fd.get(), installingName(name_).c_str(), folder_.fd.get(), name_.c_str()) != 0) {
      return fail("Couldn't move the new file into place at " + target().string() + ": " + errnoText(errno));
    }
    pending_ = false;
    // The rename itself is on disk only once the folder is.
    ::fsync(folder_.fd.get());
    return {};
  }

 private:
  Installing(Folder& folder, std::string name, UniqueFd fd)
      : folder_(folder), name_(std::move(name)), fd_(std::move(fd)), pending_(true) {}

  Folder& folder_;
  std::string name_;
  UniqueFd fd_;
  bool pending_;
};

Expected<void> ensureFolder(const fs::path& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) return fail("Couldn't create the folder " + folder.string() + ": " + ec.message());
  return {};
}

}  // namespace

std::string installingName(std::string_view name) { return "." + std::string(name) + ".installing"; }

Expected<void> makeFoldersUnderRoot(const fs::path& root, const fs::path& relative, mode_t folderMode) {
  auto folder = openRoot(root);
  if (!folder) return fail(folder.error());
  for (const auto& part : relative.relative_path()) {
    if (part.empty()) continue;
    if (auto entered = enter(*folder, part.string(), folderMode); !entered) return entered;
  }
  return {};
}

Expected<void> writeFileUnderRoot(const fs::path& root, const fs::path& relative, std::string_view contents,
                                  mode_t mode, mode_t folderMode) {
  auto place = folderOf(root, relative, folderMode);
  if (!place) return fail(place.error());
  auto installing = Installing::create(place->first, place->second);
  if (!installing) return fail(installing.error());
  if (!writeAll(installing->fd(), contents.data(), contents.size())) {
    return fail("Couldn't write " + installing->target().string() + ": " + errnoText(errno));
  }
  return installing->commit(mode);
}

Expected<void> copyFileUnderRoot(const fs::path& source, const fs::path& root, const fs::path& relative, mode_t mode,
                                 mode_t folderMode) {
  UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) return fail("Couldn't open " + source.string() + ": " + errnoText(errno));
  struct stat info {};
  if (::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return fail("Couldn't copy " + source.string() + ": not a regular file");
  }
  auto place = folderOf(root, relative, folderMode);
  if (!place) return fail(place.error());
  auto installing = Installing::create(place->first, place->second);
  if (!installing) return fail(installing.error());
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("Couldn't read " + source.string() + ": " + errnoText(errno));
    }
    if (n == 0) break;
    if (!writeAll(installing->fd(), buffer.data(), static_cast<std::size_t>(n))) {
      return fail("Couldn't copy " + source.string() + " to " + installing->target().string() + ": " +
                  errnoText(errno));
    }
  }
  return installing->commit(mode);
}

Expected<void> writeFileAtomically(const fs::path& target, std::string_view contents, mode_t mode) {
  if (auto made = ensureFolder(target.parent_path()); !made) return made;
  return writeFileUnderRoot(target.parent_path(), target.filename(), contents, mode);
}

Expected<void> copyFileAtomically(const fs::path& source, const fs::path& target, mode_t mode) {
  if (auto made = ensureFolder(target.parent_path()); !made) return made;
  return copyFileUnderRoot(source, target.parent_path(), target.filename(), mode);
}

}  // namespace platform::linux_backend
