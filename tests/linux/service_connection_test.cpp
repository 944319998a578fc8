#include "platform/linux/service_connection.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <asio/executor_work_guard.hpp>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/wire/wire.h"

namespace linux_test {
namespace {

using namespace std::chrono_literals;
namespace wire = platform::linux_backend::wire;
using platform::NSError;
using platform::XPCMessage;
using platform::XPCValues;
using platform::linux_backend::ServiceConnection;
using platform::linux_backend::UniqueFd;
using platform::linux_backend::Unreachable;
using platform::linux_backend::Expected;
using platform::linux_backend::unexpected;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// Long enough never to run out on a loaded machine; only a hang waits this long.
constexpr auto kPatience = 10s;

// The service's end of one socket, read and written blocking by the test.
class Peer {
 public:
  explicit Peer(UniqueFd fd) : fd_(std::move(fd)) {}

  // The next request; none once the connection closed its end.
  std::optional<wire::Request> next() {
    for (;;) {
      if (auto message = decoder_.next()) return std::get<wire::Request>(std::move(*message));
      pollfd readable{fd_.get(), POLLIN, 0};
      if (::poll(&readable, 1, static_cast<int>(std::chrono::milliseconds(kPatience).count())) != 1) {
        ADD_FAILURE() << "the connection neither wrote nor closed its end";
        return std::nullopt;
      }
      char buffer[65536];
      const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
      if (n <= 0) return std::nullopt;
      decoder_.feed(std::string_view(buffer, static_cast<std::size_t>(n)));
    }
  }
  // Replies in one write, so that the connection reads them together.
  void reply(const std::vector<wire::Reply>& replies) {
    std::string bytes;
    for (const auto& r : replies) bytes += *wire::encodeFrame(r);
    ASSERT_EQ(::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  }
  void close() { fd_.reset(); }

 private:
  UniqueFd fd_;
  wire::FrameDecoder decoder_{wire::kMaxRequestBytes};
};

// What the connection reported, in order; each entry marked when it did not run on
// the connection's background thread.
class Log {
 public:
  void add(std::string entry) {
    if (std::this_thread::get_id() != queueThread) entry += " (off the queue)";
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
    changed_.notify_all();
  }
  std::vector<std::string> waitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kPatience, [&] { return entries_.size() >= count; });
    return entries_;
  }
  std::thread::id queueThread;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> entries_;
};

std::string text(const XPCValues& values) {
  std::string out;
  for (const auto& v : values) out += (out.empty() ? "" : ",") + std::get<std::string>(v);
  return out;
}

class ServiceConnectionTest : public ::testing::Test {
 protected:
  ServiceConnectionTest() : guard_(io_.get_executor()), thread_([this] { io_.run(); }) {
    log.queueThread = thread_.get_id();
    connection = std::make_unique<ServiceConnection>(io_, "com.example.service", [this] { return open(); });
    connection->resume({[this] { log.add("invalidated"); }, [this] { log.add("interrupted"); }});
  }
  ~ServiceConnectionTest() override {
    connection.reset();
    guard_.reset();
    thread_.join();
  }

  // The next attempt to reach the service gets a socket, whose far end is returned.
  Peer offerSocket() {
    int ends[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    // Small, so that a large message is written in pieces.
    const int bytes = 65536;
    EXPECT_EQ(::setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes), 0);
    std::lock_guard lock(mutex_);
    plan_.push_back(Planned{UniqueFd(ends[0]), std::nullopt});
    return Peer(UniqueFd(ends[1]));
  }
  void refuse(Unreachable why) {
    std::lock_guard lock(mutex_);
    plan_.push_back(Planned{UniqueFd(), why});
  }
  int attempts() {
    std::lock_guard lock(mutex_);
    return attempts_;
  }
  // Attempts wait until released; before the first message only.
  void holdAttempts() { gated_ = gate_.get_future().share(); }
  void releaseAttempts() { gate_.set_value(); }

  // Sends |selector| with |argument|; with |call| it awaits a reply.
  void send(const std::string& selector, std::string argument = "", bool call = true) {
    auto failure = [this, selector](const NSError& e) { log.add(selector + " failed " + std::to_string(e.code)); };
    auto reply = [this, selector](XPCValues values) { log.add(selector + " got " + text(values)); };
    connection->send(XPCMessage{selector, {std::move(argument)}, call}, call ? reply : platform::XPCReplyHandler(),
                     failure);
  }

  Log log;
  std::unique_ptr<ServiceConnection> connection;

 private:
  // With nothing planned an attempt fails.
  Expected<UniqueFd, Unreachable> open() {
    if (gated_.valid()) gated_.wait();
    std::lock_guard lock(mutex_);
    ++attempts_;
    if (plan_.empty()) return unexpected(Unreachable::Failed);
    Planned next = std::move(plan_.front());
    plan_.pop_front();
    if (next.refusal) return unexpected(*next.refusal);
    return std::move(next.peer);
  }

  std::mutex mutex_;
  struct Planned {
    UniqueFd peer;
    std::optional<Unreachable> refusal;
  };
  std::deque<Planned> plan_;
  int attempts_ = 0;
  std::promise<void> gate_;
  std::shared_future<void> gated_;
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::thread thread_;
};

TEST_F(ServiceConnectionTest, RepliesReachTheirCallsOnTheQueueWhateverTheirOrderAndTheSendingThread) {
  Peer peer = offerSocket();
  // Every third message is one-way: it carries no id and gets no reply.
  auto sendMany = [this](const std::string& who) {
    for (int i = 0; i < 60; ++i) send("m:", who + std::to_string(i), i % 3 != 0);
  };
  std::thread other(sendMany, "t");
  sendMany("m");
  other.join();

  std::vector<std::string> fromEach[2];
  std::vector<wire::Reply> replies;
  for (int i = 0; i < 120; ++i) {
    auto request = peer.next();
    ASSERT_TRUE(request);
    const auto& argument = std::get<std::string>(request->arguments.at(0));
    fromEach[argument[0] == 't'].push_back(argument);
    const bool call = std::stoi(argument.substr(1)) % 3 != 0;
    ASSERT_EQ(request->id.has_value(), call) << argument;
    if (call) replies.insert(replies.begin(), wire::Reply{*request->id, {argument}});
  }
  peer.reply(replies);

  for (const auto& sent : fromEach) {
    for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i].substr(1), std::to_string(i));
  }
  std::vector<std::string> expected;
  for (const auto& r : replies) expected.push_back("m: got " + text(r.values));
  EXPECT_THAT(log.waitFor(expected.size()), ElementsAreArray(expected));
}

TEST_F(ServiceConnectionTest, APeerGoneFailsWhatWaitsOrIsUnwrittenAndTheNextMessageConnectsAgain) {
  Peer first = offerSocket();
  send("call:");
  // Larger than the socket holds, so it is still being written when the peer goes,
  // with a message queued behind it.
  send("big:", std::string(900000, 'x'), false);
  send("queued:", "", false);
  ASSERT_TRUE(first.next());
  first.close();
  EXPECT_THAT(log.waitFor(4), ElementsAre("call: failed 4097", "big: failed 4097", "queued: failed 4097", "interrupted"));

  Peer second = offerSocket();
  send("again:");
  auto request = second.next();
  ASSERT_TRUE(request);
  EXPECT_EQ(request->selector, "again:");
  second.reply({{*request->id, {std::string("ok")}}});
  EXPECT_EQ(log.waitFor(5).back(), "again: got ok");
  EXPECT_EQ(attempts(), 2);
}

TEST_F(ServiceConnectionTest, AServiceWithoutAJobInvalidatesTheConnectionForGood) {
  refuse(Unreachable::NoJob);
  send("a:");
  send("b:", "", false);
  offerSocket();  // never asked for
  EXPECT_THAT(log.waitFor(3), ElementsAre("invalidated", "a: failed 4099", "b: failed 4099"));
  EXPECT_EQ(attempts(), 1);
}

TEST_F(ServiceConnectionTest, AFailedAttemptOrAnOversizeMessageFailsThatMessageAloneAndKeepsTheOrder) {
  holdAttempts();
  refuse(Unreachable::Failed);
  Peer peer = offerSocket();
  send("a:");
  // A message sent by a failure handler, while those behind the failed one still
  // wait, goes after them.
  connection->send(XPCMessage{"huge:", {std::string(wire::kMaxRequestBytes, 'x')}, false}, {},
                   [this](const NSError& e) {
                     log.add("huge: failed " + std::to_string(e.code));
                     send("c:", "", false);
                   });
  send("b:", "", false);
  releaseAttempts();

  EXPECT_THAT(log.waitFor(2), ElementsAre("a: failed 4097", "huge: failed 4097"));
  std::vector<std::string> written;
  for (int i = 0; i < 2; ++i) {
    auto request = peer.next();
    ASSERT_TRUE(request);
    written.push_back(request->selector);
  }
  EXPECT_THAT(written, ElementsAre("b:", "c:"));
  EXPECT_EQ(attempts(), 2);
}

// A request many times the reply limit goes out whole, in pieces, and its reply comes
// back; the messages around it keep their order.
TEST_F(ServiceConnectionTest, ARequestUpToTheRequestLimitIsSentWhole) {
  Peer peer = offerSocket();
  const std::string big(wire::kMaxRequestBytes - 64, 'x');
  send("before:", "", false);
  send("big:", big);
  send("after:", "", false);
  auto before = peer.next();
  auto request = peer.next();
  auto after = peer.next();
  ASSERT_TRUE(before && request && after);
  EXPECT_EQ(before->selector, "before:");
  EXPECT_EQ(after->selector, "after:");
  ASSERT_EQ(request->selector, "big:");
  EXPECT_TRUE(std::get<std::string>(request->arguments.at(0)) == big);
  ASSERT_TRUE(request->id);
  peer.reply({wire::Reply{*request->id, {std::string("done")}}});
  EXPECT_THAT(log.waitFor(1), ElementsAre("big: got done"));
}

// Letting go of the connection throws nothing away that was sent: it is written out,
// then its end closes. A reply still awaited then has nobody waiting for it (the
// portable connection lets go only when it awaits nothing) and is dropped unrun.
TEST_F(ServiceConnectionTest, AReleasedConnectionWritesOutWhatWasSentThenClosesItsEnd) {
  Peer peer = offerSocket();
  auto awaited = std::make_shared<int>(0);
  const std::weak_ptr<int> watch = awaited;
  connection->send(XPCMessage{"call:", {std::string("c")}, true}, [this, awaited](XPCValues) { log.add("call: got"); },
                   {});
  awaited.reset();
  // More than the socket holds while the peer does not read: the rest waits for it.
  send("big:", std::string(900000, 'x'), false);
  for (int i = 0; i < 3; ++i) send("oneWay:", std::to_string(i), false);
  connection.reset();

  std::vector<std::string> written;
  for (int i = 0; i < 5; ++i) {
    auto request = peer.next();
    ASSERT_TRUE(request);
    written.push_back(request->selector + std::get<std::string>(request->arguments[0]).substr(0, 1));
  }
  EXPECT_THAT(written, ElementsAre("call:c", "big:x", "oneWay:0", "oneWay:1", "oneWay:2"));
  EXPECT_FALSE(peer.next()) << "the end closes once all is written";
  EXPECT_TRUE(watch.expired()) << "the awaited reply's handler is dropped";
}

// A handler may drop its own connection, as the last reply of a released one does:
// the link then ends, with no event and no failure for what it still awaited.
TEST_F(ServiceConnectionTest, AConnectionDroppedByItsOwnHandlerEndsItsLink) {
  Peer peer = offerSocket();
  connection->send(XPCMessage{"drop:", {}, true}, [this](XPCValues) {
    connection.reset();
    log.add("drop: got");
  }, {});
  send("unanswered:");
  auto drop = peer.next();
  ASSERT_TRUE(drop && peer.next());
  peer.reply({{*drop->id, {}}});
  EXPECT_FALSE(peer.next()) << "the link ends";
  EXPECT_THAT(log.waitFor(1), ElementsAre("drop: got"));
}

}  // namespace
}  // namespace linux_test
