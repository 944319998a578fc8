// The console messenger over real pipes, with its handler on a real main queue.
#include "platform/linux/console_messenger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/linux/test_support.h"

namespace linux_test {
namespace {

using platform::EncodableMap;
using platform::EncodableValue;
using platform::FlutterError;
using platform::FlutterMethodCall;
using platform::FlutterMethodNotImplemented;
using platform::FlutterResult;
using platform::FlutterResultValue;
using platform::linux_backend::ConsoleMessenger;
using platform::linux_backend::LineWriter;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using ::testing::UnorderedElementsAre;

constexpr const char* kChannel = "test/channel";

// Answers results on a thread of its own, in the order they were handed over.
class Answerer {
 public:
  Answerer() : thread_([this] { run(); }) {}
  ~Answerer() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  void answer(FlutterResult result, FlutterResultValue value) {
    {
      std::lock_guard lock(mutex_);
      work_.emplace_back(std::move(result), std::move(value));
    }
    wake_.notify_all();
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    while (true) {
      wake_.wait(lock, [&] { return stopping_ || !work_.empty(); });
      if (work_.empty()) return;
      auto [result, value] = std::move(work_.front());
      work_.pop_front();
      lock.unlock();
      result(std::move(value));
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::pair<FlutterResult, FlutterResultValue>> work_;
  bool stopping_ = false;
  std::thread thread_;
};

struct Received {
  std::string method;
  EncodableValue arguments;
  bool onMainQueue;
};

class ConsoleMessengerTest : public ::testing::Test {
 protected:
  void makeMessenger(std::size_t maxLineLength = platform::linux_backend::kMaxConsoleLineLength) {
    messenger = std::make_unique<ConsoleMessenger>(
        loop.queue, answerWriter, diagnosticWriter,
        ConsoleMessenger::Options{kChannel, input.readEnd(), maxLineLength});
  }

  void start() {
    messenger->start([this] {
      finishedOnMainQueue = loop.queue.isCurrent();
      ++finishedCount;
      finished.set_value();
    });
  }

  // Handles every call by keeping its result for the test to answer.
  void keepResults() {
    messenger->setMethodCallHandlerOnChannel(kChannel, [this](const FlutterMethodCall& call, FlutterResult result) {
      std::lock_guard lock(mutex);
      received.push_back({call.method(), call.arguments(), loop.queue.isCurrent()});
      results.push_back(std::move(result));
      callArrived.notify_all();
    });
  }

  bool waitForCalls(std::size_t count) {
    std::unique_lock lock(mutex);
    return callArrived.wait_for(lock, kPatience, [&] { return results.size() >= count; });
  }

  FlutterResult takeResult(std::size_t index) {
    std::lock_guard lock(mutex);
    return results.at(index);
  }

  bool waitForDiagnostic(const std::string& part) {
    return diagnostics.waitFor([&](const std::string& line) { return line.find(part) != std::string::npos; });
  }

  bool finishedYet() { return finishedFuture.wait_for(0ms) == std::future_status::ready; }

  LoopThread loop;
  Pipe input;
  LineCollector answers;
  LineCollector diagnostics;
  LineWriter answerWriter{answers.fd()};
  LineWriter diagnosticWriter{diagnostics.fd()};
  std::unique_ptr<ConsoleMessenger> messenger;

  std::mutex mutex;
  std::vector<Received> received;
  std::vector<FlutterResult> results;
  std::condition_variable callArrived;

  std::promise<void> finished;
  std::future<void> finishedFuture = finished.get_future();
  std::atomic<int> finishedCount{0};
  std::atomic<bool> finishedOnMainQueue{false};
};

TEST_F(ConsoleMessengerTest, ASessionIsHandledOnTheMainQueueAndAnsweredFromAnotherThread) {
  makeMessenger();
  Answerer answerer;
  std::vector<Received> seen;  // main queue only, read after the end
  messenger->setMethodCallHandlerOnChannel(kChannel, [&](const FlutterMethodCall& call, FlutterResult result) {
    seen.push_back({call.method(), call.arguments(), loop.queue.isCurrent()});
    if (call.method() == "access") {
      answerer.answer(std::move(result), nullptr);
    } else if (call.method() == "get_version") {
      answerer.answer(std::move(result), std::string("1.4.0"));
    } else if (call.method() == "on") {
      answerer.answer(std::move(result), FlutterError{"xpc_connection_error", "Helper not initialized"});
    } else {
      result(FlutterMethodNotImplemented);
    }
  });
  start();
  input.write("# a session\n"
              "access\n"
              "\n"
              "set_hive {\"ip\":\"10.0.0.1\",\"port\":\"443\"}\n"
              "bad {\n"
              "get_version\n"
              "on");  // the last line has no line feed
  input.closeWrite();
  ASSERT_EQ(finishedFuture.wait_for(kPatience), std::future_status::ready);
  ASSERT_TRUE(diagnostics.waitForLine("input ended"));

  EXPECT_THAT(answers.finish(),
              UnorderedElementsAre(R"(=> {"id":1,"method":"access","result":null})",
                                   R"(=> {"id":2,"method":"set_hive","notImplemented":true})",
                                   R"(=> {"id":3,"method":"get_version","result":"1.4.0"})",
                                   R"(=> {"id":4,"method":"on","error":{"code":"xpc_connection_error",)"
                                   R"("message":"Helper not initialized"}})"));
  ASSERT_EQ(seen.size(), 4u);
  for (const auto& call : seen) EXPECT_TRUE(call.onMainQueue) << call.method;
  const EncodableMap hive = {{std::string("ip"), std::string("10.0.0.1")}, {std::string("port"), std::string("443")}};
  EXPECT_EQ(seen[1].arguments, EncodableValue(hive));
  EXPECT_TRUE(seen[0].arguments.isNull());
  EXPECT_TRUE(finishedOnMainQueue);

  const auto diagnosticLines = diagnostics.lines();
  EXPECT_THAT(diagnosticLines, Contains(StartsWith("line 5: arguments are not one JSON value")));
  EXPECT_THAT(diagnosticLines, Contains("input ended"));
}

TEST_F(ConsoleMessengerTest, FinishesOnlyOnceTheLastCallIsAnswered) {
  makeMessenger();
  keepResults();
  start();
  input.write("first\nsecond\n");
  input.closeWrite();
  ASSERT_TRUE(diagnostics.waitForLine("input ended"));
  // Anything the end of input put on the main queue has run after this.
  ASSERT_TRUE(waitForCalls(2));
  ASSERT_TRUE(loop.runOnLoop());
  EXPECT_FALSE(finishedYet());

  takeResult(1)(nullptr);
  ASSERT_TRUE(answers.waitForCount(1));
  ASSERT_TRUE(loop.runOnLoop());
  EXPECT_FALSE(finishedYet());

  std::thread([result = takeResult(0)] { result(std::string("late")); }).join();
  ASSERT_EQ(finishedFuture.wait_for(kPatience), std::future_status::ready);
  EXPECT_TRUE(finishedOnMainQueue);
  EXPECT_THAT(answers.finish(), ElementsAre(R"(=> {"id":2,"method":"second","result":null})",
                                           R"(=> {"id":1,"method":"first","result":"late"})"));
}

TEST_F(ConsoleMessengerTest, ASecondAnswerIsRefusedAndNotPrinted) {
  makeMessenger();
  keepResults();
  start();
  input.write("access\n");
  ASSERT_TRUE(waitForCalls(1));
  auto result = takeResult(0);
  result(nullptr);
  std::thread([&] { result(FlutterError{"late", std::nullopt}); }).join();
  ASSERT_TRUE(waitForDiagnostic("call 1 (access) was answered more than once"));

  input.closeWrite();
  ASSERT_EQ(finishedFuture.wait_for(kPatience), std::future_status::ready);
  messenger.reset();
  EXPECT_THAT(answers.finish(), ElementsAre(R"(=> {"id":1,"method":"access","result":null})"));
  EXPECT_EQ(finishedCount, 1);
}

TEST_F(ConsoleMessengerTest, WithNoHandlerEveryCallIsNotImplemented) {
  makeMessenger();
  messenger->setMethodCallHandlerOnChannel("another/channel", [](const FlutterMethodCall&, FlutterResult result) {
    result(nullptr);
  });
  start();
  input.write("on\noff {}\n");
  input.closeWrite();
  ASSERT_EQ(finishedFuture.wait_for(kPatience), std::future_status::ready);
  EXPECT_THAT(answers.finish(), ElementsAre(R"(=> {"id":1,"method":"on","notImplemented":true})",
                                            R"(=> {"id":2,"method":"off","notImplemented":true})"));
}

TEST_F(ConsoleMessengerTest, AResultDroppedUnansweredIsReportedAndDoesNotHoldUpTheEnd) {
  makeMessenger();
  messenger->setMethodCallHandlerOnChannel(kChannel, [](const FlutterMethodCall&, FlutterResult) {});
  start();
  input.write("forgotten\n");
  input.closeWrite();
  ASSERT_EQ(finishedFuture.wait_for(kPatience), std::future_status::ready);
  EXPECT_THAT(diagnostics.finish(), Contains("call 1 (forgotten) was dropped without an answer"));
  EXPECT_THAT(answers.finish(), IsEmpty());
}

TEST_F(ConsoleMessengerTest, AnOverlongLineIsSkippedAndTheNextOneStillCounts) {
  makeMessenger(16);
  messenger->setMethodCallHandlerOnChannel(kChannel, [](const FlutterMethodCall& call, FlutterResult result) {
    result(call.method());
  });
  start();
  input.write("short\n" + std::string(40, 'x') + " [1]\n" + "exactly_16_bytes\nafter\n");
  input.closeWrite();
  ASSERT_EQ(finishedFuture.wait_for(kPatience), std::future_status::ready);
  EXPECT_THAT(diagnostics.finish(), Contains("line 2: longer than 16 bytes; skipped"));
  EXPECT_THAT(answers.finish(), ElementsAre(R"(=> {"id":1,"method":"short","result":"short"})",
                                           R"(=> {"id":2,"method":"exactly_16_bytes","result":"exactly_16_bytes"})",
                                           R"(=> {"id":3,"method":"after","result":"after"})"));
}

TEST_F(ConsoleMessengerTest, EmptyInputFinishesAtOnce) {
  makeMessenger();
  start();
  input.closeWrite();
  ASSERT_EQ(finishedFuture.wait_for(kPatience), std::future_status::ready);
  EXPECT_THAT(diagnostics.finish(), ElementsAre("input ended"));
}

TEST_F(ConsoleMessengerTest, LetsGoOfTheFinishedCallbackOnceItIsHandedOver) {
  // The host's callback holds the application, which holds the messenger: kept, it
  // would be a cycle that outlives the run.
  makeMessenger();
  auto held = std::make_shared<int>(0);
  std::weak_ptr<int> watch = held;
  std::promise<void> ran;
  auto ranFuture = ran.get_future();
  messenger->start([held = std::move(held), &ran] { ran.set_value(); });
  input.closeWrite();
  ASSERT_EQ(ranFuture.wait_for(kPatience), std::future_status::ready);
  ASSERT_TRUE(loop.runOnLoop());
  EXPECT_TRUE(watch.expired());
}

TEST_F(ConsoleMessengerTest, GoingAwayWhileInputIsStillOpenDoesNotWaitForIt) {
  makeMessenger();
  start();
  input.write("# nothing yet\n");
  messenger.reset();  // would hang here if the reader could not be stopped
  EXPECT_EQ(finishedCount, 0);
}

}  // namespace
}  // namespace linux_test
