// A virtual clock and the queues that run on it. Nothing runs until the test says so;
// work with equal deadlines runs in the order it was scheduled, whatever its queue.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "platform/dispatch.h"

namespace platform::testing {

using namespace std::chrono_literals;

class VirtualQueue;

class VirtualLoop {
 public:
  std::chrono::milliseconds now() const { return now_; }
  void schedule(const VirtualQueue* queue, std::chrono::milliseconds delay, DispatchWork work);
  // Runs everything that is due now, including what that work schedules for now.
  void runUntilIdle();
  // Moves the clock forward by |by|, running everything that falls due on the way at
  // its own deadline.
  void advance(std::chrono::milliseconds by);
  const VirtualQueue* current() const { return current_; }
  std::size_t pending() const { return tasks_.size(); }

 private:
  bool runNextDueBy(std::chrono::milliseconds limit);

  struct Task {
    const VirtualQueue* queue;
    DispatchWork work;
  };
  std::chrono::milliseconds now_{0};
  std::uint64_t sequence_ = 0;
  std::map<std::pair<std::chrono::milliseconds, std::uint64_t>, Task> tasks_;
  const VirtualQueue* current_ = nullptr;
};

class VirtualQueue final : public DispatchQueue {
 public:
  VirtualQueue(VirtualLoop& loop, std::string label) : loop_(loop), label_(std::move(label)) {}
  void async(DispatchWork work) override { loop_.schedule(this, std::chrono::milliseconds(0), std::move(work)); }
  void asyncAfter(std::chrono::milliseconds delay, DispatchWork work) override {
    loop_.schedule(this, delay, std::move(work));
  }
  bool isCurrent() const override { return loop_.current() == this; }
  const std::string& label() const { return label_; }
  VirtualLoop& loop() const { return loop_; }

 private:
  VirtualLoop& loop_;
  std::string label_;
};

}  // namespace platform::testing
