// Stands for the Flutter desktop embedding: method calls and their one-shot results,
// errors, method channels, the binary messenger, plug-ins and their registrars. The
// messenger carries bytes, as an engine does; the method channel turns them into
// calls and answers with the standard method codec (platform/flutter), so nothing
// above this layer sees bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/once.h"

namespace platform {

// A value as the standard method codec delivers it: null, a boolean, a number, a
// string, a list or a map (whose keys may be any value).
struct EncodableValue;
// The deepest nesting a codec delivers; values are copied and freed recursively, so a
// messenger refuses deeper input rather than hand it on.
inline constexpr int kMaxEncodableDepth = 256;
using EncodableList = std::vector<EncodableValue>;
using EncodableMap = std::vector<std::pair<EncodableValue, EncodableValue>>;
struct EncodableValue
    : std::variant<std::monostate, bool, std::int64_t, double, std::string, EncodableList, EncodableMap> {
  using variant::variant;
  bool isNull() const { return std::holds_alternative<std::monostate>(*this); }
};

class FlutterMethodCall {
 public:
  FlutterMethodCall(std::string method, EncodableValue arguments)
      : method_(std::move(method)), arguments_(std::move(arguments)) {}
  const std::string& method() const { return method_; }
  const EncodableValue& arguments() const { return arguments_; }

 private:
  std::string method_;
  EncodableValue arguments_;
};

struct FlutterError {
  std::string code;
  std::optional<std::string> message;
  // Details are always absent in this host.

  static FlutterError errorWithCode(std::string code, std::optional<std::string> message) {
    return FlutterError{std::move(code), std::move(message)};
  }
  friend bool operator==(const FlutterError&, const FlutterError&) = default;
};

struct FlutterMethodNotImplementedType {
  friend bool operator==(FlutterMethodNotImplementedType, FlutterMethodNotImplementedType) { return true; }
};
inline constexpr FlutterMethodNotImplementedType FlutterMethodNotImplemented{};

// What a method call is answered with: nil, a string, an error, or not-implemented.
using FlutterResultValue = std::variant<std::nullptr_t, std::string, FlutterError, FlutterMethodNotImplementedType>;

// The one-shot result callback of a method call: it is moved, never copied, and
// answering uses it up, as std::move(result)(value) says where it happens.
using FlutterResult = OnceFunction<void(FlutterResultValue)>;

using FlutterMethodCallHandler = std::function<void(const FlutterMethodCall&, FlutterResult)>;

// One message on a channel, as the standard codecs write it.
using FlutterMessage = std::vector<std::uint8_t>;
using FlutterMessageView = std::span<const std::uint8_t>;
// The one-shot reply to a message: the reply's bytes; none (empty) means "not
// implemented", and is what a channel without a handler answers.
using FlutterBinaryReply = OnceFunction<void(FlutterMessage reply)>;
using FlutterBinaryMessageHandler = std::function<void(FlutterMessageView message, FlutterBinaryReply reply)>;

// The embedding's messenger: bytes in, bytes out, a handler per channel name.
class FlutterBinaryMessenger {
 public:
  virtual ~FlutterBinaryMessenger() = default;
  // Installs |handler| for messages on |channel|, replacing any earlier one; an empty
  // handler removes it.
  virtual void setMessageHandlerOnChannel(const std::string& channel, FlutterBinaryMessageHandler handler) = 0;
};

// The error code of the answer to a message that is not a method call.
inline constexpr const char* kMalformedMethodCall = "malformed_method_call";

class FlutterMethodChannel {
 public:
  static std::shared_ptr<FlutterMethodChannel> methodChannelWithName(std::string name,
                                                                     std::shared_ptr<FlutterBinaryMessenger> messenger);
  const std::string& name() const { return name_; }
  void setMethodCallHandler(FlutterMethodCallHandler handler);

  FlutterMethodChannel(std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger);

 private:
  std::string name_;
  std::shared_ptr<FlutterBinaryMessenger> messenger_;
};

class FlutterPlugin {
 public:
  virtual ~FlutterPlugin() = default;
  virtual void handleMethodCall(const FlutterMethodCall& call, FlutterResult result) = 0;
};

// Hands a plug-in the messenger and keeps its method-call delegates alive for as
// long as the registrar lives (the life of the process, in the app).
class FlutterPluginRegistrar {
 public:
  explicit FlutterPluginRegistrar(std::shared_ptr<FlutterBinaryMessenger> messenger)
      : messenger_(std::move(messenger)) {}
  virtual ~FlutterPluginRegistrar() = default;
  std::shared_ptr<FlutterBinaryMessenger> messenger() const { return messenger_; }
  virtual void addMethodCallDelegate(std::shared_ptr<FlutterPlugin> delegate,
                                     std::shared_ptr<FlutterMethodChannel> channel);

 private:
  std::shared_ptr<FlutterBinaryMessenger> messenger_;
  std::vector<std::shared_ptr<FlutterPlugin>> delegates_;
};

}  // namespace platform
