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

  // Makes a ServiceConnection to |serviceName|; nothing is contacted before its first
  // message.
  std::unique_ptr<XPCTransport> connect(const std::string& serviceName, std::uint64_t options) override;

  // For when the application quits: from now on no connection made here runs a
  // handler of its owner (replies, failures and events are dropped, while what was
  // sent still goes out). Returns once a handler that was running has returned, so
  // not from inside one.
  void stopDelivering();

  class Gate;

 private:
  class Launcher;
  asio::io_context& background_;
  std::shared_ptr<Launcher> launcher_;
  std::shared_ptr<Gate> gate_;
};

}  // namespace platform::linux_backend
