#include "platform/linux/main_queue.h"

#include <algorithm>
#include <thread>
#include <tuple>
#include <utility>

namespace platform::linux_backend {
namespace {

// The loop that the calling thread is running work of, if any.
thread_local const MainRunLoop* runningLoop = nullptr;

class Running {
 public:
  explicit Running(const MainRunLoop* loop) : previous_(runningLoop) { runningLoop = loop; }
  ~Running() { runningLoop = previous_; }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

 private:
  const MainRunLoop* previous_;
};

}  // namespace

bool MainRunLoop::runsLater(const Timed& a, const Timed& b) {
  return std::tie(a.deadline, a.sequence) > std::tie(b.deadline, b.sequence);
}

MainRunLoop::~MainRunLoop() {
  // Work still pending goes outside the lock, as it may post while it goes (a call's
  // dropped answer settles the call here); what it posts is dropped as well.
  std::deque<Ready> ready;
  std::vector<Timed> timers;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    ready.swap(ready_);
    timers.swap(timers_);
  }
  ready.clear();
  timers.clear();
  while (waking_.load(std::memory_order_acquire) != 0) std::this_thread::yield();
}

void MainRunLoop::wakeIfWaiting(std::unique_lock<std::mutex>& lock) {
  if (!waiting_) {
    lock.unlock();
    return;
  }
  // Counted under the lock, so whoever takes the lock next and then destroys the loop
  // sees this poster and waits for it.
  waking_.fetch_add(1, std::memory_order_relaxed);
  lock.unlock();
  wake_.notify_one();
  waking_.fetch_sub(1, std::memory_order_release);
}

void MainRunLoop::async(DispatchWork work) {
  if (!work) return;
  std::unique_lock lock(mutex_);
  if (closed_) return;
  ready_.push_back(Ready{std::move(work), false});
  wakeIfWaiting(lock);
}

void MainRunLoop::asyncAfter(std::chrono::milliseconds delay, DispatchWork work) {
  if (!work) return;
  asyncAt(Clock::now() + std::max(delay, std::chrono::milliseconds(0)), std::move(work));
}

void MainRunLoop::asyncAt(Clock::time_point deadline, DispatchWork work) {
  if (!work) return;
  std::unique_lock lock(mutex_);
  if (closed_) return;
  timers_.push_back(Timed{deadline, nextSequence_++, std::move(work)});
  std::push_heap(timers_.begin(), timers_.end(), runsLater);
  // A sleeper needs waking only when this became the earliest deadline.
  if (timers_.front().sequence != nextSequence_ - 1) return;
  wakeIfWaiting(lock);
}

bool MainRunLoop::isCurrent() const { return runningLoop == this; }

void MainRunLoop::run() {
  while (runNext(std::nullopt)) {
  }
}

bool MainRunLoop::runOne() { return runNext(std::nullopt); }

bool MainRunLoop::runOneFor(std::chrono::milliseconds limit) { return runNext(Clock::now() + limit); }

bool MainRunLoop::runNext(std::optional<Clock::time_point> limit) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (stopped_) return false;
    if (!ready_.empty()) {
      Ready next = std::move(ready_.front());
      ready_.pop_front();
      if (next.timed) --dueTimers_;
      lock.unlock();
      const Running running(this);
      next.work();
      return true;
    }
    const auto now = Clock::now();
    if (!timers_.empty() && timers_.front().deadline <= now) {
      // Everything due as of now, in order, behind what is ready; what it schedules
      // for now waits for the next round rather than starving the rest of the loop.
      while (!timers_.empty() && timers_.front().deadline <= now) {
        std::pop_heap(timers_.begin(), timers_.end(), runsLater);
        ready_.push_back(Ready{std::move(timers_.back().work), true});
        timers_.pop_back();
        ++dueTimers_;
      }
      continue;
    }
    if (timers_.empty() && !keptAlive_) return false;
    if (limit && now >= *limit) return false;
    std::optional<Clock::time_point> until = limit;
    if (!timers_.empty() && (!until || timers_.front().deadline < *until)) until = timers_.front().deadline;
    waiting_ = true;
    if (until) {
      wake_.wait_until(lock, *until);
    } else {
      wake_.wait(lock);
    }
    waiting_ = false;
  }
}

void MainRunLoop::keepAlive() {
  std::lock_guard lock(mutex_);
  keptAlive_ = true;
}

void MainRunLoop::stop() {
  std::unique_lock lock(mutex_);
  stopped_ = true;
  keptAlive_ = false;
  wakeIfWaiting(lock);
}

std::size_t MainRunLoop::pendingTimers() const {
  std::lock_guard lock(mutex_);
  return timers_.size() + dueTimers_;
}

}  // namespace platform::linux_backend
