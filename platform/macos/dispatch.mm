// The main queue: GCD's. Timed work goes through dispatch_after, one timer per piece
// of work, and platform::DeadlineOrder decides what each firing runs, so that equal
// deadlines keep the order in which they were scheduled.
#import <dispatch/dispatch.h>

#include <algorithm>
#include <chrono>

#include "platform/deadline_order.h"
#include "platform/macos/cocoa.h"

namespace macos_backend {
namespace {

class MainQueue final : public platform::DispatchQueue {
 public:
  // The queue is marked with this object's address, which isCurrent looks for.
  MainQueue() : queue_(dispatch_get_main_queue()) { dispatch_queue_set_specific(queue_, this, this, nullptr); }

  void async(platform::DispatchWork work) override {
    dispatch_async(queue_, ^{
      work();
    });
  }

  void asyncAfter(std::chrono::milliseconds delay, platform::DispatchWork work) override {
    const auto wait = std::chrono::nanoseconds(std::max(delay, std::chrono::milliseconds::zero()));
    const dispatch_time_t deadline = dispatch_time(DISPATCH_TIME_NOW, wait.count());
    timed_.add(deadline, std::move(work));
    dispatch_after(deadline, queue_, ^{
      if (platform::DispatchWork earliest = timed_.takeEarliest()) earliest();
    });
  }

  // Main-thread code that GCD did not start (a run-loop callback) may read as not
  // current; the portable code then dispatches to the queue, which is still right.
  bool isCurrent() const override { return dispatch_get_specific(this) == this; }

 private:
  dispatch_queue_t queue_;
  platform::DeadlineOrder timed_;
};

}  // namespace

platform::DispatchQueue& mainQueue() {
  // Never destroyed: blocks still queued at exit refer to it.
  static MainQueue* const queue = new MainQueue;
  return *queue;
}

}  // namespace macos_backend
