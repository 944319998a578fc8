// The registrar's binary messenger, for the portable plug-ins: bytes in NSData each
// way. The method channel, its codec and the one-shot result stay portable
// (platform/flutter.cpp).
#import <Foundation/Foundation.h>

#include <cstdint>

#include "platform/macos/cocoa.h"
#include "platform/macos/flutter_macos.h"

namespace macos_backend {
namespace {

class RegistrarMessenger final : public platform::FlutterBinaryMessenger {
 public:
  explicit RegistrarMessenger(id<FlutterBinaryMessenger> messenger) : messenger_(messenger) {}

  void setMessageHandlerOnChannel(const std::string& channel, platform::FlutterBinaryMessageHandler handler) override {
    NSString* name = toNSString(channel);
    if (!handler) {
      [messenger_ setMessageHandlerOnChannel:name binaryMessageHandler:nil];
      return;
    }
    [messenger_ setMessageHandlerOnChannel:name
                      binaryMessageHandler:^(NSData* message, FlutterBinaryReply reply) {
                        const auto* bytes = static_cast<const std::uint8_t*>(message.bytes);
                        // No reply bytes: not implemented, which the embedding reads from nil.
                        handler(platform::FlutterMessageView(bytes, message.length),
                                [reply](platform::FlutterMessage answer) {
                                  reply(answer.empty() ? nil : [NSData dataWithBytes:answer.data()
                                                                               length:answer.size()]);
                                });
                      }];
  }

 private:
  id<FlutterBinaryMessenger> messenger_;
};

}  // namespace

std::shared_ptr<platform::FlutterPluginRegistrar> portableRegistrar(id<FlutterPluginRegistrar> registrar) {
  return std::make_shared<platform::FlutterPluginRegistrar>(std::make_shared<RegistrarMessenger>(registrar.messenger));
}

}  // namespace macos_backend
