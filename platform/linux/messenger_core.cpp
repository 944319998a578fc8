#include "platform/linux/messenger_core.h"

namespace platform::linux_backend {

std::string shortened(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t cut = limit;
  // Continuation bytes are 10xxxxxx: back up to the start of the character cut into.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "...";
}

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

std::uint64_t MessengerCore::countMessage(std::size_t bytes) {
  std::lock_guard lock(mutex_);
  owedBytes_ += bytes;
  ++counted_;
  updateOwedRoom();
  return counted_;
}

void MessengerCore::settle(std::size_t bytes) {
  std::lock_guard lock(mutex_);
  owedBytes_ -= bytes;
  ++settled_;
  updateOwedRoom();
  finishIfDone();
}

void MessengerCore::endInput() {
  std::lock_guard lock(mutex_);
  inputEnded_ = true;
  finishIfDone();
}

void MessengerCore::holdOutput() {
  std::lock_guard lock(mutex_);
  ++outputsHeld_;
}

void MessengerCore::releaseOutput() {
  std::lock_guard lock(mutex_);
  --outputsHeld_;
  finishIfDone();
}

void MessengerCore::updateOwedRoom() {
  const std::uint64_t owed = counted_ - settled_;
  if (owedRoom_.isOpen()) {
    if (owed >= limits_.owedCalls || owedBytes_ >= limits_.owedBytes) owedRoom_.set(false);
  } else if (owed <= limits_.owedCalls / 2 && owedBytes_ <= limits_.owedBytes / 2) {
    owedRoom_.set(true);
  }
}

void MessengerCore::finishIfDone() {
  if (!inputEnded_ || settled_ != counted_ || outputsHeld_ != 0 || finishedPosted_ || !finished_) return;
  finishedPosted_ = true;
  // Handed over, not kept: what it holds (the application, in the host) must not
  // live on through the messenger that the application itself holds.
  mainQueue_.async(std::exchange(finished_, nullptr));
}

bool ReadingGates::open() const {
  for (const Gate* gate : gates_) {
    if (!gate->isOpen()) return false;
  }
  return true;
}

void ReadingGates::addClosed(std::vector<pollfd>& fds) const {
  for (const Gate* gate : gates_) {
    if (!gate->isOpen()) fds.push_back({gate->fd(), POLLIN, 0});
  }
}

}  // namespace platform::linux_backend
