// Helpers for tests of the Linux runtime: an event loop on a thread of its own,
// pipes whose lines are collected as they arrive, and temporary folders.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/main_queue.h"

namespace linux_test {

using namespace std::chrono_literals;

// Long enough never to fire on a loaded machine; only a hang waits this long.
inline constexpr auto kPatience = 10s;

// A main queue whose loop runs on a thread of its own for the test's life.
class LoopThread {
 public:
  LoopThread() {
    queue.keepAlive();
    thread_ = std::thread([this] { context.run(); });
  }
  ~LoopThread() {
    queue.stop();
    thread_.join();
  }
  LoopThread(const LoopThread&) = delete;
  LoopThread& operator=(const LoopThread&) = delete;

  // Runs |work| on the loop and waits for it: everything queued before has run too.
  bool runOnLoop(std::function<void()> work = [] {}) {
    std::promise<void> done;
    auto future = done.get_future();
    queue.async([&] {
      work();
      done.set_value();
    });
    return future.wait_for(kPatience) == std::future_status::ready;
  }

  asio::io_context context;
  platform::linux_backend::AsioMainQueue queue{context};

 private:
  std::thread thread_;
};

class Pipe {
 public:
  Pipe() {
    if (::pipe2(fds_, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  int readEnd() const { return fds_[0]; }
  int writeEnd() const { return fds_[1]; }
  void closeRead() { closeEnd(0); }
  void closeWrite() { closeEnd(1); }
  void write(const std::string& data) const {
    std::size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = ::write(fds_[1], data.data() + done, data.size() - done);
      if (n <= 0) throw std::runtime_error("pipe write failed");
      done += static_cast<std::size_t>(n);
    }
  }

 private:
  void closeEnd(int end) {
    if (fds_[end] >= 0) ::close(fds_[end]);
    fds_[end] = -1;
  }
  int fds_[2] = {-1, -1};
};

// Reads a pipe on a thread of its own and keeps every line that comes out of it.
class LineCollector {
 public:
  LineCollector() {
    thread_ = std::thread([this] { run(); });
  }
  ~LineCollector() { finish(); }
  LineCollector(const LineCollector&) = delete;
  LineCollector& operator=(const LineCollector&) = delete;

  // Where a writer writes to.
  int fd() const { return pipe_.writeEnd(); }

  // Waits until some line satisfies |match|.
  bool waitFor(const std::function<bool(const std::string&)>& match) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] {
      for (const auto& line : lines_) {
        if (match(line)) return true;
      }
      return false;
    });
  }
  bool waitForLine(const std::string& line) {
    return waitFor([&](const std::string& l) { return l == line; });
  }
  bool waitForCount(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return lines_.size() >= count; });
  }

  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // Closes the writing end and returns every line once all of it has been read.
  std::vector<std::string> finish() {
    pipe_.closeWrite();
    if (thread_.joinable()) thread_.join();
    return lines();
  }

 private:
  void run() {
    char buffer[65536];
    std::string partial;
    while (true) {
      const ssize_t n = ::read(pipe_.readEnd(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      std::lock_guard lock(mutex_);
      partial.append(buffer, static_cast<std::size_t>(n));
      std::size_t newline;
      while ((newline = partial.find('\n')) != std::string::npos) {
        lines_.push_back(partial.substr(0, newline));
        partial.erase(0, newline + 1);
      }
      changed_.notify_all();
    }
  }

  Pipe pipe_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::thread thread_;
};

class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "veltrino-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace linux_test
