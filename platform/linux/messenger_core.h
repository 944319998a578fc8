// What the host's messengers share: the handler of each channel, and the count of
// messages still owed a reply, so that the host quits once its input has ended and
// every message read has been answered.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/dispatch.h"
#include "platform/flutter.h"

namespace platform::linux_backend {

// A messenger the host starts once the interface's plug-ins have installed their
// handlers.
class HostMessenger : public FlutterBinaryMessenger {
 public:
  // Starts reading. Once input has ended and every message read has been answered,
  // |finished| runs once on the main queue. Call at most once.
  virtual void start(std::function<void()> finished) = 0;
};

class MessengerCore {
 public:
  explicit MessengerCore(DispatchQueue& mainQueue) : mainQueue_(mainQueue) {}
  MessengerCore(const MessengerCore&) = delete;
  MessengerCore& operator=(const MessengerCore&) = delete;

  DispatchQueue& mainQueue() const { return mainQueue_; }

  // Any thread. An empty handler removes the channel's.
  void setHandler(const std::string& channel, FlutterBinaryMessageHandler handler);
  // The handler of |channel|; empty when it has none.
  FlutterBinaryMessageHandler handler(const std::string& channel) const;
  // The handler of the one channel that has one; empty with none or several.
  FlutterBinaryMessageHandler onlyHandler() const;

  void setFinished(std::function<void()> finished);
  // One more message owed a reply, counted before it is handed on; how many have
  // been counted, this one included.
  std::uint64_t countMessage();
  // A counted message was answered (or its reply dropped).
  void settle();
  // No more messages will be counted.
  void endInput();

 private:
  // With |mutex_| held.
  void finishIfDone();

  DispatchQueue& mainQueue_;
  mutable std::mutex mutex_;
  std::map<std::string, FlutterBinaryMessageHandler> handlers_;
  std::function<void()> finished_;
  std::uint64_t counted_ = 0;
  std::uint64_t settled_ = 0;
  bool inputEnded_ = false;
  bool finishedPosted_ = false;
};

// Both ends of a pipe whose only use is to wake a reader thread out of poll().
class WakePipe {
 public:
  // Throws std::system_error when the pipe cannot be made.
  WakePipe();
  ~WakePipe();
  WakePipe(const WakePipe&) = delete;
  WakePipe& operator=(const WakePipe&) = delete;

  int readEnd() const { return fds_[0]; }
  void wake() const;

 private:
  int fds_[2] = {-1, -1};
};

// The one-shot reply of a message counted in |core|. |answer| is a move-only object
// with `void operator()(const FlutterMessage&)`, which gets the reply's bytes, and
// `void dropped()`, which runs instead when the reply is destroyed unanswered. Either
// way the message is settled exactly once; a second answer is ignored.
template <typename Answer>
FlutterBinaryReply owedReply(std::shared_ptr<MessengerCore> core, Answer answer) {
  struct Pending {
    Pending(std::shared_ptr<MessengerCore> core, Answer answer) : core(std::move(core)), answer(std::move(answer)) {}
    ~Pending() {
      if (answered) return;
      answer.dropped();
      core->settle();
    }
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;

    std::shared_ptr<MessengerCore> core;
    Answer answer;
    bool answered = false;
  };
  return [pending = std::make_unique<Pending>(std::move(core), std::move(answer))](FlutterMessage bytes) {
    if (pending->answered) return;
    pending->answered = true;
    pending->answer(bytes);
    pending->core->settle();
  };
}

}  // namespace platform::linux_backend
