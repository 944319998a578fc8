// Timed work in the order that a DispatchQueue runs it: by deadline, and in the order
// in which it was scheduled when deadlines are equal.
//
// For a backend whose timers fire at or after their deadlines but promise no order
// among equal ones (GCD's dispatch_after): each piece of work is added here with its
// deadline and gets a timer of its own, and every timer that fires runs
// takeEarliest() instead of the work it was made for. That work is due, since the
// earliest deadline waiting is no later than the deadline of the timer that fired;
// and as many timers fire as pieces were added.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

#include "platform/dispatch.h"

namespace platform {

class DeadlineOrder {
 public:
  // Callable from any thread.
  void add(std::uint64_t deadline, DispatchWork work) {
    std::lock_guard lock(mutex_);
    // A multimap keeps equal keys in the order they were inserted.
    waiting_.emplace(deadline, std::move(work));
  }

  // The earliest work, taken out; empty when nothing waits.
  DispatchWork takeEarliest() {
    std::lock_guard lock(mutex_);
    if (waiting_.empty()) return {};
    auto first = waiting_.begin();
    DispatchWork work = std::move(first->second);
    waiting_.erase(first);
    return work;
  }

  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return waiting_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::multimap<std::uint64_t, DispatchWork> waiting_;
};

}  // namespace platform
