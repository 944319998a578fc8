// Descriptors that poll() watches beside a thread's sockets and pipes, so that what
// another thread does can end the wait: a wake-up, and a gate that is readable while
// it stands open.
#pragma once

#include <atomic>
#include <mutex>

namespace platform::linux_backend {

// Both ends of a pipe whose only use is to wake a thread out of poll().
class WakePipe {
 public:
  // Throws std::system_error when the pipe cannot be made.
  WakePipe();
  ~WakePipe();
  WakePipe(const WakePipe&) = delete;
  WakePipe& operator=(const WakePipe&) = delete;

  int readEnd() const { return fds_[0]; }
  // Any thread; a wake-up that nobody has taken yet stays one.
  void wake() const;
  // Takes the wake-ups so far, so that the next poll() waits again.
  void drain() const;

 private:
  int fds_[2] = {-1, -1};
};

// A condition that one thread waits for and others set: poll() finds fd() readable
// while the gate is open, so the waiting thread sleeps until it opens, whichever
// other descriptors it watches. Setting it costs a system call only when it changes.
class Gate {
 public:
  // Throws std::system_error when the descriptor cannot be made.
  explicit Gate(bool open);
  ~Gate();
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;

  int fd() const { return fd_; }
  bool isOpen() const { return open_.load(std::memory_order_acquire); }
  // Any thread.
  void set(bool open);

 private:
  int fd_ = -1;  // an eventfd: its count is 1 while open, 0 while closed
  std::mutex mutex_;
  std::atomic<bool> open_;
};

}  // namespace platform::linux_backend
