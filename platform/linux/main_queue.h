// The main queue on Linux: a run loop of its own, run by the process's main thread
// inside NSApplicationMain. Work posted from other threads is handed over under one
// short lock and the loop thread is woken only when it sleeps, after the lock is
// released, so that a poster is never caught holding what the woken thread needs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/dispatch.h"

namespace platform::linux_backend {

class MainRunLoop final : public DispatchQueue {
 public:
  using Clock = std::chrono::steady_clock;

  MainRunLoop() = default;
  // Work still pending is dropped, never run, and so is work it posts as it goes.
  // Waits for a poster on another thread to finish waking the loop.
  ~MainRunLoop() override;
  MainRunLoop(const MainRunLoop&) = delete;
  MainRunLoop& operator=(const MainRunLoop&) = delete;

  // Callable from any thread.
  void async(DispatchWork work) override;
  void asyncAfter(std::chrono::milliseconds delay, DispatchWork work) override;
  // True only on the thread that is running the loop, while it runs it.
  bool isCurrent() const override;
  // Runs |work| at |deadline|, after anything already scheduled for the same time.
  void asyncAt(Clock::time_point deadline, DispatchWork work);

  // Runs work until stop(), or until nothing is left: nothing to run, nothing
  // scheduled, and not kept alive.
  void run();
  // Runs one piece of work, waiting for one if need be; false when nothing is left
  // or the loop is stopped.
  bool runOne();
  // As runOne(), waiting at most |limit|; false when nothing came in that time.
  bool runOneFor(std::chrono::milliseconds limit);

  // Keeps run() going while there is nothing to do, as an app's run loop does, until
  // stop().
  void keepAlive();
  // Makes run() return as soon as the work in hand is done, for good; pending work
  // stays, unrun.
  void stop();

  // Work scheduled with asyncAfter or asyncAt that has not run yet.
  std::size_t pendingTimers() const;

 private:
  struct Timed {
    Clock::time_point deadline;
    std::uint64_t sequence;
    DispatchWork work;
  };
  struct Ready {
    DispatchWork work;
    bool timed;
  };

  static bool runsLater(const Timed& a, const Timed& b);
  bool runNext(std::optional<Clock::time_point> limit);
  void wakeIfWaiting(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Ready> ready_;
  // Ordered by (deadline, sequence); the heap functions keep the entry that runs
  // first in front.
  std::vector<Timed> timers_;
  std::uint64_t nextSequence_ = 0;
  // Timed work moved to |ready_| that has not run yet.
  std::size_t dueTimers_ = 0;
  bool keptAlive_ = false;
  bool stopped_ = false;
  bool closed_ = false;  // being destroyed
  bool waiting_ = false;
  // Posters that have released the lock and are still waking the loop: the condition
  // variable must outlive their call.
  std::atomic<int> waking_{0};
};

}  // namespace platform::linux_backend
