#include "platform/once.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace veltrino_test {
namespace {

TEST(SplitOnceTest, OnlyTheFirstHalfCalledGoesThroughAndTheCallbackIsFreedAfterIt) {
  auto owned = std::make_shared<int>(0);
  std::weak_ptr<int> watch = owned;
  std::vector<int> seen;
  auto halves = platform::splitOnce<int>(
      [kept = std::make_unique<std::shared_ptr<int>>(std::move(owned)), &seen](int v) { seen.push_back(v); });
  EXPECT_FALSE(watch.expired()) << "the callback holds what it captured until it runs";
  EXPECT_TRUE(halves.second(2));
  EXPECT_TRUE(watch.expired()) << "freed once it has run, though both halves live on";
  EXPECT_FALSE(halves.first(1));
  EXPECT_FALSE(halves.second(3));
  EXPECT_EQ(seen, std::vector<int>{2});
}

TEST(SplitOnceTest, HalvesRacingOnManyThreadsCallTheCallbackOnce) {
  for (int round = 0; round < 50; ++round) {
    std::atomic<int> calls{0};
    auto halves = platform::splitOnce<>([&calls] { ++calls; });
    std::atomic<int> through{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, half = t % 2 ? halves.first : halves.second] {
        for (int i = 0; i < 100; ++i) through += half() ? 1 : 0;
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(through.load(), 1);
  }
}

}  // namespace
}  // namespace veltrino_test
