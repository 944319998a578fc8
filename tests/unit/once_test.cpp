#include "platform/once.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace veltrino_test {
namespace {

using platform::OnceFunction;

// Answering uses the callable up: only an rvalue can be called, and it cannot be copied.
static_assert(std::is_invocable_v<OnceFunction<void(int)>&&, int>);
static_assert(!std::is_invocable_v<OnceFunction<void(int)>&, int>);
static_assert(!std::is_invocable_v<const OnceFunction<void(int)>&, int>);
static_assert(!std::is_copy_constructible_v<OnceFunction<void()>> && !std::is_copy_assignable_v<OnceFunction<void()>>);
static_assert(std::is_nothrow_move_constructible_v<OnceFunction<void()>>);

TEST(OnceFunctionTest, MovesCallsOnceAndFreesWhatItCapturedWhenTheCallReturns) {
  auto owned = std::make_shared<std::string>("moved, never copied");
  std::weak_ptr<std::string> watch = owned;
  std::string seen;
  OnceFunction<std::size_t(std::string)> f = [kept = std::make_unique<std::shared_ptr<std::string>>(std::move(owned)),
                                              &seen](std::string suffix) {
    seen = **kept + suffix;
    return seen.size();
  };
  OnceFunction<std::size_t(std::string)> g = std::move(f);
  EXPECT_FALSE(f) << "a moved-from callable is empty";  // NOLINT(bugprone-use-after-move)
  ASSERT_TRUE(g);
  EXPECT_FALSE(watch.expired());
  const std::size_t returned = std::move(g)("!");
  EXPECT_EQ(returned, seen.size());
  EXPECT_EQ(seen, "moved, never copied!");
  EXPECT_TRUE(watch.expired()) << "the capture is freed by the call, though the object lives on";
  EXPECT_FALSE(g) << "a called callable is empty";  // NOLINT(bugprone-use-after-move)
  EXPECT_THROW(std::move(g)("again"), std::bad_function_call);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(seen, "moved, never copied!");
}

TEST(OnceFunctionTest, EmptyOrReplacedCallablesFreeTheirCaptureAndAThrowingCallStillUsesItUp) {
  OnceFunction<void()> empty;
  OnceFunction<void()> null = nullptr;
  EXPECT_FALSE(empty);
  EXPECT_FALSE(null);
  EXPECT_THROW(std::move(empty)(), std::bad_function_call);

  auto owned = std::make_shared<int>(1);
  std::weak_ptr<int> watch = owned;
  {
    OnceFunction<void()> never = [owned] {};
    owned.reset();
    EXPECT_FALSE(watch.expired());
  }
  EXPECT_TRUE(watch.expired()) << "a callable never called is freed with its object";

  owned = std::make_shared<int>(2);
  watch = owned;
  OnceFunction<void()> replaced = [owned] {};
  owned.reset();
  replaced = [] {};
  EXPECT_TRUE(watch.expired()) << "assignment frees the callable it replaces";

  OnceFunction<void()> throwing = [] { throw std::runtime_error("refused"); };
  EXPECT_THROW(std::move(throwing)(), std::runtime_error);
  EXPECT_FALSE(throwing);  // NOLINT(bugprone-use-after-move)
}

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
