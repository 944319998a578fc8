#include "platform/testing/fakes.h"

namespace platform::testing {

void TestMessenger::setMethodCallHandlerOnChannel(const std::string& channel, FlutterMethodCallHandler handler) {
  if (handler) {
    handlers_[channel] = std::move(handler);
  } else {
    handlers_.erase(channel);
  }
}

std::size_t TestMessenger::send(const std::string& channel, const std::string& method, EncodableValue arguments) {
  const std::size_t index = answers_.size();
  answers_.emplace_back();
  FlutterResult result = [this, index](FlutterResultValue value) {
    answers_[index].push_back(Answer{std::move(value), main_.isCurrent(), loop_.now()});
  };
  auto it = handlers_.find(channel);
  if (it == handlers_.end()) {
    std::move(result)(FlutterMethodNotImplemented);
    return index;
  }
  // The embedding delivers calls on the platform thread: run the handler as work of
  // the main queue, then let what it queued for now run too.
  FlutterMethodCall call(method, std::move(arguments));
  auto handler = it->second;
  // Dispatched work is copied, so the one-shot result travels in a shared cell.
  auto cell = std::make_shared<FlutterResult>(std::move(result));
  main_.async([handler, call, cell] { handler(call, std::move(*cell)); });
  loop_.runUntilIdle();
  return index;
}

}  // namespace platform::testing
