#include "platform/linux/main_queue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

namespace linux_test {
namespace {

using namespace std::chrono_literals;
using platform::linux_backend::MainRunLoop;
using ::testing::ElementsAreArray;
using Clock = std::chrono::steady_clock;

// Long enough never to fire on a loaded machine; only a hang waits this long.
constexpr auto kPatience = 10s;

// A main queue whose loop runs on a thread of its own for the test's life.
struct LoopThread {
  LoopThread() {
    queue.keepAlive();
    thread = std::thread([this] { queue.run(); });
  }
  ~LoopThread() {
    queue.stop();
    thread.join();
  }
  // Waits until the loop has run what was due by |at|.
  bool settle(Clock::time_point at = Clock::now()) {
    std::promise<void> done;
    queue.asyncAt(at, [&] { done.set_value(); });
    return done.get_future().wait_for(kPatience) == std::future_status::ready;
  }

  MainRunLoop queue;
  std::thread thread;
};

TEST(MainRunLoopTest, AnEarlierDeadlineFromAnotherThreadIsNotHeldUpByALaterOne) {
  LoopThread loop;
  std::atomic<bool> lateRan{false};
  loop.queue.asyncAfter(std::chrono::hours(1), [&] { lateRan = true; });
  ASSERT_TRUE(loop.settle());  // the timer is now armed for an hour

  std::promise<bool> early;
  std::thread([&] { loop.queue.asyncAfter(5ms, [&] { early.set_value(loop.queue.isCurrent()); }); }).join();
  auto future = early.get_future();
  ASSERT_EQ(future.wait_for(kPatience), std::future_status::ready);
  EXPECT_TRUE(future.get());
  EXPECT_FALSE(lateRan);
  EXPECT_EQ(loop.queue.pendingTimers(), 1u);
}

// Half the threads give their work one deadline: equal deadlines run in the order
// scheduled, as plain work does.
TEST(MainRunLoopTest, WorkFromSeveralThreadsRunsOnTheLoopInEachThreadsOrder) {
  LoopThread loop;
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  std::vector<std::vector<int>> seen(kThreads);  // loop thread only
  std::atomic<int> offLoop{0};
  const auto deadline = Clock::now() + 20ms;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        auto record = [&, t, i] {
          offLoop += loop.queue.isCurrent() ? 0 : 1;
          seen[static_cast<std::size_t>(t)].push_back(i);
        };
        t % 2 == 0 ? loop.queue.async(record) : loop.queue.asyncAt(deadline, record);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(loop.settle(deadline + 1ms));

  EXPECT_EQ(offLoop, 0);
  EXPECT_FALSE(loop.queue.isCurrent());
  std::vector<int> inOrder(kEach);
  std::iota(inOrder.begin(), inOrder.end(), 0);
  for (const auto& one : seen) EXPECT_THAT(one, ElementsAreArray(inOrder));
}

// Destroying the queue drops what is left, and what that posts as it goes (a call's
// answer dropped unanswered settles the call on the main queue).
TEST(MainRunLoopTest, StopEndsRunForGoodAndLeavesPendingWorkUnrunUntilItIsDropped) {
  auto queue = std::make_unique<MainRunLoop>();
  queue->keepAlive();
  bool late = false;
  int postedWhileDropped = 0;
  const auto postsWhenDropped = [&] {
    return std::shared_ptr<void>(nullptr, [&, q = queue.get()](void*) {
      ++postedWhileDropped;
      q->async([&] { late = true; });
      q->asyncAfter(0ms, [&] { late = true; });
    });
  };
  queue->async([&] { queue->stop(); });
  queue->async([&, dropped = postsWhenDropped()] { late = true; });
  queue->asyncAfter(0ms, [&, dropped = postsWhenDropped()] { late = true; });
  queue->run();
  EXPECT_FALSE(late);
  EXPECT_FALSE(queue->runOne());
  EXPECT_FALSE(late);
  EXPECT_EQ(queue->pendingTimers(), 1u);
  queue.reset();
  EXPECT_EQ(postedWhileDropped, 2);
  EXPECT_FALSE(late);
}

}  // namespace
}  // namespace linux_test
