// Stands for NSXPCConnection: a connection to a named service, described by a remote
// object interface, with invalidation and interruption handlers and a remote proxy.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/dispatch.h"
#include "platform/foundation.h"

namespace platform {

// What travels in a message: nil, a boolean or a string.
using XPCValue = std::variant<std::monostate, bool, std::string>;
using XPCValues = std::vector<XPCValue>;

enum class XPCValueType { Bool, String /* a string object, which may be nil */ };

struct XPCMethodSignature {
  std::string selector;
  std::size_t argumentCount = 0;
  // The reply block's parameters; none for a one-way message.
  std::optional<std::vector<XPCValueType>> reply;
};

struct XPCProtocolDescription {
  std::string name;
  std::vector<XPCMethodSignature> methods;
};

class NSXPCInterface {
 public:
  static NSXPCInterface interfaceWithProtocol(const XPCProtocolDescription& protocol);
  const std::string& protocolName() const { return protocol_->name; }
  const XPCMethodSignature* method(std::string_view selector) const;
  // Keeps the description, and every signature in it, alive for as long as it is held.
  const std::shared_ptr<const XPCProtocolDescription>& description() const { return protocol_; }

 private:
  explicit NSXPCInterface(XPCProtocolDescription protocol)
      : protocol_(std::make_shared<const XPCProtocolDescription>(std::move(protocol))) {}
  std::shared_ptr<const XPCProtocolDescription> protocol_;
};

struct XPCMessage {
  std::string selector;
  XPCValues arguments;
  bool expectsReply = false;
};

using XPCReplyHandler = std::function<void(XPCValues)>;
using XPCErrorHandler = std::function<void(const NSError&)>;

// One backend connection. Everything it reports runs on its own serial queue.
//
// Its owner keeps it until it no longer awaits a reply: a connection released with
// messages in flight lives on until each has had its reply or failure (platform/xpc.cpp).
// Destroying a transport therefore only ends the link: what was sent still goes out
// first, no event is reported any more, and whatever it still awaits (only at the
// end of the process) is dropped without a call.
class XPCTransport {
 public:
  struct Events {
    std::function<void()> invalidated;
    std::function<void()> interrupted;
  };
  virtual ~XPCTransport() = default;
  virtual void resume(Events events) = 0;
  // Sends |message|. For a message that expects a reply exactly one of |reply| and
  // |failure| runs later; for a one-way message only |failure| may run, when the
  // message cannot be delivered.
  virtual void send(XPCMessage message, XPCReplyHandler reply, XPCErrorHandler failure) = 0;
};

class XPCTransportFactory {
 public:
  virtual ~XPCTransportFactory() = default;
  virtual std::unique_ptr<XPCTransport> connect(const std::string& serviceName, std::uint64_t options) = 0;
};

class NSXPCRemoteProxy;

// Once released, a connection reports no more interruption or invalidation, but a
// message sent before still gets its reply, or its failure when the peer goes: the
// link ends only after that.
class NSXPCConnection : public std::enable_shared_from_this<NSXPCConnection> {
 public:
  static constexpr std::uint64_t NSXPCConnectionPrivileged = 1u << 12;

  static std::shared_ptr<NSXPCConnection> initWithMachServiceName(const std::string& name, std::uint64_t options);
  ~NSXPCConnection();
  NSXPCConnection(const NSXPCConnection&) = delete;
  NSXPCConnection& operator=(const NSXPCConnection&) = delete;

  const std::string& serviceName() const { return serviceName_; }
  void setRemoteObjectInterface(NSXPCInterface interface);
  void setInvalidationHandler(std::function<void()> handler);
  void setInterruptionHandler(std::function<void()> handler);
  void resume();

  // A proxy that forwards the interface's messages to the service. When a message
  // cannot be delivered, |errorHandler| runs instead of its reply.
  std::shared_ptr<NSXPCRemoteProxy> remoteObjectProxyWithErrorHandler(XPCErrorHandler errorHandler);

  // Used by proxies: checks the message against the interface and hands it on. The
  // reply runs at most once, and only when its values fit the interface.
  void sendMessage(const std::string& selector, XPCValues arguments, XPCReplyHandler reply,
                   XPCErrorHandler failure);

  struct Handlers;
  // |transport| was made for |name| and the connection's options.
  NSXPCConnection(std::string name, std::unique_ptr<XPCTransport> transport);

 private:
  friend class NSXPCRemoteProxy;
  std::string serviceName_;
  std::optional<NSXPCInterface> interface_;
  std::shared_ptr<Handlers> handlers_;
  // Shared with every message that awaits a reply, so that the transport outlives the
  // connection's release until the last of them has its answer.
  std::shared_ptr<XPCTransport> transport_;
  bool resumed_ = false;
};

class NSXPCRemoteProxy {
 public:
  NSXPCRemoteProxy(std::shared_ptr<NSXPCConnection> connection, XPCErrorHandler errorHandler);
  bool conformsToProtocol(std::string_view protocolName) const;
  // Sends one message; |reply| is empty for a one-way message.
  void send(const std::string& selector, XPCValues arguments, XPCReplyHandler reply = {});
  const std::shared_ptr<NSXPCConnection>& connection() const { return connection_; }

 private:
  std::shared_ptr<NSXPCConnection> connection_;
  XPCErrorHandler errorHandler_;
  std::string protocolName_;
};

}  // namespace platform
