// Helpers for tests of the Linux runtime: an event loop on a thread of its own,
// pipes whose lines are collected as they arrive, and temporary folders.
#pragma once

#include <fcntl.h>
#include <unistd.h>

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
    thread_ = std::thread([this] { queue.run(); });
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

  platform::linux_backend::MainRunLoop queue;

 private:
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
