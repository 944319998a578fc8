// The service namespace that stands in for launchd: connections to named services
// over Unix-domain sockets under the system root, with launch on demand.
//
// A job is a property list at <root>/Library/LaunchDaemons/<label>.plist; its running
// service listens on <root>/var/run/<label>.sock. Connecting to a service that does
// not answer binds that socket and starts the job's program with it as fd 3, so the
// connection waits in the backlog until the program accepts it. Like launchd, the
// namespace keeps listening on a socket it bound while it can watch the program: a
// connection that arrives while a run is ending is served by the next run.
#pragma once

#include <asio/io_context.hpp>

#include <memory>
#include <string>

#include "platform/linux/system_root.h"
#include "platform/xpc.h"

namespace platform::linux_backend {

class ServiceNamespace final : public XPCTransportFactory {
 public:
  // |background| is run by one thread that the caller owns; it must outlive every
  // connection made here. The namespace itself may go before its connections.
  ServiceNamespace(asio::io_context& background, SystemRoot root);
  ~ServiceNamespace() override;
  ServiceNamespace(const ServiceNamespace&) = delete;
  ServiceNamespace& operator=(const ServiceNamespace&) = delete;

  // Makes a connection to |serviceName|; nothing is contacted before its first message.
  std::unique_ptr<XPCTransport> connect(const std::string& serviceName, std::uint64_t options) override;

  const SystemRoot& root() const;

  struct Shared;

 private:
  asio::io_context& background_;
  std::shared_ptr<Shared> shared_;
};

// One connection. Its replies, failures and events run in order on a queue of its
// own (a strand of the background context); it may be used from any thread. Once it
// is destroyed nothing of it runs any more, but what was already sent is still
// written out before the socket closes.
class ServiceConnection final : public XPCTransport {
 public:
  struct State;
  explicit ServiceConnection(std::shared_ptr<State> state);
  ~ServiceConnection() override;
  ServiceConnection(const ServiceConnection&) = delete;
  ServiceConnection& operator=(const ServiceConnection&) = delete;

  void resume(Events events) override;
  void send(XPCMessage message, XPCReplyHandler reply, XPCErrorHandler failure) override;

  // True while the calling thread runs this connection's work.
  bool isCurrentQueue() const;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace platform::linux_backend
