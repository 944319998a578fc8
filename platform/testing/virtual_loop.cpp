#include "platform/testing/virtual_loop.h"

namespace platform::testing {

void VirtualLoop::schedule(const VirtualQueue* queue, std::chrono::milliseconds delay, DispatchWork work) {
  if (delay < std::chrono::milliseconds(0)) delay = std::chrono::milliseconds(0);
  tasks_.emplace(std::make_pair(now_ + delay, sequence_++), Task{queue, std::move(work)});
}

bool VirtualLoop::runNextDueBy(std::chrono::milliseconds limit) {
  if (tasks_.empty() || tasks_.begin()->first.first > limit) return false;
  auto node = tasks_.extract(tasks_.begin());
  now_ = node.key().first;
  const VirtualQueue* previous = current_;
  current_ = node.mapped().queue;
  node.mapped().work();
  current_ = previous;
  return true;
}

void VirtualLoop::runUntilIdle() {
  while (runNextDueBy(now_)) {
  }
}

void VirtualLoop::advance(std::chrono::milliseconds by) {
  const auto target = now_ + by;
  while (runNextDueBy(target)) {
  }
  now_ = target;
}

}  // namespace platform::testing
