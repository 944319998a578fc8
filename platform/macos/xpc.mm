// NSXPCConnection behind the portable connection (platform/xpc.h). The portable layer
// checks each message against the interface and takes each reply once; this maps a
// message's selector to the one send of VLTHelperProtocol that has it, and moves every
// reply, error and connection event onto the connection's own serial queue.
#import <Foundation/Foundation.h>
#import <dispatch/dispatch.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>

#include "helper_link/helper_protocol.h"
#include "platform/macos/VLTHelperProtocol.h"
#include "platform/macos/cocoa.h"
#include "platform/macos/helper_messages.h"

namespace macos_backend {
namespace helper_messages {
namespace {

// The sends, in the order of the protocol's declaration.
constexpr std::array kRows = {
    VLT_ROW(exitHelper, [helper exitHelper]),
    VLT_ROW(getVersionWithCompletion:, [helper getVersionWithCompletion:versionReply(deliver)]),
    VLT_ROW(access:completion:, [helper access:a[0] completion:accessReply(deliver)]),
    VLT_ROW(getTunnelVersion:completion:, [helper getTunnelVersion:a[0] completion:tunnelVersionReply(deliver)]),
    VLT_ROW(iosOn::completion:, [helper iosOn:a[0] :a[1] completion:done(deliver)]),
    VLT_ROW(iosOff:completion:, [helper iosOff:a[0] completion:done(deliver)]),
    VLT_ROW(setHive:ip:port:hive:ipv6Enable:completion:,
            [helper setHive:a[0] ip:a[1] port:a[2] hive:a[3] ipv6Enable:a[4] completion:done(deliver)]),
    VLT_ROW(setToken:app:uid:token:device:version:completion:,
            [helper setToken:a[0] app:a[1] uid:a[2] token:a[3] device:a[4] version:a[5] completion:done(deliver)]),
    VLT_ROW(setForce:state:completion:, [helper setForce:a[0] state:a[1] completion:done(deliver)]),
    VLT_ROW(setRule:rules:completion:, [helper setRule:a[0] rules:a[1] completion:done(deliver)]),
};

constexpr bool followsTheDescription() {
  if (kRows.size() != helper_link::kHelperSelectors.size()) return false;
  for (std::size_t i = 0; i < kRows.size(); ++i) {
    if (kRows[i].selector != helper_link::kHelperSelectors[i]) return false;
  }
  return true;
}
static_assert(followsTheDescription(), "the rows are not the helper protocol's selectors in declaration order");

// How many arguments a message with |selector| carries: one per colon, less the reply.
std::size_t argumentCount(std::string_view selector, bool expectsReply) {
  const auto colons = static_cast<std::size_t>(std::count(selector.begin(), selector.end(), ':'));
  return expectsReply && colons > 0 ? colons - 1 : colons;
}

}  // namespace
}  // namespace helper_messages

namespace {

using namespace helper_messages;

// The portable layer's own error for a message that the interface does not have.
constexpr long kReplyInvalid = 4101;

platform::NSError messageError(const std::string& selector, const char* why) {
  return platform::NSError{"NSCocoaErrorDomain", kReplyInvalid, "The message " + selector + " " + why};
}

class HelperConnection final : public platform::XPCTransport {
 public:
  HelperConnection(const std::string& serviceName, std::uint64_t options)
      : connection_([[NSXPCConnection alloc] initWithMachServiceName:toNSString(serviceName)
                                                              options:static_cast<NSXPCConnectionOptions>(options)]),
        queue_(dispatch_queue_create(("com.veltrino.xpc." + serviceName).c_str(), DISPATCH_QUEUE_SERIAL)) {
    connection_.remoteObjectInterface = [NSXPCInterface interfaceWithProtocol:@protocol(VLTHelperProtocol)];
  }

  // The portable connection lets go of this only once no reply is awaited
  // (platform/xpc.h). What was sent may still be on its way, though: invalidating
  // discards messages not yet sent, so the invalidation waits behind a send barrier,
  // which runs once every message before it has gone out. One never resumed is resumed
  // first, so that it is not released while suspended.
  ~HelperConnection() override {
    if (!resumed_) [connection_ resume];
    NSXPCConnection* connection = connection_;
    [connection scheduleSendBarrierBlock:^{
      [connection invalidate];
    }];
  }

  HelperConnection(const HelperConnection&) = delete;
  HelperConnection& operator=(const HelperConnection&) = delete;

  void resume(Events events) override {
    dispatch_queue_t queue = queue_;
    std::function<void()> invalidated = std::move(events.invalidated);
    std::function<void()> interrupted = std::move(events.interrupted);
    connection_.invalidationHandler = ^{
      if (invalidated) dispatch_async(queue, ^{ invalidated(); });
    };
    connection_.interruptionHandler = ^{
      if (interrupted) dispatch_async(queue, ^{ interrupted(); });
    };
    resumed_ = true;
    [connection_ resume];
  }

  void send(platform::XPCMessage message, platform::XPCReplyHandler reply, platform::XPCErrorHandler failure) override {
    dispatch_queue_t queue = queue_;
    void (^fail)(platform::NSError) = ^(platform::NSError error) {
      if (failure) dispatch_async(queue, ^{ failure(error); });
    };

    const auto row = std::find_if(kRows.begin(), kRows.end(),
                                  [&message](const Row& r) { return r.selector == message.selector; });
    if (row == kRows.end() || message.arguments.size() != argumentCount(message.selector, message.expectsReply)) {
      fail(messageError(message.selector, "is not part of VLTHelperProtocol."));
      return;
    }
    Arguments arguments;
    for (const platform::XPCValue& argument : message.arguments) {
      const auto* text = std::get_if<std::string>(&argument);
      NSString* string = text != nullptr ? toNSString(*text) : nil;
      if (string == nil) {
        fail(messageError(message.selector, "has an argument that is not a UTF-8 string."));
        return;
      }
      arguments.push_back(string);
    }

    Deliver deliver = ^(platform::XPCValues values) {
      if (reply) dispatch_async(queue, ^{ reply(values); });
    };
    // A proxy for each message, so that its error handler stands for this message.
    id<VLTHelperProtocol> helper = [connection_ remoteObjectProxyWithErrorHandler:^(NSError* error) {
      fail(fromNSError(error));
    }];
    row->send(helper, arguments, deliver);
  }

 private:
  NSXPCConnection* connection_;
  // Where replies, errors and the connection's events run, one at a time.
  dispatch_queue_t queue_;
  bool resumed_ = false;
};

class HelperConnections final : public platform::XPCTransportFactory {
 public:
  std::unique_ptr<platform::XPCTransport> connect(const std::string& serviceName, std::uint64_t options) override {
    return std::make_unique<HelperConnection>(serviceName, options);
  }
};

static_assert(platform::NSXPCConnection::NSXPCConnectionPrivileged == NSXPCConnectionPrivileged);

}  // namespace

platform::XPCTransportFactory& xpcTransports() {
  static HelperConnections* const connections = new HelperConnections;
  return *connections;
}

}  // namespace macos_backend
