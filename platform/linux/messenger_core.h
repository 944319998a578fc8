// What the host's messengers share: the handler of each channel; the count of
// messages still owed a reply, so that the host quits once its input has ended and
// every message read has been answered; and the bounds past which a messenger stops
// reading, so that an interface that sends without reading what comes back cannot
// make the host hold more and more.
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/dispatch.h"
#include "platform/flutter.h"
#include "platform/linux/wake_pipe.h"

namespace platform::linux_backend {

// A messenger the host starts once the interface's plug-ins have installed their
// handlers.
class HostMessenger : public FlutterBinaryMessenger {
 public:
  // Starts reading. Once input has ended and every message read has been answered,
  // |finished| runs once on the main queue. Call at most once.
  virtual void start(std::function<void()> finished) = 0;
};

// How much a messenger lets wait before it reads no further request. It stops once
// |owedCalls| messages, or |owedBytes| bytes of them, have been read and not yet
// answered, and once |unwrittenBytes| of replies wait for the interface to read them
// (the console's answers wait in its output's LineWriter, which has a bound of its
// own); it reads on when each is down to half. A message is let through whenever
// none is owed, however large.
struct MessengerLimits {
  std::size_t owedCalls = 65536;
  std::size_t owedBytes = std::size_t{16} * 1024 * 1024;
  std::size_t unwrittenBytes = std::size_t{1} * 1024 * 1024;
};

// Names the interface sent (a method, a channel), as an answer or a diagnostic
// echoes them: at most |limit| bytes, cut before a UTF-8 character's start and
// followed by "...". Longer than any name the interface has a use for; a name of
// megabytes is not worth holding, nor writing back whole.
inline constexpr std::size_t kMaxEchoedName = 256;
std::string shortened(std::string_view text, std::size_t limit = kMaxEchoedName);

class MessengerCore {
 public:
  explicit MessengerCore(DispatchQueue& mainQueue, const MessengerLimits& limits = {})
      : mainQueue_(mainQueue), limits_(limits) {}
  MessengerCore(const MessengerCore&) = delete;
  MessengerCore& operator=(const MessengerCore&) = delete;

  DispatchQueue& mainQueue() const { return mainQueue_; }
  const MessengerLimits& limits() const { return limits_; }

  // Any thread. An empty handler removes the channel's.
  void setHandler(const std::string& channel, FlutterBinaryMessageHandler handler);
  // The handler of |channel|; empty when it has none.
  FlutterBinaryMessageHandler handler(const std::string& channel) const;
  // The handler of the one channel that has one; empty with none or several.
  FlutterBinaryMessageHandler onlyHandler() const;

  void setFinished(std::function<void()> finished);
  // One more message of |bytes| bytes owed a reply, counted before it is handed on;
  // how many have been counted, this one included.
  std::uint64_t countMessage(std::size_t bytes);
  // A counted message of |bytes| bytes was answered (or its reply dropped).
  void settle(std::size_t bytes);
  // No more messages will be counted.
  void endInput();
  // Open while the messages owed are within the limits (see MessengerLimits).
  const Gate& owedRoom() const { return owedRoom_; }

  // Replies wait to be written to one more, or one fewer, interface that may still
  // read them: finishing waits until none do.
  void holdOutput();
  void releaseOutput();

 private:
  // With |mutex_| held.
  void finishIfDone();
  void updateOwedRoom();

  DispatchQueue& mainQueue_;
  const MessengerLimits limits_;
  mutable std::mutex mutex_;
  std::map<std::string, FlutterBinaryMessageHandler> handlers_;
  std::function<void()> finished_;
  std::uint64_t counted_ = 0;
  std::uint64_t settled_ = 0;
  std::size_t owedBytes_ = 0;
  std::size_t outputsHeld_ = 0;
  Gate owedRoom_{true};
  bool inputEnded_ = false;
  bool finishedPosted_ = false;
};

// A reader of requests reads only while every one of its gates is open, and sleeps
// in poll() on those that are closed until one opens.
class ReadingGates {
 public:
  ReadingGates(std::initializer_list<const Gate*> gates) : gates_(gates) {}
  bool open() const;
  // Adds each closed gate to |fds|, to be polled for its opening.
  void addClosed(std::vector<pollfd>& fds) const;

 private:
  std::vector<const Gate*> gates_;
};

// The one-shot reply of a message of |bytes| bytes counted in |core|. |answer| is a
// move-only object with `void operator()(const FlutterMessage&)`, which gets the
// reply's bytes, and `void dropped()`, which runs instead when the reply is
// destroyed unanswered. Either way the message is settled exactly once; a second
// answer is ignored.
template <typename Answer>
FlutterBinaryReply owedReply(std::shared_ptr<MessengerCore> core, Answer answer, std::size_t bytes) {
  struct Pending {
    Pending(std::shared_ptr<MessengerCore> core, Answer answer, std::size_t bytes)
        : core(std::move(core)), answer(std::move(answer)), bytes(bytes) {}
    ~Pending() {
      if (answered) return;
      answer.dropped();
      core->settle(bytes);
    }
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;

    std::shared_ptr<MessengerCore> core;
    Answer answer;
    std::size_t bytes;
    bool answered = false;
  };
  return [pending = std::make_unique<Pending>(std::move(core), std::move(answer), bytes)](FlutterMessage reply) {
    if (pending->answered) return;
    pending->answered = true;
    pending->answer(reply);
    pending->core->settle(pending->bytes);
  };
}

}  // namespace platform::linux_backend
