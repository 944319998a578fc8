#include "platform/linux/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
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
  static Expected<std::unique_ptr<TemporaryBeside>> create(const std::filesystem::path& target) {
    std::error_code ec;
    std::filesystem::create_directories(target.parent_path(), ec);
    if (ec) return fail("Couldn't create the folder " + target.parent_path().string() + ": " + ec.message());
    std::string pattern = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    UniqueFd fd(::mkostemp(name.data(), O_CLOEXEC));
    if (!fd) return fail("Couldn't create a file beside " + target.string() + ": " + errnoText(errno));
    return std::unique_ptr<TemporaryBeside>(new TemporaryBeside(std::move(fd), name.data()));
  }
  ~TemporaryBeside() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TemporaryBeside(const TemporaryBeside&) = delete;
  TemporaryBeside& operator=(const TemporaryBeside&) = delete;

  int fd() const { return fd_.get(); }

  // Flushes, sets the mode, closes and renames over |target|.
  Expected<void> commit(const std::filesystem::path& target, mode_t mode) {
    if (::fsync(fd_.get()) != 0) return fail("Couldn't flush " + target.string() + ": " + errnoText(errno));
    if (::fchmod(fd_.get(), mode) != 0) {
      return fail("Couldn't set the mode of " + target.string() + ": " + errnoText(errno));
    }
    if (::close(fd_.release()) != 0) return fail("Couldn't write " + target.string() + ": " + errnoText(errno));
    if (::rename(path_.c_str(), target.c_str()) != 0) {
      return fail("Couldn't move the new file into place at " + target.string() + ": " + errnoText(errno));
    }
    path_.clear();
    // The rename itself is on disk only once the folder is.
    UniqueFd folder(::open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder) ::fsync(folder.get());
    return {};
  }

 private:
  TemporaryBeside(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

  UniqueFd fd_;
  std::string path_;
};

}  // namespace

Expected<void> writeFileAtomically(const std::filesystem::path& target, std::string_view contents, mode_t mode) {
  auto temporary = TemporaryBeside::create(target);
  if (!temporary) return fail(temporary.error());
  if (!writeAll((*temporary)->fd(), contents.data(), contents.size())) {
    return fail("Couldn't write " + target.string() + ": " + errnoText(errno));
  }
  return (*temporary)->commit(target, mode);
}

Expected<void> copyFileAtomically(const std::filesystem::path& source, const std::filesystem::path& target,
                                  mode_t mode) {
  UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) return fail("Couldn't open " + source.string() + ": " + errnoText(errno));
  struct stat info {};
  if (::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return fail("Couldn't copy " + source.string() + ": not a regular file");
  }
  auto temporary = TemporaryBeside::create(target);
  if (!temporary) return fail(temporary.error());
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("Couldn't read " + source.string() + ": " + errnoText(errno));
    }
    if (n == 0) break;
    if (!writeAll((*temporary)->fd(), buffer.data(), static_cast<std::size_t>(n))) {
      return fail("Couldn't copy " + source.string() + " to " + target.string() + ": " + errnoText(errno));
    }
  }
  return (*temporary)->commit(target, mode);
}

}  // namespace platform::linux_backend
