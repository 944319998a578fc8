// One connection to a service: request and reply frames over a Unix-domain socket.
// Everything it does runs in order on a queue of its own (a strand of the background
// context): sending, reading replies, and the replies, failures and events it hands
// to its owner. It may be used from any thread.
#pragma once

#include <asio/io_context.hpp>

#include "platform/linux/expected.h"
#include <functional>
#include <memory>
#include <string>

#include "platform/linux/unique_fd.h"
#include "platform/xpc.h"

namespace platform::linux_backend {

// Why a service could not be reached: no job answers for it, which invalidates the
// connection, or this attempt failed, which only interrupts it.
enum class Unreachable { NoJob, Failed };

// Reaches the service: a connected socket, or why not. Runs on the connection's queue
// whenever a message finds no socket up, so it may block for a launch.
using ServiceOpener = std::function<Expected<UniqueFd, Unreachable>()>;

// Once the connection is destroyed its events (invalidation, interruption) no longer
// run, but what was already sent still goes out, and the replies it awaits, or their
// failures when the peer goes, still reach their handlers; the socket closes after
// that. Those handlers must therefore not rely on the owner being alive.
class ServiceConnection final : public XPCTransport {
 public:
  // |label| names the service in error texts. |background| is run by one thread; it
  // must outlive the connection's work.
  ServiceConnection(asio::io_context& background, std::string label, ServiceOpener open);
  ~ServiceConnection() override;
  ServiceConnection(const ServiceConnection&) = delete;
  ServiceConnection& operator=(const ServiceConnection&) = delete;

  void resume(Events events) override;
  void send(XPCMessage message, XPCReplyHandler reply, XPCErrorHandler failure) override;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace platform::linux_backend
