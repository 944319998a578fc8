#include "platform/testing/fakes.h"

#include "platform/flutter/standard_codec.h"

namespace platform::testing {

void TestMessenger::setMessageHandlerOnChannel(const std::string& channel, FlutterBinaryMessageHandler handler) {
  if (handler) {
    handlers_[channel] = std::move(handler);
  } else {
    handlers_.erase(channel);
  }
}

std::size_t TestMessenger::send(const std::string& channel, const std::string& method, EncodableValue arguments) {
  return sendMessage(channel, encodeMethodCall(FlutterMethodCall(method, std::move(arguments))));
}

std::size_t TestMessenger::sendMessage(const std::string& channel, FlutterMessage message) {
  const std::size_t index = answers_.size();
  answers_.emplace_back();
  FlutterBinaryReply reply = [this, index](FlutterMessage bytes) {
    FlutterResultValue value = decodeResult(bytes);
    answers_[index].push_back(Answer{std::move(value), main_.isCurrent(), loop_.now(), std::move(bytes)});
  };
  auto it = handlers_.find(channel);
  if (it == handlers_.end()) {
    std::move(reply)({});
    return index;
  }
  // The embedding delivers messages on the platform thread: run the handler as work of
  // the main queue, then let what it queued for now run too. Dispatched work is
  // copied, so the one-shot reply travels in a shared cell.
  auto cell = std::make_shared<FlutterBinaryReply>(std::move(reply));
  main_.async([handler = it->second, message = std::move(message), cell] { handler(message, std::move(*cell)); });
  loop_.runUntilIdle();
  return index;
}

}  // namespace platform::testing
