#include "platform/linux/messenger_core.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace platform::linux_backend {

void MessengerCore::setHandler(const std::string& channel, FlutterBinaryMessageHandler handler) {
  std::lock_guard lock(mutex_);
  if (handler) {
    handlers_[channel] = std::move(handler);
  } else {
    handlers_.erase(channel);
  }
}

FlutterBinaryMessageHandler MessengerCore::handler(const std::string& channel) const {
  std::lock_guard lock(mutex_);
  auto it = handlers_.find(channel);
  return it == handlers_.end() ? FlutterBinaryMessageHandler() : it->second;
}

FlutterBinaryMessageHandler MessengerCore::onlyHandler() const {
  std::lock_guard lock(mutex_);
  return handlers_.size() == 1 ? handlers_.begin()->second : FlutterBinaryMessageHandler();
}

void MessengerCore::setFinished(std::function<void()> finished) {
  std::lock_guard lock(mutex_);
  finished_ = std::move(finished);
  finishIfDone();
}

std::uint64_t MessengerCore::countMessage() {
  std::lock_guard lock(mutex_);
  return ++counted_;
}

void MessengerCore::settle() {
  std::lock_guard lock(mutex_);
  ++settled_;
  finishIfDone();
}

void MessengerCore::endInput() {
  std::lock_guard lock(mutex_);
  inputEnded_ = true;
  finishIfDone();
}

void MessengerCore::finishIfDone() {
  if (!inputEnded_ || settled_ != counted_ || finishedPosted_ || !finished_) return;
  finishedPosted_ = true;
  // Handed over, not kept: what it holds (the application, in the host) must not
  // live on through the messenger that the application itself holds.
  mainQueue_.async(std::exchange(finished_, nullptr));
}

WakePipe::WakePipe() {
  if (::pipe2(fds_, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "cannot make a wake-up pipe");
}

WakePipe::~WakePipe() {
  ::close(fds_[0]);
  ::close(fds_[1]);
}

void WakePipe::wake() const {
  const char byte = 0;
  while (::write(fds_[1], &byte, 1) < 0 && errno == EINTR) {
  }
}

}  // namespace platform::linux_backend
