#include "platform/xpc.h"

#include <mutex>
#include <variant>

#include "platform/once.h"

namespace platform {

XPCTransportFactory& xpcTransports();  // backend.cpp

namespace {

NSError xpcError(long code, std::string description) {
  return NSError{"NSCocoaErrorDomain", code, std::move(description)};
}

constexpr long kReplyInvalid = 4101;

bool fits(const XPCValues& values, const std::vector<XPCValueType>& types) {
  if (values.size() != types.size()) return false;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const XPCValue& v = values[i];
    switch (types[i]) {
      case XPCValueType::Bool:
        if (!std::holds_alternative<bool>(v)) return false;
        break;
      case XPCValueType::String:
        if (std::holds_alternative<bool>(v)) return false;
        break;
    }
  }
  return true;
}

}  // namespace

NSXPCInterface NSXPCInterface::interfaceWithProtocol(const XPCProtocolDescription& protocol) {
  return NSXPCInterface(protocol);
}

const XPCMethodSignature* NSXPCInterface::method(std::string_view selector) const {
  for (const auto& m : protocol_->methods) {
    if (m.selector == selector) return &m;
  }
  return nullptr;
}

// Shared with the transport's event callbacks, which may outlive the connection.
struct NSXPCConnection::Handlers {
  std::mutex mutex;
  std::function<void()> invalidation;
  std::function<void()> interruption;

  void run(std::function<void()> Handlers::*which) {
    std::function<void()> handler;
    {
      std::lock_guard lock(mutex);
      handler = this->*which;
    }
    if (handler) handler();
  }
};

NSXPCConnection::NSXPCConnection(std::string name, std::unique_ptr<XPCTransport> transport)
    : serviceName_(std::move(name)),
      handlers_(std::make_shared<Handlers>()),
      transport_(std::move(transport)) {}

NSXPCConnection::~NSXPCConnection() = default;

std::shared_ptr<NSXPCConnection> NSXPCConnection::initWithMachServiceName(const std::string& name,
                                                                          std::uint64_t options) {
  return std::make_shared<NSXPCConnection>(name, xpcTransports().connect(name, options));
}

void NSXPCConnection::setRemoteObjectInterface(NSXPCInterface interface) { interface_ = std::move(interface); }

void NSXPCConnection::setInvalidationHandler(std::function<void()> handler) {
  std::lock_guard lock(handlers_->mutex);
  handlers_->invalidation = std::move(handler);
}

void NSXPCConnection::setInterruptionHandler(std::function<void()> handler) {
  std::lock_guard lock(handlers_->mutex);
  handlers_->interruption = std::move(handler);
}

void NSXPCConnection::resume() {
  if (resumed_) return;
  resumed_ = true;
  std::weak_ptr<Handlers> weak = handlers_;
  XPCTransport::Events events;
  events.invalidated = [weak] {
    if (auto h = weak.lock()) h->run(&Handlers::invalidation);
  };
  events.interrupted = [weak] {
    if (auto h = weak.lock()) h->run(&Handlers::interruption);
  };
  transport_->resume(std::move(events));
}

std::shared_ptr<NSXPCRemoteProxy> NSXPCConnection::remoteObjectProxyWithErrorHandler(XPCErrorHandler errorHandler) {
  return std::make_shared<NSXPCRemoteProxy>(shared_from_this(), std::move(errorHandler));
}

void NSXPCConnection::sendMessage(const std::string& selector, XPCValues arguments, XPCReplyHandler reply,
                                  XPCErrorHandler failure) {
  const XPCMethodSignature* signature = interface_ ? interface_->method(selector) : nullptr;
  if (signature == nullptr || signature->argumentCount != arguments.size() ||
      signature->reply.has_value() != static_cast<bool>(reply)) {
    if (failure) failure(xpcError(kReplyInvalid, "The message " + selector + " is not part of the interface."));
    return;
  }
  XPCMessage message{selector, std::move(arguments), static_cast<bool>(reply)};
  if (!reply) {
    transport_->send(std::move(message), {}, std::move(failure));
    return;
  }
  // A reply is taken once, and only in the shape the interface gives it; anything else
  // counts as a message that could not be delivered. The reply and the failure are the
  // two halves of one outcome: whichever comes first is the message's answer.
  using Outcome = std::variant<XPCValues, NSError>;
  // The outcome holds the transport: released meanwhile, the connection's link lasts
  // until here, and goes (unless another message still awaits) once this has run.
  auto halves = splitOnce<Outcome>(
      [reply = std::move(reply), failure = std::move(failure), signature = *signature,
       keep = transport_](Outcome outcome) {
        if (auto* values = std::get_if<XPCValues>(&outcome); values != nullptr && fits(*values, *signature.reply)) {
          reply(std::move(*values));
        } else if (failure) {
          failure(values != nullptr ? xpcError(kReplyInvalid,
                                               "The reply to " + signature.selector + " does not match the interface.")
                                    : std::get<NSError>(outcome));
        }
      });
  XPCReplyHandler checkedReply = [replied = halves.first](XPCValues values) { replied(Outcome(std::move(values))); };
  XPCErrorHandler checkedFailure = [failed = halves.second](const NSError& error) { failed(Outcome(error)); };
  transport_->send(std::move(message), std::move(checkedReply), std::move(checkedFailure));
}

NSXPCRemoteProxy::NSXPCRemoteProxy(std::shared_ptr<NSXPCConnection> connection, XPCErrorHandler errorHandler)
    : connection_(std::move(connection)), errorHandler_(std::move(errorHandler)) {}

bool NSXPCRemoteProxy::conformsToProtocol(std::string_view protocolName) const {
  return connection_ && connection_->interface_ && connection_->interface_->protocolName() == protocolName;
}

void NSXPCRemoteProxy::send(const std::string& selector, XPCValues arguments, XPCReplyHandler reply) {
  connection_->sendMessage(selector, std::move(arguments), std::move(reply), errorHandler_);
}

}  // namespace platform
