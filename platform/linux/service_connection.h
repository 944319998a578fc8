// One connection to a service: request and reply frames over a Unix-domain socket.
// Everything it does runs in order on a queue of its own (a strand of the background
// context): sending, reading replies, and the replies, failures and events it hands
// to its owner. It may be used from any thread.
#pragma once

#include <asio/io_context.hpp>

#include "platform/linux/expected.h"
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/unique_fd.h"
#include "platform/xpc.h"

namespace platform::linux_backend {

// Why a service could not be reached: no job answers for it, which invalidates the
// connection, or this attempt failed, which only interrupts it.
enum class Unreachable { NoJob, Failed };

// Reaches the service: a connected socket, or why not. Runs on the connection's queue
// whenever a message finds no socket up, so it may block for a launch.
using ServiceOpener = std::function<Expected<UniqueFd, Unreachable>()>;

// The connections of one namespace, for the end of the process (see abandonAll).
class ConnectionRegistry {
 public:
  struct Member {
    virtual ~Member() = default;
    virtual void abandon() = 0;
  };
  void add(const std::shared_ptr<Member>& member);
  // Ends every connection's link at once, after one last attempt to write what it has
  // queued, and drops what it still awaits without running it. Only once the
  // background thread has stopped: nothing else may touch the connections meanwhile.
  void abandonAll();

 private:
  std::mutex mutex_;
  std::vector<std::weak_ptr<Member>> members_;
};

// Once the connection is destroyed its events (invalidation, interruption) no longer
// run; what was already sent still goes out, then the socket closes. The portable
// connection lets go of it only when no reply is awaited any more (platform/xpc.h).
class ServiceConnection final : public XPCTransport {
 public:
  // |label| names the service in error texts. |background| is run by one thread; it
  // must outlive the connection's work. |registry|, when given, lists the connection.
  ServiceConnection(asio::io_context& background, std::string label, ServiceOpener open,
                    ConnectionRegistry* registry = nullptr);
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
