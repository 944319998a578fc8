#include "platform/flutter.h"

#include "platform/flutter/standard_codec.h"

namespace platform {

FlutterMethodChannel::FlutterMethodChannel(std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger)
    : name_(std::move(name)), messenger_(std::move(messenger)) {}

std::shared_ptr<FlutterMethodChannel> FlutterMethodChannel::methodChannelWithName(
    std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger) {
  return std::make_shared<FlutterMethodChannel>(std::move(name), std::move(messenger));
}

void FlutterMethodChannel::setMethodCallHandler(FlutterMethodCallHandler handler) {
  if (!handler) {
    messenger_->setMessageHandlerOnChannel(name_, {});
    return;
  }
  messenger_->setMessageHandlerOnChannel(
      name_, [handler = std::move(handler)](FlutterMessageView message, FlutterBinaryReply reply) {
        auto call = decodeMethodCall(message);
        if (const auto* error = std::get_if<CodecError>(&call)) {
          std::move(reply)(encodeErrorEnvelope(
              kMalformedMethodCall, "not a method call: " + error->reason + " at byte " + std::to_string(error->offset)));
          return;
        }
        handler(std::get<FlutterMethodCall>(call),
                [reply = std::move(reply)](FlutterResultValue value) mutable { std::move(reply)(encodeResult(value)); });
      });
}

void FlutterPluginRegistrar::addMethodCallDelegate(std::shared_ptr<FlutterPlugin> delegate,
                                                   std::shared_ptr<FlutterMethodChannel> channel) {
  // The channel holds the delegate weakly; the registrar is the owner.
  std::weak_ptr<FlutterPlugin> weak = delegate;
  channel->setMethodCallHandler([weak](const FlutterMethodCall& call, FlutterResult result) {
    if (auto plugin = weak.lock()) {
      plugin->handleMethodCall(call, std::move(result));
    } else {
      std::move(result)(FlutterMethodNotImplemented);
    }
  });
  delegates_.push_back(std::move(delegate));
}

}  // namespace platform
