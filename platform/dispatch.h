// Stands for Grand Central Dispatch: the main queue, and the serial queues that
// connections deliver their events on.
#pragma once

#include <chrono>
#include <functional>

namespace platform {

using DispatchWork = std::function<void()>;

class DispatchQueue {
 public:
  virtual ~DispatchQueue() = default;
  // Runs |work| on this queue, after what is already queued.
  virtual void async(DispatchWork work) = 0;
  // Runs |work| on this queue once |delay| has passed. Equal deadlines run in the
  // order in which they were scheduled.
  virtual void asyncAfter(std::chrono::milliseconds delay, DispatchWork work) = 0;
  // True while the calling thread is running work of this queue.
  virtual bool isCurrent() const = 0;
};

// The main queue of the installed backend.
DispatchQueue& mainQueue();

}  // namespace platform
