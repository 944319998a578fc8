#include "platform/linux/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <system_error>
#include <vector>

#include "platform/linux/unique_fd.h"

namespace platform::linux_backend {
namespace {

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

// A temporary file beside the target that is removed unless it was renamed into place.
class TemporaryBeside {
 public:
  TemporaryBeside(const std::filesystem::path& target, std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(target.parent_path(), ec);
    if (ec) {
      error = "Couldn't create the folder " + target.parent_path().string() + ": " + ec.message();
      return;
    }
    std::string pattern = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd_.reset(::mkostemp(name.data(), O_CLOEXEC));
    if (!fd_) {
      error = "Couldn't create a file beside " + target.string() + ": " + errnoText(errno);
      return;
    }
    path_ = name.data();
  }
  ~TemporaryBeside() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TemporaryBeside(const TemporaryBeside&) = delete;
  TemporaryBeside& operator=(const TemporaryBeside&) = delete;

  bool ok() const { return static_cast<bool>(fd_); }
  int fd() const { return fd_.get(); }

  // Flushes, sets the mode, closes and renames over |target|.
  bool commit(const std::filesystem::path& target, mode_t mode, std::string& error) {
    if (::fsync(fd_.get()) != 0) {
      error = "Couldn't flush " + target.string() + ": " + errnoText(errno);
      return false;
    }
    if (::fchmod(fd_.get(), mode) != 0) {
      error = "Couldn't set the mode of " + target.string() + ": " + errnoText(errno);
      return false;
    }
    if (::close(fd_.release()) != 0) {
      error = "Couldn't write " + target.string() + ": " + errnoText(errno);
      return false;
    }
    if (::rename(path_.c_str(), target.c_str()) != 0) {
      error = "Couldn't move the new file into place at " + target.string() + ": " + errnoText(errno);
      return false;
    }
    path_.clear();
    // The rename itself is on disk only once the folder is.
    UniqueFd folder(::open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder) ::fsync(folder.get());
    return true;
  }

 private:
  UniqueFd fd_;
  std::string path_;
};

}  // namespace

bool writeFileAtomically(const std::filesystem::path& target, std::string_view contents, mode_t mode,
                         std::string& error) {
  TemporaryBeside temporary(target, error);
  if (!temporary.ok()) return false;
  if (!writeAll(temporary.fd(), contents.data(), contents.size())) {
    error = "Couldn't write " + target.string() + ": " + errnoText(errno);
    return false;
  }
  return temporary.commit(target, mode, error);
}

bool copyFileAtomically(const std::filesystem::path& source, const std::filesystem::path& target, mode_t mode,
                        std::string& error) {
  UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) {
    error = "Couldn't open " + source.string() + ": " + errnoText(errno);
    return false;
  }
  struct stat info {};
  if (::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    error = "Couldn't copy " + source.string() + ": not a regular file";
    return false;
  }
  TemporaryBeside temporary(target, error);
  if (!temporary.ok()) return false;
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      error = "Couldn't read " + source.string() + ": " + errnoText(errno);
      return false;
    }
    if (n == 0) break;
    if (!writeAll(temporary.fd(), buffer.data(), static_cast<std::size_t>(n))) {
      error = "Couldn't copy " + source.string() + " to " + target.string() + ": " + errnoText(errno);
      return false;
    }
  }
  return temporary.commit(target, mode, error);
}

}  // namespace platform::linux_backend
