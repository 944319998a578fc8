// The main queue on Linux: work runs on the thread that runs one asio::io_context
// (the process's main thread, inside NSApplicationMain).
#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/dispatch.h"

namespace platform::linux_backend {

class AsioMainQueue final : public DispatchQueue {
 public:
  // |context| must outlive this queue. Work left pending when the queue goes away
  // is dropped, never run.
  explicit AsioMainQueue(asio::io_context& context);
  ~AsioMainQueue() override;
  AsioMainQueue(const AsioMainQueue&) = delete;
  AsioMainQueue& operator=(const AsioMainQueue&) = delete;

  // Both callable from any thread.
  void async(DispatchWork work) override;
  void asyncAfter(std::chrono::milliseconds delay, DispatchWork work) override;
  // True only on the thread that is running the context.
  bool isCurrent() const override;
  // Runs |work| at |deadline|, after anything already scheduled for the same time.
  void asyncAt(std::chrono::steady_clock::time_point deadline, DispatchWork work);

  // Keeps the context's run() going while there is nothing to do, as an app's run
  // loop does, until releaseKeepAlive() or stop().
  void keepAlive();
  // Lets run() return once nothing is left to do.
  void releaseKeepAlive();
  // Makes run() return as soon as the work in hand is done; pending work stays.
  void stop();

  // Work scheduled with asyncAfter that has not run yet.
  std::size_t pendingTimers() const;

  asio::io_context& context() const { return context_; }

 private:
  struct Timers;

  asio::io_context& context_;
  std::shared_ptr<Timers> timers_;
  mutable std::mutex guardMutex_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard_;
};

}  // namespace platform::linux_backend
