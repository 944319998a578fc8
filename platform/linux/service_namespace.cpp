#include "platform/linux/service_namespace.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <asio/bind_executor.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>

#include "platform/linux/detached_process.h"
#include "platform/linux/launch_job.h"
#include "platform/linux/unique_fd.h"
#include "platform/linux/wire.h"

namespace platform::linux_backend {
namespace {

using Stream = asio::local::stream_protocol;

NSError interrupted() { return NSError{"NSCocoaErrorDomain", 4097, "Couldn't communicate with a helper application."}; }

NSError invalid(const std::string& label) {
  return NSError{"NSCocoaErrorDomain", 4099, "The connection to service named " + label + " was invalidated."};
}

NSError tooLarge(const std::string& selector) {
  return NSError{"NSCocoaErrorDomain", 4097, "The message " + selector + " is too large to send."};
}

// A label names files under the root, so it may not climb out of their folders.
bool usableLabel(const std::string& label) {
  return !label.empty() && label != "." && label != ".." && label.find('/') == std::string::npos &&
         label.find('\0') == std::string::npos;
}

bool socketAddress(const std::filesystem::path& path, sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  const std::string& native = path.native();
  if (native.size() >= sizeof(address.sun_path)) return false;
  std::memcpy(address.sun_path, native.c_str(), native.size() + 1);
  return true;
}

// Connects to the socket at |path|; on failure |error| holds the errno.
UniqueFd connectTo(const std::filesystem::path& path, int& error) {
  sockaddr_un address;
  if (!socketAddress(path, address)) {
    error = ENAMETOOLONG;
    return UniqueFd();
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    error = errno;
    return fd;
  }
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    error = errno;
    return UniqueFd();
  }
  return fd;
}

}  // namespace

struct ServiceNamespace::Shared {
  explicit Shared(SystemRoot r) : root(std::move(r)) {}
  SystemRoot root;
  // One launch at a time, so two connections never start the same job twice.
  std::mutex launchMutex;
};

namespace {

struct Outgoing {
  std::string bytes;
  XPCErrorHandler oneWayFailure;  // for a message that awaits no reply
};

// One socket to the service; a new one replaces it after the peer went away.
struct Link {
  explicit Link(asio::io_context& io) : socket(io) {}
  Stream::socket socket;
  wire::FrameDecoder decoder;
  std::array<char, 65536> buffer{};
  std::deque<Outgoing> queue;  // the front one is being written
  bool writing = false;
};

enum class Reach { Connected, NoJob, Failed };

}  // namespace

struct ServiceConnection::State : std::enable_shared_from_this<ServiceConnection::State> {
  State(asio::io_context& io, std::shared_ptr<ServiceNamespace::Shared> shared, std::string name)
      : io(io), strand(asio::make_strand(io)), ns(std::move(shared)), label(std::move(name)) {}

  asio::io_context& io;
  asio::strand<asio::io_context::executor_type> strand;
  std::shared_ptr<ServiceNamespace::Shared> ns;
  const std::string label;

  // Held while a handler of the owner runs, and by the destructor while it marks the
  // connection closed: once the destructor returns no handler starts again. Recursive,
  // because a handler may itself drop the last reference.
  std::recursive_mutex callbackMutex;
  bool closed = false;

  // Touched on the strand only.
  Events events;
  bool invalidated = false;
  bool closing = false;
  std::shared_ptr<Link> link;
  struct Pending {
    XPCReplyHandler reply;
    XPCErrorHandler failure;
  };
  std::map<std::uint64_t, Pending> pending;
  std::uint64_t nextId = 1;

  template <typename F>
  void deliver(F&& f) {
    std::lock_guard lock(callbackMutex);
    if (!closed) f();
  }

  void fail(const XPCErrorHandler& failure, const NSError& error) {
    if (failure) deliver([&] { failure(error); });
  }

  void handleSend(XPCMessage message, XPCReplyHandler reply, XPCErrorHandler failure) {
    if (!invalidated && !link) {
      Reach reach = establish();
      if (reach == Reach::NoJob) invalidate();
      if (reach == Reach::Failed) {
        fail(failure, interrupted());
        return;
      }
    }
    if (invalidated) {
      fail(failure, invalid(label));
      return;
    }
    wire::Request request{message.selector, std::move(message.arguments), std::nullopt};
    if (reply) request.id = nextId++;
    auto frame = wire::encodeFrame(request);
    if (!frame) {
      fail(failure, tooLarge(message.selector));
      return;
    }
    if (reply) {
      pending.emplace(*request.id, Pending{std::move(reply), std::move(failure)});
      link->queue.push_back(Outgoing{std::move(*frame), {}});
    } else {
      link->queue.push_back(Outgoing{std::move(*frame), std::move(failure)});
    }
    startWriting(link);
  }

  Reach establish() {
    if (!usableLabel(label)) return Reach::NoJob;
    std::lock_guard lock(ns->launchMutex);
    const auto socketPath = ns->root.serviceSocket(label);
    int error = 0;
    UniqueFd fd = connectTo(socketPath, error);
    if (!fd && (error == ENOENT || error == ECONNREFUSED)) {
      auto job = readLaunchJob(ns->root.jobPlist(label));
      const bool answersHere = job && job->label == label &&
                               std::find(job->machServices.begin(), job->machServices.end(), label) !=
                                   job->machServices.end();
      if (!answersHere) return Reach::NoJob;
      fd = launch(*job, socketPath);
    }
    if (!fd) return Reach::Failed;
    auto fresh = std::make_shared<Link>(io);
    std::error_code ec;
    fresh->socket.assign(Stream(), fd.get(), ec);
    if (ec) return Reach::Failed;
    fd.release();
    link = fresh;
    startReading(fresh);
    return Reach::Connected;
  }

  // Binds the service socket, connects to it (the connection waits in the backlog)
  // and hands the listening end to the job's program.
  UniqueFd launch(const LaunchJob& job, const std::filesystem::path& socketPath) {
    std::error_code ec;
    std::filesystem::create_directories(socketPath.parent_path(), ec);
    const auto logPath = ns->root.serviceLog(label);
    std::filesystem::create_directories(logPath.parent_path(), ec);
    sockaddr_un address;
    if (!socketAddress(socketPath, address)) return UniqueFd();
    ::unlink(socketPath.c_str());  // a stale socket of a program that is gone
    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener) return UniqueFd();
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) return UniqueFd();
    if (::chmod(socketPath.c_str(), 0600) != 0 || ::listen(listener.get(), SOMAXCONN) != 0) {
      ::unlink(socketPath.c_str());
      return UniqueFd();
    }
    int error = 0;
    UniqueFd client = connectTo(socketPath, error);
    if (!client) {
      ::unlink(socketPath.c_str());
      return client;
    }
    DetachedLaunch program;
    program.arguments = job.programArguments;
    program.environment = {"VELTRINO_SYSTEM_ROOT=" + std::filesystem::absolute(ns->root.root(), ec).string()};
    program.listeningSocket = listener.get();
    program.logFile = logPath;
    std::string failure;
    if (!startDetached(program, failure)) {
      ::unlink(socketPath.c_str());
      return UniqueFd();
    }
    return client;
  }

  void invalidate() {
    if (invalidated) return;
    invalidated = true;
    failPending(invalid(label));
    deliver([&] {
      if (events.invalidated) events.invalidated();
    });
  }

  void failPending(const NSError& error) {
    auto failing = std::move(pending);
    pending.clear();
    for (auto& [id, p] : failing) fail(p.failure, error);
  }

  void startReading(const std::shared_ptr<Link>& current) {
    current->socket.async_read_some(
        asio::buffer(current->buffer),
        asio::bind_executor(strand, [self = shared_from_this(), current](std::error_code ec, std::size_t n) {
          self->onRead(current, ec, n);
        }));
  }

  void onRead(const std::shared_ptr<Link>& current, std::error_code ec, std::size_t n) {
    if (link != current) return;
    if (ec) {
      peerGone();
      return;
    }
    current->decoder.feed(std::string_view(current->buffer.data(), n));
    while (auto message = current->decoder.next()) {
      auto* reply = std::get_if<wire::Reply>(&*message);
      // Only replies to calls in flight may come back; anything else breaks the link.
      auto it = reply != nullptr ? pending.find(reply->id) : pending.end();
      if (it == pending.end()) {
        peerGone();
        return;
      }
      auto handler = std::move(it->second.reply);
      pending.erase(it);
      deliver([&] { handler(std::move(reply->values)); });
      if (link != current) return;
    }
    if (current->decoder.failed()) {
      peerGone();
      return;
    }
    startReading(current);
  }

  void startWriting(const std::shared_ptr<Link>& current) {
    if (current->writing || current->queue.empty()) return;
    current->writing = true;
    asio::async_write(
        current->socket, asio::buffer(current->queue.front().bytes),
        asio::bind_executor(strand, [self = shared_from_this(), current](std::error_code ec, std::size_t) {
          self->onWritten(current, ec);
        }));
  }

  void onWritten(const std::shared_ptr<Link>& current, std::error_code ec) {
    current->writing = false;
    if (link != current) return;
    if (ec) {
      peerGone();
      return;
    }
    current->queue.pop_front();
    if (closing && current->queue.empty()) {
      finishClose();
      return;
    }
    startWriting(current);
  }

  // The peer went away: what waits for it fails, then the owner hears of the
  // interruption; the next message connects again.
  void peerGone() {
    auto gone = std::move(link);
    link.reset();
    std::error_code ignored;
    gone->socket.close(ignored);
    if (closing) {
      finishClose();
      return;
    }
    std::vector<XPCErrorHandler> undelivered;
    for (auto& out : gone->queue) {
      if (out.oneWayFailure) undelivered.push_back(std::move(out.oneWayFailure));
    }
    gone->queue.clear();
    const NSError error = interrupted();
    failPending(error);
    for (auto& failure : undelivered) fail(failure, error);
    deliver([&] {
      if (events.interrupted) events.interrupted();
    });
  }

  void beginClose() {
    closing = true;
    if (!link || link->queue.empty()) finishClose();
  }

  void finishClose() {
    if (link) {
      std::error_code ignored;
      link->socket.shutdown(Stream::socket::shutdown_both, ignored);
      link->socket.close(ignored);
      link.reset();
    }
    pending.clear();
    events = {};
  }
};

ServiceNamespace::ServiceNamespace(asio::io_context& background, SystemRoot root)
    : background_(background), shared_(std::make_shared<Shared>(std::move(root))) {}

ServiceNamespace::~ServiceNamespace() = default;

const SystemRoot& ServiceNamespace::root() const { return shared_->root; }

std::unique_ptr<XPCTransport> ServiceNamespace::connect(const std::string& serviceName, std::uint64_t) {
  // Every job here is a system job, so the privileged option changes nothing.
  return std::make_unique<ServiceConnection>(
      std::make_shared<ServiceConnection::State>(background_, shared_, serviceName));
}

ServiceConnection::ServiceConnection(std::shared_ptr<State> state) : state_(std::move(state)) {}

ServiceConnection::~ServiceConnection() {
  {
    std::lock_guard lock(state_->callbackMutex);
    state_->closed = true;
  }
  // Queued after every message already sent, so those are still written out.
  asio::post(state_->strand, [state = state_] { state->beginClose(); });
}

void ServiceConnection::resume(Events events) {
  asio::post(state_->strand, [state = state_, events = std::move(events)]() mutable {
    state->events = std::move(events);
  });
}

void ServiceConnection::send(XPCMessage message, XPCReplyHandler reply, XPCErrorHandler failure) {
  asio::post(state_->strand, [state = state_, message = std::move(message), reply = std::move(reply),
                              failure = std::move(failure)]() mutable {
    state->handleSend(std::move(message), std::move(reply), std::move(failure));
  });
}

bool ServiceConnection::isCurrentQueue() const { return state_->strand.running_in_this_thread(); }

}  // namespace platform::linux_backend
