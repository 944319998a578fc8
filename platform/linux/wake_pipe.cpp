#include "platform/linux/wake_pipe.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace platform::linux_backend {

WakePipe::WakePipe() {
  // Neither end ever blocks: a full pipe already holds a wake-up, an empty one has none.
  if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::system_error(errno, std::generic_category(), "cannot make a wake-up pipe");
  }
}

WakePipe::~WakePipe() {
  ::close(fds_[0]);
  ::close(fds_[1]);
}

void WakePipe::wake() const {
  const char byte = 0;
  while (::write(fds_[1], &byte, 1) < 0 && errno == EINTR) {
  }
}

void WakePipe::drain() const {
  char bytes[64];
  for (;;) {
    const ssize_t n = ::read(fds_[0], bytes, sizeof bytes);
    if (n > 0 || (n < 0 && errno == EINTR)) continue;
    return;  // empty (EAGAIN)
  }
}

Gate::Gate(bool open) : fd_(::eventfd(open ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK)), open_(open) {
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "cannot make a gate");
}

Gate::~Gate() { ::close(fd_); }

void Gate::set(bool open) {
  std::lock_guard lock(mutex_);
  if (open_.load(std::memory_order_relaxed) == open) return;
  std::uint64_t count = 1;
  // Opening adds 1 to the count, closing reads it back to 0; neither can fail on an
  // eventfd whose count is only ever 0 or 1 but for EINTR.
  if (open) {
    while (::write(fd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
  } else {
    while (::read(fd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
  }
  open_.store(open, std::memory_order_release);
}

}  // namespace platform::linux_backend
