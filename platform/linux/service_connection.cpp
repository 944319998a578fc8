#include "platform/linux/service_connection.h"

#include <sys/socket.h>

#include <array>
#include <asio/bind_executor.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

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

// A message as its sender left it: encoded, unless it is too large for a frame.
struct Message {
  std::optional<std::string> frame;
  std::optional<std::uint64_t> id;  // when a reply is awaited
  std::string selector;
  XPCReplyHandler reply;
  XPCErrorHandler failure;
};

// A frame on its way out.
struct Outgoing {
  std::string bytes;
  std::size_t written = 0;
  XPCErrorHandler oneWayFailure;  // for a message that awaits no reply
};

// One socket to the service; a new one replaces it after the peer went away. Its
// descriptor closes when the last holder lets go, so that a writer on another thread
// never writes to a reused one; the link's end shuts it down before that.
struct Link {
  explicit Link(asio::io_context& io) : socket(io) {}
  Stream::socket socket;
  // Read on the strand only.
  wire::FrameDecoder decoder;
  std::array<char, 65536> buffer{};
  // Under the connection's lock: the frames not yet written out, and whether some
  // thread has taken on writing them.
  std::deque<Outgoing> out;
  bool writing = false;
};

void shutDown(Link& link) {
  std::error_code ignored;
  link.socket.shutdown(Stream::socket::shutdown_both, ignored);
}

}  // namespace

// Sending takes the connection's lock for as long as it takes to queue a frame. The
// thread that finds nobody writing writes the queue out itself, outside the lock: for
// a call from the main thread that spares waking the background thread, a fifth of
// the round trip on one CPU (bench_runtime, BM_RoundTripHost). Only a full socket
// hands the writing over to the strand, which also connects, reads, and runs every
// handler of the owner.
struct ServiceConnection::State : ConnectionRegistry::Member, std::enable_shared_from_this<ServiceConnection::State> {
  State(asio::io_context& context, std::string name, ServiceOpener open)
      : io(context), strand(asio::make_strand(context)), label(std::move(name)), opener(std::move(open)) {}

  asio::io_context& io;
  asio::strand<asio::io_context::executor_type> strand;
  const std::string label;
  const ServiceOpener opener;
  std::atomic<std::uint64_t> nextId{1};

  // The one lock. It is never held while a handler of the owner runs, nor during a
  // system call that wakes the service.
  std::mutex mutex;
  // The thread running a handler of the owner, if one runs: the destructor waits for
  // it unless it is that thread, so that once it returns no handler runs any more.
  std::optional<std::thread::id> handlerThread;
  std::condition_variable handlerDone;
  bool closed = false;   // the owner let go
  bool closing = false;  // and the strand took that up: the link ends once written out
  bool invalidated = false;
  Events events;
  std::shared_ptr<Link> link;
  // Messages that wait for the strand, which connects first or reports why they
  // cannot go. While any wait, later messages queue behind them.
  std::deque<Message> inbox;
  struct Pending {
    XPCReplyHandler reply;
    XPCErrorHandler failure;
  };
  // Awaited replies, only while a link is up: the link's end fails them all.
  std::map<std::uint64_t, Pending> pending;

  // Runs |f| for the owner. An event (|eventOnly|) is not run once the owner let go;
  // the reply or failure of a message it sent always is. A handler may send, or drop
  // the connection itself.
  template <typename F>
  void deliver(F&& f, bool eventOnly = false) {
    {
      std::lock_guard lock(mutex);
      if (closed && eventOnly) return;
      handlerThread = std::this_thread::get_id();
    }
    f();
    std::lock_guard lock(mutex);
    handlerThread.reset();
    handlerDone.notify_all();
  }

  void fail(const XPCErrorHandler& failure, const NSError& error) {
    if (failure) deliver([&] { failure(error); });
  }

  void notify(std::function<void()> Events::*which) {
    std::function<void()> event;
    {
      std::lock_guard lock(mutex);
      event = events.*which;
    }
    if (event) deliver(event, true);
  }

  // Any thread.
  void send(Message message) {
    std::unique_lock lock(mutex);
    if (link && inbox.empty() && message.frame) {
      enqueue(message);
      startWriting(lock);
      return;
    }
    const bool first = inbox.empty();
    inbox.push_back(std::move(message));
    lock.unlock();
    if (first) asio::post(strand, [self = shared_from_this()] { self->drainInbox(); });
  }

  // Under the lock, with the link up.
  void enqueue(Message& message) {
    Outgoing out{std::move(*message.frame), 0, {}};
    if (message.id) {
      pending.emplace(*message.id, Pending{std::move(message.reply), std::move(message.failure)});
    } else {
      out.oneWayFailure = std::move(message.failure);
    }
    link->out.push_back(std::move(out));
  }

  // Under |lock|, which it releases: writes the link's queue out unless some thread
  // already does.
  void startWriting(std::unique_lock<std::mutex>& lock) {
    if (link->writing) return;
    link->writing = true;
    const auto current = link;
    lock.unlock();
    flush(current);
  }

  // Any thread that took on writing. Each frame leaves the queue while it is written,
  // outside the lock.
  void flush(const std::shared_ptr<Link>& current) {
    std::unique_lock lock(mutex);
    while (link == current && !current->out.empty()) {
      Outgoing next = std::move(current->out.front());
      current->out.pop_front();
      lock.unlock();
      const ssize_t n = ::send(current->socket.native_handle(), next.bytes.data() + next.written,
                               next.bytes.size() - next.written, MSG_DONTWAIT | MSG_NOSIGNAL);
      const int error = n < 0 ? errno : 0;
      lock.lock();
      if (n > 0) next.written += static_cast<std::size_t>(n);
      if (next.written == next.bytes.size() || error == EINTR) {
        if (next.written < next.bytes.size()) current->out.push_front(std::move(next));
        continue;
      }
      if (link != current) {
        // The link ended meanwhile, and its end reported what it held.
        lock.unlock();
        if (next.oneWayFailure) {
          asio::post(strand, [self = shared_from_this(), f = std::move(next.oneWayFailure)] {
            self->fail(f, interrupted());
          });
        }
        return;
      }
      // A full socket is written on once it takes more; a broken one ends the link.
      // Either way the strand carries on, and the writing stays taken meanwhile.
      current->out.push_front(std::move(next));
      lock.unlock();
      const bool broken = n < 0 && error != EAGAIN && error != EWOULDBLOCK;
      asio::post(strand, [self = shared_from_this(), current, broken] {
        broken ? self->peerGone(current) : self->awaitWritable(current);
      });
      return;
    }
    current->writing = false;
    const bool finished = closing && link == current;
    lock.unlock();
    if (finished) asio::post(strand, [self = shared_from_this()] { self->finishClose(); });
  }

  // Strand only, from here on.

  void awaitWritable(const std::shared_ptr<Link>& current) {
    current->socket.async_wait(Stream::socket::wait_write,
                               asio::bind_executor(strand, [self = shared_from_this(), current](std::error_code) {
                                 self->flush(current);
                               }));
  }

  // Queues what waits in order, connecting where there is no link; what cannot go
  // fails. The message being dealt with stays in the inbox, so that no later one
  // overtakes it meanwhile.
  void drainInbox() {
    std::unique_lock lock(mutex);
    while (!inbox.empty()) {
      if (!link && !invalidated) {
        lock.unlock();
        connect();
        lock.lock();
      }
      Message& message = inbox.front();
      if (link && message.frame) {
        enqueue(message);
        inbox.pop_front();
        continue;
      }
      const NSError error = invalidated ? invalid(label) : link ? tooLarge(message.selector) : interrupted();
      const XPCErrorHandler failure = std::move(message.failure);
      inbox.pop_front();
      lock.unlock();
      fail(failure, error);
      lock.lock();
    }
    if (link && !link->out.empty()) startWriting(lock);
  }

  void connect() {
    auto opened = opener();
    if (!opened) {
      if (opened.error() != Unreachable::NoJob) return;
      {
        std::lock_guard lock(mutex);
        invalidated = true;
      }
      notify(&Events::invalidated);
      return;
    }
    auto fresh = std::make_shared<Link>(io);
    std::error_code ec;
    fresh->socket.assign(Stream(), opened->get(), ec);
    if (ec) return;
    opened->release();
    {
      std::lock_guard lock(mutex);
      link = fresh;
    }
    read(fresh);
  }

  void read(const std::shared_ptr<Link>& current) {
    current->socket.async_read_some(
        asio::buffer(current->buffer),
        asio::bind_executor(strand, [self = shared_from_this(), current](std::error_code ec, std::size_t n) {
          self->onRead(current, ec, n);
        }));
  }

  void onRead(const std::shared_ptr<Link>& current, std::error_code ec, std::size_t n) {
    if (ec) return peerGone(current);
    current->decoder.feed(std::string_view(current->buffer.data(), n));
    while (auto message = current->decoder.next()) {
      // Only replies to calls in flight may come back; anything else breaks the link.
      auto* reply = std::get_if<wire::Reply>(&*message);
      XPCReplyHandler handler;
      {
        std::lock_guard lock(mutex);
        if (link != current) return;
        auto it = reply != nullptr ? pending.find(reply->id) : pending.end();
        if (it != pending.end()) {
          handler = std::move(it->second.reply);
          pending.erase(it);
        }
      }
      if (!handler) return peerGone(current);
      deliver([&] { handler(std::move(reply->values)); });
    }
    if (current->decoder.failed()) return peerGone(current);
    read(current);
  }

  // The peer went away: what waits for it fails, then the owner hears of the
  // interruption; the next message connects again.
  void peerGone(const std::shared_ptr<Link>& current) {
    std::map<std::uint64_t, Pending> failing;
    std::vector<XPCErrorHandler> undelivered;
    {
      std::lock_guard lock(mutex);
      if (link != current) return;
      link.reset();
      failing.swap(pending);
      for (auto& out : current->out) {
        if (out.oneWayFailure) undelivered.push_back(std::move(out.oneWayFailure));
      }
      current->out.clear();
    }
    shutDown(*current);
    const NSError error = interrupted();
    for (auto& [id, p] : failing) fail(p.failure, error);
    for (auto& failure : undelivered) fail(failure, error);
    notify(&Events::interrupted);
  }

  // Runs after every message sent before the owner let go was taken up. As with XPC,
  // letting go does not throw away what was sent: the link stays up until it is
  // written out.
  void beginClose() {
    {
      std::lock_guard lock(mutex);
      closing = true;
      events = {};
    }
    finishClose();
  }

  // Ends the link once the owner let go and it is written out. The owner lets go only
  // when it awaits nothing, so a reply still awaited here belongs to nobody.
  void finishClose() {
    std::shared_ptr<Link> gone;
    std::map<std::uint64_t, Pending> dropped;
    {
      std::lock_guard lock(mutex);
      if (!closing || (link && link->writing)) return;
      gone = std::exchange(link, nullptr);
      dropped.swap(pending);
    }
    dropped.clear();
    if (gone) shutDown(*gone);
  }

  // The end of the process: see ConnectionRegistry. Runs with the background thread
  // stopped, so the link is nobody else's; a frame a full socket held back is written
  // as far as the socket takes it now.
  void abandon() override {
    std::shared_ptr<Link> gone;
    std::map<std::uint64_t, Pending> dropped;
    std::deque<Message> unsent;
    Events none;
    {
      std::lock_guard lock(mutex);
      closed = closing = true;
      none = std::exchange(events, {});
      gone = std::exchange(link, nullptr);
      dropped.swap(pending);
      unsent.swap(inbox);
    }
    if (!gone) return;
    for (Outgoing& out : gone->out) {
      while (out.written < out.bytes.size()) {
        const ssize_t n = ::send(gone->socket.native_handle(), out.bytes.data() + out.written,
                                 out.bytes.size() - out.written, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.written += static_cast<std::size_t>(n);
      }
      if (out.written < out.bytes.size()) break;
    }
    gone->out.clear();
    shutDown(*gone);
  }
};

void ConnectionRegistry::add(const std::shared_ptr<Member>& member) {
  std::lock_guard lock(mutex_);
  std::erase_if(members_, [](const auto& weak) { return weak.expired(); });
  members_.push_back(member);
}

void ConnectionRegistry::abandonAll() {
  std::vector<std::shared_ptr<Member>> live;
  {
    std::lock_guard lock(mutex_);
    for (auto& weak : std::exchange(members_, {})) {
      if (auto member = weak.lock()) live.push_back(std::move(member));
    }
  }
  for (auto& member : live) member->abandon();
}

ServiceConnection::ServiceConnection(asio::io_context& background, std::string label, ServiceOpener open,
                                     ConnectionRegistry* registry)
    : state_(std::make_shared<State>(background, std::move(label), std::move(open))) {
  if (registry != nullptr) registry->add(state_);
}

ServiceConnection::~ServiceConnection() {
  {
    std::unique_lock lock(state_->mutex);
    state_->closed = true;
    state_->handlerDone.wait(lock, [&] {
      return !state_->handlerThread || *state_->handlerThread == std::this_thread::get_id();
    });
  }
  // Queued behind every message that went through the strand.
  asio::post(state_->strand, [state = state_] { state->beginClose(); });
}

void ServiceConnection::resume(Events events) {
  std::lock_guard lock(state_->mutex);
  state_->events = std::move(events);
}

void ServiceConnection::send(XPCMessage message, XPCReplyHandler reply, XPCErrorHandler failure) {
  std::optional<std::uint64_t> id;
  if (reply) id = state_->nextId++;
  wire::Request request{std::move(message.selector), std::move(message.arguments), id};
  auto frame = wire::encodeFrame(request);
  state_->send(Message{std::move(frame), id, std::move(request.selector), std::move(reply), std::move(failure)});
}

}  // namespace platform::linux_backend
