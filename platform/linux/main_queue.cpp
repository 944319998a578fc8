#include "platform/linux/main_queue.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <algorithm>
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

namespace platform::linux_backend {

// Delayed work waits in one heap ordered by (deadline, sequence) behind a single
// steady_timer armed for the earliest deadline: a timer per item would neither keep
// equal deadlines in order nor stay cheap with many items pending. The timer is only
// ever touched on the loop thread; other threads post a request to re-arm it.
struct AsioMainQueue::Timers : std::enable_shared_from_this<AsioMainQueue::Timers> {
  using Clock = std::chrono::steady_clock;

  struct Entry {
    Clock::time_point deadline;
    std::uint64_t sequence;
    DispatchWork work;
  };

  // The heap functions keep the greatest element in front; "greatest" here is the
  // entry that runs first.
  static bool runsLater(const Entry& a, const Entry& b) {
    return std::tie(a.deadline, a.sequence) > std::tie(b.deadline, b.sequence);
  }

  explicit Timers(asio::io_context& context) : context(context), timer(context) {}

  void schedule(Clock::time_point deadline, DispatchWork work) {
    bool postRearm = false;
    {
      std::lock_guard lock(mutex);
      heap.push_back(Entry{deadline, nextSequence++, std::move(work)});
      std::push_heap(heap.begin(), heap.end(), runsLater);
      if (!rearmPosted && (!armedFor || deadline < *armedFor)) {
        rearmPosted = true;
        postRearm = true;
      }
    }
    if (postRearm) {
      asio::post(context, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->rearm();
      });
    }
  }

  // Loop thread only.
  void rearm() {
    std::lock_guard lock(mutex);
    rearmPosted = false;
    if (heap.empty()) {
      armedFor.reset();
      timer.cancel();
      return;
    }
    const auto next = heap.front().deadline;
    if (armedFor && *armedFor == next) return;
    armedFor = next;
    timer.expires_at(next);
    timer.async_wait([weak = weak_from_this()](const std::error_code& error) {
      if (error) return;  // re-armed or cancelled: a newer wait is in charge
      if (auto self = weak.lock()) self->runDue();
    });
  }

  // Loop thread only. Runs what is due as of now, one item at a time with the lock
  // released, so that work may schedule more; what it schedules for now waits for
  // the next round rather than starving the rest of the loop.
  void runDue() {
    struct RearmOnExit {
      Timers& timers;
      // Throws only when the timer itself fails, and then nothing due would ever run
      // again: ending the process is the honest outcome.
      ~RearmOnExit() { timers.rearm(); }  // NOLINT(bugprone-exception-escape)
    } rearmOnExit{*this};
    const auto now = Clock::now();
    std::unique_lock lock(mutex);
    armedFor.reset();
    while (!heap.empty() && heap.front().deadline <= now) {
      std::pop_heap(heap.begin(), heap.end(), runsLater);
      DispatchWork work = std::move(heap.back().work);
      heap.pop_back();
      lock.unlock();
      work();
      lock.lock();
    }
  }

  std::size_t pending() const {
    std::lock_guard lock(mutex);
    return heap.size();
  }

  asio::io_context& context;
  asio::steady_timer timer;
  mutable std::mutex mutex;
  std::vector<Entry> heap;
  std::uint64_t nextSequence = 0;
  std::optional<Clock::time_point> armedFor;
  bool rearmPosted = false;
};

AsioMainQueue::AsioMainQueue(asio::io_context& context)
    : context_(context), timers_(std::make_shared<Timers>(context)) {}

AsioMainQueue::~AsioMainQueue() { releaseKeepAlive(); }

void AsioMainQueue::async(DispatchWork work) {
  if (!work) return;
  asio::post(context_, std::move(work));
}

void AsioMainQueue::asyncAfter(std::chrono::milliseconds delay, DispatchWork work) {
  if (!work) return;
  delay = std::max(delay, std::chrono::milliseconds(0));
  asyncAt(Timers::Clock::now() + delay, std::move(work));
}

void AsioMainQueue::asyncAt(std::chrono::steady_clock::time_point deadline, DispatchWork work) {
  if (!work) return;
  timers_->schedule(deadline, std::move(work));
}

bool AsioMainQueue::isCurrent() const { return context_.get_executor().running_in_this_thread(); }

void AsioMainQueue::keepAlive() {
  std::lock_guard lock(guardMutex_);
  if (!guard_) guard_.emplace(context_.get_executor());
}

void AsioMainQueue::releaseKeepAlive() {
  std::lock_guard lock(guardMutex_);
  guard_.reset();
}

void AsioMainQueue::stop() {
  releaseKeepAlive();
  context_.stop();
}

std::size_t AsioMainQueue::pendingTimers() const { return timers_->pending(); }

}  // namespace platform::linux_backend
