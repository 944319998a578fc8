#include "platform/linux/service_namespace.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <asio/bind_executor.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/posix/stream_descriptor.hpp>
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
#include "platform/linux/wire/wire.h"

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

enum class Reach { Connected, NoJob, Failed };

}  // namespace

// The namespace's side of each service: launching, and the socket it keeps listening.
struct ServiceNamespace::Shared : std::enable_shared_from_this<ServiceNamespace::Shared> {
  Shared(asio::io_context& context, SystemRoot r) : io(context), root(std::move(r)) {}

  asio::io_context& io;
  SystemRoot root;
  // One launch at a time, so two connections never start the same job twice.
  std::mutex mutex;

  // A service whose socket this namespace bound. Like launchd it keeps listening there
  // across runs of the program: a connection made while a run is ending waits in the
  // backlog for the next run instead of being refused or reset.
  struct Service {
    UniqueFd listener;
    // The run that has not been seen to end yet; none when nothing runs.
    std::shared_ptr<asio::posix::stream_descriptor> program;
    // The run was started for connections left waiting by the run before it.
    bool restarted = false;
    // Whether the end of |program| is being waited for on the background context.
    bool watching = false;
  };
  std::map<std::string, Service> services;
  // Runs are watched only while connections exist, so that a background context
  // with no connections left runs out of work and its thread can end.
  std::size_t liveConnections = 0;

  void connectionOpened() {
    std::lock_guard lock(mutex);
    ++liveConnections;
  }

  void connectionClosed() {
    std::lock_guard lock(mutex);
    if (--liveConnections > 0) return;
    asio::post(io, [self = shared_from_this()] { self->stopWatching(); });
  }

  // A connection to |label|'s service, launching its job when nothing answers.
  Reach open(const std::string& label, UniqueFd& connection) {
    std::lock_guard lock(mutex);
    const auto path = root.serviceSocket(label);
    int error = 0;
    if (auto it = services.find(label); it != services.end()) {
      if (it->second.program && ended(*it->second.program)) {
        it->second.program.reset();
        it->second.watching = false;
      }
      UniqueFd client = connectTo(path, error);
      if (client) {
        if (!it->second.program) {
          // Nothing runs for it: this connection starts the next run.
          auto job = jobFor(label);
          if (!job) {
            withdraw(label);
            return Reach::NoJob;
          }
          if (!launch(label, it->second, *job)) {
            withdraw(label);
            return Reach::Failed;
          }
          it->second.restarted = false;
        }
        watch(label);
        connection = std::move(client);
        return Reach::Connected;
      }
      // The socket file went away under us: start over.
      withdraw(label);
    }

    UniqueFd client = connectTo(path, error);
    if (client) {
      // Served by a program that someone else started.
      connection = std::move(client);
      return Reach::Connected;
    }
    if (error != ENOENT && error != ECONNREFUSED) return Reach::Failed;
    auto job = jobFor(label);
    if (!job) return Reach::NoJob;
    Service service;
    service.listener = listenAt(path);
    if (!service.listener) return Reach::Failed;
    // Connected before the program starts: it waits in the backlog, no polling.
    client = connectTo(path, error);
    if (!client || !launch(label, service, *job)) {
      ::unlink(path.c_str());
      return Reach::Failed;
    }
    // Without a way to see the run end, the program alone keeps the socket.
    if (service.program) {
      services[label] = std::move(service);
      watch(label);
    }
    connection = std::move(client);
    return Reach::Connected;
  }

 private:
  static bool ended(asio::posix::stream_descriptor& run) {
    pollfd state{run.native_handle(), POLLIN, 0};
    return ::poll(&state, 1, 0) > 0;
  }

  std::optional<LaunchJob> jobFor(const std::string& label) const {
    auto job = readLaunchJob(root.jobPlist(label));
    const bool answers = job && job->label == label &&
                         std::find(job->machServices.begin(), job->machServices.end(), label) !=
                             job->machServices.end();
    if (!answers) return std::nullopt;
    return job;
  }

  UniqueFd listenAt(const std::filesystem::path& path) const {
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    sockaddr_un address;
    if (!socketAddress(path, address)) return UniqueFd();
    ::unlink(path.c_str());  // a stale socket of a program that is gone
    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener) return listener;
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) return UniqueFd();
    if (::chmod(path.c_str(), 0600) != 0 || ::listen(listener.get(), SOMAXCONN) != 0) {
      ::unlink(path.c_str());
      return UniqueFd();
    }
    return listener;
  }

  // Starts the job's program on |service|'s socket.
  bool launch(const std::string& label, Service& service, const LaunchJob& job) {
    std::error_code ec;
    const auto logPath = root.serviceLog(label);
    std::filesystem::create_directories(logPath.parent_path(), ec);
    DetachedLaunch program;
    program.arguments = job.programArguments;
    program.environment = {"VELTRINO_SYSTEM_ROOT=" + std::filesystem::absolute(root.root(), ec).string()};
    program.listeningSocket = service.listener.get();
    program.logFile = logPath;
    pid_t pid = 0;
    std::string failure;
    if (!startDetached(program, pid, failure)) return false;
    service.program.reset();
    service.watching = false;
    UniqueFd run(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (run) service.program = std::make_shared<asio::posix::stream_descriptor>(io, run.release());
    return true;
  }

  // Waits for the end of |label|'s run, unless that is already being done.
  void watch(const std::string& label) {
    auto it = services.find(label);
    if (it == services.end() || !it->second.program || it->second.watching) return;
    it->second.watching = true;
    auto run = it->second.program;
    run->async_wait(asio::posix::descriptor_base::wait_read, [self = shared_from_this(), label, run](std::error_code ec) {
      if (ec != asio::error::operation_aborted) self->programEnded(label, run);
    });
  }

  void stopWatching() {
    std::lock_guard lock(mutex);
    if (liveConnections > 0) return;
    for (auto& [label, service] : services) {
      if (!service.watching) continue;
      std::error_code ignored;
      service.program->cancel(ignored);
      service.watching = false;
    }
  }

  void programEnded(const std::string& label, const std::shared_ptr<asio::posix::stream_descriptor>& run) {
    std::lock_guard lock(mutex);
    auto it = services.find(label);
    if (it == services.end() || it->second.program != run) return;
    Service& service = it->second;
    service.program.reset();
    service.watching = false;
    pollfd waiting{service.listener.get(), POLLIN, 0};
    if (::poll(&waiting, 1, 0) <= 0 || (waiting.revents & POLLIN) == 0) return;
    // A connection that came in while the run was ending starts the next run. When
    // that run ends with connections still waiting too, the program is not getting
    // anywhere: they are let go rather than starting it over and over.
    auto job = service.restarted ? std::nullopt : jobFor(label);
    if (!job || !launch(label, service, *job)) {
      withdraw(label);
      return;
    }
    service.restarted = true;
    if (!service.program) {
      services.erase(it);
      return;
    }
    watch(label);
  }

  // Stops listening for |label|: connections still waiting are reset, which their
  // owners see as the service going away.
  void withdraw(const std::string& label) {
    auto it = services.find(label);
    if (it == services.end()) return;
    if (!it->second.program) ::unlink(root.serviceSocket(label).c_str());
    services.erase(it);
  }
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
  bool writing = false;        // by the strand
  // A sender on another thread writes to the socket outside the lock; meanwhile the
  // strand neither writes nor closes it, and a close that comes due waits for the end.
  bool sending = false;
  bool closeWhenSent = false;
};

}  // namespace

struct ServiceConnection::State : std::enable_shared_from_this<ServiceConnection::State> {
  State(asio::io_context& io, std::shared_ptr<ServiceNamespace::Shared> shared, std::string name)
      : io(io), strand(asio::make_strand(io)), ns(std::move(shared)), label(std::move(name)) {
    ns->connectionOpened();
  }
  ~State() { ns->connectionClosed(); }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

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
  bool closing = false;

  // What a sender on another thread may touch as well: a message goes straight onto
  // an idle socket from the sender's thread, which spares it a hop through the strand.
  // Never held while a handler of the owner runs, nor while a job is launched.
  std::mutex sendMutex;
  bool invalidated = false;
  std::shared_ptr<Link> link;  // replaced on the strand only
  struct Pending {
    XPCReplyHandler reply;
    XPCErrorHandler failure;
  };
  std::map<std::uint64_t, Pending> pending;
  std::uint64_t nextId = 1;
  // Messages handed to the strand and not yet queued there: while there are any, a
  // later message may not overtake them on the socket.
  std::size_t postedSends = 0;

  template <typename F>
  void deliver(F&& f) {
    std::lock_guard lock(callbackMutex);
    if (!closed) f();
  }

  void fail(const XPCErrorHandler& failure, const NSError& error) {
    if (failure) deliver([&] { failure(error); });
  }

  std::shared_ptr<Link> currentLink() {
    std::lock_guard lock(sendMutex);
    return link;
  }

  // Any thread. Writes |message| now when the socket is up and nothing is queued
  // before it; false, with nothing taken, when it has to go through the strand. The
  // socket is claimed under the lock and written outside it: a sender preempted in
  // the write by the helper it woke must not hold up the strand, which takes the
  // reply under the same lock.
  bool sendNow(XPCMessage& message, XPCReplyHandler& reply, XPCErrorHandler& failure) {
    std::unique_lock lock(sendMutex);
    if (postedSends != 0 || invalidated || !link || link->writing || link->sending || !link->queue.empty()) {
      return false;
    }
    wire::Request request{std::move(message.selector), std::move(message.arguments), std::nullopt};
    if (reply) request.id = nextId;
    auto frame = wire::encodeFrame(request);
    if (!frame) {
      message.selector = std::move(request.selector);
      message.arguments = std::move(request.arguments);
      return false;  // the strand reports it
    }
    // An awaited reply's failure goes with it; a one-way message's stays for the writer.
    XPCErrorHandler writerFailure;
    if (reply) {
      pending.emplace(nextId++, Pending{std::move(reply), std::move(failure)});
    } else {
      writerFailure = std::move(failure);
    }
    const std::shared_ptr<Link> current = link;
    current->sending = true;
    lock.unlock();

    std::string& bytes = *frame;
    const ssize_t written =
        ::send(current->socket.native_handle(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);

    lock.lock();
    current->sending = false;
    const bool whole = written == static_cast<ssize_t>(bytes.size());
    if (!whole && !current->closeWhenSent) {
      // A full socket, or a peer that went away: the strand's writer takes the rest
      // before anything queued meanwhile, and its write finds out which.
      bytes.erase(0, written > 0 ? static_cast<std::size_t>(written) : 0);
      current->queue.push_front(Outgoing{std::move(bytes), std::move(writerFailure)});
    }
    if (current->closeWhenSent) {
      asio::post(strand, [current] { closeSocket(*current); });
    } else if (!current->queue.empty()) {
      asio::post(strand, [self = shared_from_this(), current] { self->startWriting(current); });
    }
    return true;
  }

  // Strand only, or once no sender can reach the link any more.
  static void closeSocket(Link& gone) {
    std::error_code ignored;
    gone.socket.shutdown(Stream::socket::shutdown_both, ignored);
    gone.socket.close(ignored);
  }

  void handleSend(XPCMessage message, XPCReplyHandler reply, XPCErrorHandler failure) {
    bool isInvalidated;
    std::shared_ptr<Link> current;
    {
      std::lock_guard lock(sendMutex);
      isInvalidated = invalidated;
      current = link;
    }
    if (!isInvalidated && !current) {
      Reach reach = establish();
      if (reach == Reach::NoJob) invalidate();
      if (reach == Reach::Failed) {
        sentThroughStrand();
        fail(failure, interrupted());
        return;
      }
    }
    std::unique_lock lock(sendMutex);
    if (invalidated) {
      --postedSends;
      lock.unlock();
      fail(failure, invalid(label));
      return;
    }
    wire::Request request{message.selector, std::move(message.arguments), std::nullopt};
    if (reply) request.id = nextId++;
    auto frame = wire::encodeFrame(request);
    if (!frame) {
      --postedSends;
      lock.unlock();
      fail(failure, tooLarge(message.selector));
      return;
    }
    if (reply) {
      pending.emplace(*request.id, Pending{std::move(reply), std::move(failure)});
      link->queue.push_back(Outgoing{std::move(*frame), {}});
    } else {
      link->queue.push_back(Outgoing{std::move(*frame), std::move(failure)});
    }
    --postedSends;
    current = link;
    lock.unlock();
    startWriting(current);
  }

  void sentThroughStrand() {
    std::lock_guard lock(sendMutex);
    --postedSends;
  }

  Reach establish() {
    if (!usableLabel(label)) return Reach::NoJob;
    UniqueFd fd;
    const Reach reach = ns->open(label, fd);
    if (reach != Reach::Connected) return reach;
    auto fresh = std::make_shared<Link>(io);
    std::error_code ec;
    fresh->socket.assign(Stream(), fd.get(), ec);
    if (ec) return Reach::Failed;
    fd.release();
    {
      std::lock_guard lock(sendMutex);
      link = fresh;
    }
    startReading(fresh);
    return Reach::Connected;
  }

  void invalidate() {
    std::map<std::uint64_t, Pending> failing;
    {
      std::lock_guard lock(sendMutex);
      if (invalidated) return;
      invalidated = true;
      failing.swap(pending);
    }
    const NSError error = invalid(label);
    for (auto& [id, p] : failing) fail(p.failure, error);
    deliver([&] {
      if (events.invalidated) events.invalidated();
    });
  }

  void startReading(const std::shared_ptr<Link>& current) {
    current->socket.async_read_some(
        asio::buffer(current->buffer),
        asio::bind_executor(strand, [self = shared_from_this(), current](std::error_code ec, std::size_t n) {
          self->onRead(current, ec, n);
        }));
  }

  void onRead(const std::shared_ptr<Link>& current, std::error_code ec, std::size_t n) {
    if (currentLink() != current) return;
    if (ec) {
      peerGone();
      return;
    }
    current->decoder.feed(std::string_view(current->buffer.data(), n));
    while (auto message = current->decoder.next()) {
      auto* reply = std::get_if<wire::Reply>(&*message);
      // Only replies to calls in flight may come back; anything else breaks the link.
      XPCReplyHandler handler;
      {
        std::lock_guard lock(sendMutex);
        auto it = reply != nullptr ? pending.find(reply->id) : pending.end();
        if (it != pending.end()) {
          handler = std::move(it->second.reply);
          pending.erase(it);
        }
      }
      if (!handler) {
        peerGone();
        return;
      }
      deliver([&] { handler(std::move(reply->values)); });
      if (currentLink() != current) return;
    }
    if (current->decoder.failed()) {
      peerGone();
      return;
    }
    startReading(current);
  }

  // Strand only.
  void startWriting(const std::shared_ptr<Link>& current) {
    std::lock_guard lock(sendMutex);
    if (link != current || current->writing || current->sending || current->queue.empty()) return;
    current->writing = true;
    asio::async_write(
        current->socket, asio::buffer(current->queue.front().bytes),
        asio::bind_executor(strand, [self = shared_from_this(), current](std::error_code ec, std::size_t) {
          self->onWritten(current, ec);
        }));
  }

  void onWritten(const std::shared_ptr<Link>& current, std::error_code ec) {
    std::unique_lock lock(sendMutex);
    current->writing = false;
    if (link != current) return;
    if (ec) {
      lock.unlock();
      peerGone();
      return;
    }
    current->queue.pop_front();
    const bool drained = current->queue.empty();
    lock.unlock();
    if (closing && drained) {
      finishClose();
      return;
    }
    startWriting(current);
  }

  // The peer went away: what waits for it fails, then the owner hears of the
  // interruption; the next message connects again.
  void peerGone() {
    std::unique_lock lock(sendMutex);
    auto gone = std::move(link);
    link.reset();
    // Under the lock: a sender on another thread must not write to a closed, perhaps
    // reused, descriptor. One that is writing now closes it when done.
    if (gone->sending) {
      gone->closeWhenSent = true;
    } else {
      std::error_code ignored;
      gone->socket.close(ignored);
    }
    if (closing) {
      lock.unlock();
      finishClose();
      return;
    }
    std::vector<XPCErrorHandler> undelivered;
    for (auto& out : gone->queue) {
      if (out.oneWayFailure) undelivered.push_back(std::move(out.oneWayFailure));
    }
    gone->queue.clear();
    std::map<std::uint64_t, Pending> failing;
    failing.swap(pending);
    lock.unlock();
    const NSError error = interrupted();
    for (auto& [id, p] : failing) fail(p.failure, error);
    for (auto& failure : undelivered) fail(failure, error);
    deliver([&] {
      if (events.interrupted) events.interrupted();
    });
  }

  void beginClose() {
    closing = true;
    bool idle;
    {
      std::lock_guard lock(sendMutex);
      idle = !link || link->queue.empty();
    }
    if (idle) finishClose();
  }

  void finishClose() {
    std::map<std::uint64_t, Pending> dropped;
    {
      std::lock_guard lock(sendMutex);
      if (link) {
        if (link->sending) {
          link->closeWhenSent = true;
        } else {
          closeSocket(*link);
        }
        link.reset();
      }
      dropped.swap(pending);
    }
    events = {};
  }
};

ServiceNamespace::ServiceNamespace(asio::io_context& background, SystemRoot root)
    : background_(background), shared_(std::make_shared<Shared>(background, std::move(root))) {}

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
  if (state_->sendNow(message, reply, failure)) return;
  {
    std::lock_guard lock(state_->sendMutex);
    ++state_->postedSends;
  }
  asio::post(state_->strand, [state = state_, message = std::move(message), reply = std::move(reply),
                              failure = std::move(failure)]() mutable {
    state->handleSend(std::move(message), std::move(reply), std::move(failure));
  });
}

bool ServiceConnection::isCurrentQueue() const { return state_->strand.running_in_this_thread(); }

}  // namespace platform::linux_backend
