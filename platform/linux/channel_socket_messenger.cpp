#include "platform/linux/channel_socket_messenger.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace platform::linux_backend {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kLengthField = 4;
// The request id and the channel name's length.
constexpr std::size_t kRequestHeader = 6;
constexpr std::size_t kReadChunk = std::size_t{64} * 1024;
constexpr int kBacklog = 4;
constexpr const char* kPrefix = "channel socket: ";

std::uint32_t readU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint16_t readU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(static_cast<unsigned>(p[0]) | static_cast<unsigned>(p[1]) << 8);
}

void appendU32(FlutterMessage& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::string errorText(int error) { return std::generic_category().message(error); }

[[noreturn]] void refuse(const fs::path& path, const std::string& why) {
  throw std::runtime_error("cannot listen on " + path.string() + ": " + why);
}

sockaddr_un socketAddress(const fs::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string& name = path.native();
  if (name.empty()) refuse(path, "no path given");
  if (name.size() >= sizeof address.sun_path) {
    refuse(path, "the path is " + std::to_string(name.size()) + " bytes long, and a Unix socket's path holds at most " +
                     std::to_string(sizeof address.sun_path - 1));
  }
  name.copy(address.sun_path, name.size());
  return address;
}

// A socket file that a process left behind: nothing listens on it any more.
bool isStaleSocket(const sockaddr_un& address) {
  struct stat status {};
  if (::lstat(address.sun_path, &status) != 0 || !S_ISSOCK(status.st_mode)) return false;
  UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!probe) return false;
  return ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
         errno == ECONNREFUSED;
}

UniqueFd listenAt(const fs::path& path) {
  const sockaddr_un address = socketAddress(path);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) refuse(path, errorText(errno));
  auto bindTo = [&] { return ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0; };
  if (!bindTo()) {
    const int error = errno;
    if (error != EADDRINUSE) refuse(path, errorText(error));
    if (!isStaleSocket(address)) refuse(path, "it exists, and is not a socket left behind by a process that has gone");
    if (::unlink(address.sun_path) != 0 || !bindTo()) refuse(path, errorText(errno));
  }
  // Nobody can connect before listen(), so the file is never open to others.
  if (::chmod(address.sun_path, S_IRUSR | S_IWUSR) != 0 || ::listen(fd.get(), kBacklog) != 0) {
    const int error = errno;
    ::unlink(address.sun_path);
    refuse(path, errorText(error));
  }
  return fd;
}

}  // namespace

ChannelFrame readRequestFrame(std::span<const std::uint8_t> bytes, std::size_t maxLength) {
  if (bytes.size() < kLengthField) return ChannelFrameIncomplete{};
  const std::size_t length = readU32(bytes.data());
  if (length < kRequestHeader) {
    return ChannelFrameError{"length " + std::to_string(length) + " cannot hold a request id and a channel name length"};
  }
  if (length > maxLength) {
    return ChannelFrameError{"length " + std::to_string(length) + " is over the limit of " + std::to_string(maxLength) +
                             " bytes"};
  }
  if (bytes.size() < kLengthField + kRequestHeader) return ChannelFrameIncomplete{};
  const std::size_t nameLength = readU16(bytes.data() + kLengthField + 4);
  if (kRequestHeader + nameLength > length) {
    return ChannelFrameError{"a channel name of " + std::to_string(nameLength) + " bytes runs past the end of a frame of " +
                             std::to_string(length) + " bytes"};
  }
  if (bytes.size() < kLengthField + length) return ChannelFrameIncomplete{};
  const std::uint8_t* name = bytes.data() + kLengthField + kRequestHeader;
  ChannelRequest request;
  request.id = readU32(bytes.data() + kLengthField);
  request.channel.assign(reinterpret_cast<const char*>(name), nameLength);
  request.message = bytes.subspan(kLengthField + kRequestHeader + nameLength, length - kRequestHeader - nameLength);
  request.frameSize = kLengthField + length;
  return request;
}

FlutterMessage replyFrame(std::uint32_t id, FlutterMessageView reply) {
  FlutterMessage frame;
  frame.reserve(kLengthField + 4 + reply.size());
  appendU32(frame, static_cast<std::uint32_t>(4 + reply.size()));
  appendU32(frame, id);
  frame.insert(frame.end(), reply.begin(), reply.end());
  return frame;
}

// One client. Replies are queued from whichever thread answers and never waited
// for: they are written at once while the socket takes them, and otherwise by the
// reader's thread as the client reads. The descriptor is closed only when the last
// owner (the reader, a reply still owed) lets go, so a reply never goes to a number
// the system has given to another file since.
class ChannelSocketMessenger::Connection {
 public:
  Connection(UniqueFd fd, std::shared_ptr<MessengerCore> core)
      : fd_(std::move(fd)), core_(std::move(core)), bound_(core_->limits().unwrittenBytes) {}
  ~Connection() {
    std::lock_guard lock(mutex_);
    drop();
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  int fd() const { return fd_.get(); }
  // Readable once replies have begun to wait, or the client went: the reader's
  // thread then watches the socket for room. drainWake() takes it.
  int wakeFd() const { return wake_.readEnd(); }
  void drainWake() const { wake_.drain(); }

  // Any thread. The whole frame, after those before it, or nothing once the client
  // is gone.
  void send(FlutterMessageView frame) {
    std::lock_guard lock(mutex_);
    if (broken_) return;
    const bool wasWaiting = waitingBytes() > 0;
    if (!wasWaiting) {
      const std::optional<std::size_t> sent = sendSome(frame);
      if (!sent) return drop();
      if (*sent == frame.size()) return;
      frame = frame.subspan(*sent);
    }
    out_.insert(out_.end(), frame.begin(), frame.end());
    if (!wasWaiting) {
      core_->holdOutput();
      wake_.wake();
    }
    if (waitingBytes() >= bound_) congested_.store(true, std::memory_order_release);
  }

  // The reader's thread, when the socket has room: writes what waits.
  void writeWaiting() {
    std::lock_guard lock(mutex_);
    if (broken_ || waitingBytes() == 0) return;
    const std::optional<std::size_t> sent = sendSome(std::span(out_).subspan(outStart_));
    if (!sent) return drop();
    outStart_ += *sent;
    if (waitingBytes() == 0) {
      freeWaiting();
      core_->releaseOutput();
    } else if (outStart_ * 2 >= out_.size()) {
      out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(outStart_));
      outStart_ = 0;
    }
    if (waitingBytes() <= bound_ / 2) congested_.store(false, std::memory_order_release);
  }

  bool waiting() const {
    std::lock_guard lock(mutex_);
    return waitingBytes() > 0;
  }
  // More than the bound waits to be written; true until it is back to half.
  bool congested() const { return congested_.load(std::memory_order_acquire); }

  // Ends both directions at once, however much waits: the client sees its end close,
  // and what waited and later replies go nowhere.
  void shutDown() {
    std::lock_guard lock(mutex_);
    drop();
    ::shutdown(fd_.get(), SHUT_RDWR);
  }
  // The client can read no more: what waits and later replies go nowhere.
  void abandon() {
    std::lock_guard lock(mutex_);
    drop();
  }

 private:
  // The rest run under |mutex_|.
  std::size_t waitingBytes() const { return out_.size() - outStart_; }

  // What the socket takes of |bytes| now; none once the client is gone.
  std::optional<std::size_t> sendSome(FlutterMessageView bytes) const {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd_.get(), bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        break;
      } else {
        return std::nullopt;
      }
    }
    return sent;
  }

  void freeWaiting() {
    std::vector<std::uint8_t>().swap(out_);
    outStart_ = 0;
  }

  void drop() {
    if (broken_) return;
    broken_ = true;
    if (waitingBytes() > 0) {
      freeWaiting();
      core_->releaseOutput();
    }
    congested_.store(false, std::memory_order_release);
    wake_.wake();
  }

  UniqueFd fd_;
  const std::shared_ptr<MessengerCore> core_;
  const std::size_t bound_;
  WakePipe wake_;
  mutable std::mutex mutex_;
  std::vector<std::uint8_t> out_;  // replies waiting to be written, from outStart_ on
  std::size_t outStart_ = 0;
  std::atomic<bool> congested_{false};
  bool broken_ = false;
};

// What the reader thread, the main queue and every owed reply share; replies may
// outlive the messenger.
struct ChannelSocketMessenger::Core : MessengerCore {
  Core(DispatchQueue& mainQueue, LineWriter& diagnostics, const MessengerLimits& limits)
      : MessengerCore(mainQueue, limits), diagnostics(diagnostics) {}

  // One request's owed reply, framed with its id and written to its own client.
  struct PendingReply {
    void operator()(const FlutterMessage& reply) const { connection->send(replyFrame(id, reply)); }
    void dropped() const {
      diagnostics->writeLine(std::string(kPrefix) + "request " + std::to_string(id) + " on " + channel +
                             " was dropped without a reply");
      connection->send(replyFrame(id, {}));
    }

    std::shared_ptr<Connection> connection;
    LineWriter* diagnostics;
    std::uint32_t id;
    std::string channel;  // shortened: only a diagnostic names it
  };

  // Main queue. |bytes|: the whole frame's.
  static void deliver(const std::shared_ptr<Core>& core, const std::shared_ptr<Connection>& connection,
                      std::uint32_t id, const std::string& channel, const FlutterMessage& message,
                      std::size_t bytes) {
    FlutterBinaryMessageHandler handler = core->handler(channel);
    FlutterBinaryReply reply =
        owedReply(core, PendingReply{connection, &core->diagnostics, id, shortened(channel)}, bytes);
    if (!handler) {
      std::move(reply)({});
      return;
    }
    handler(message, std::move(reply));
  }

  void say(const std::string& line) const { diagnostics.writeLine(kPrefix + line); }

  LineWriter& diagnostics;
};

// Accepts one client at a time and reads its frames on a thread of its own, which a
// pipe wakes to stop. It hands a request on only while the messages owed, the
// client's waiting replies and standard output are within their bounds; otherwise it
// reads ahead at most kReadChunk bytes, only to check them, and leaves the rest in
// the socket until they are back under half. It also writes the replies the socket
// did not take at once, as the client makes room.
class ChannelSocketMessenger::Reader {
 public:
  Reader(std::shared_ptr<Core> core, UniqueFd listener)
      : core_(std::move(core)),
        listener_(std::move(listener)),
        gates_{&core_->owedRoom(), &core_->diagnostics.room()},
        thread_([this] { run(); }) {}

  ~Reader() {
    wake_.wake();
    thread_.join();
  }

  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

 private:
  enum class Step { kGoOn, kStop, kEndInput };

  void run() {
    const Step last = serve();
    // No one else is taken from here on: a client that comes now is refused by the
    // system rather than left waiting for a host that is quitting.
    listener_.reset();
    if (last == Step::kStop) {
      if (client_) client_->shutDown();
      client_.reset();
      return;
    }
    core_->mainQueue().async([core = core_] { core->endInput(); });
    // A client that only shut down its writing side still reads the replies owed.
    if (client_) writeOwed();
    client_.reset();
  }

  bool paused() const { return !gates_.open() || client_->congested(); }

  Step serve() {
    while (true) {
      if (client_) handOn();
      // Its input ends once every whole frame it sent is handed on.
      if (client_ && clientEnded_ && checked_ == 0) return Step::kEndInput;
      std::vector<pollfd> fds = {{wake_.readEnd(), POLLIN, 0}, {listener_.get(), POLLIN, 0}};
      if (client_) {
        const bool gatesOpen = gates_.open();
        const bool paused = !gatesOpen || client_->congested();
        short events = client_->waiting() ? POLLOUT : 0;
        if (!clientEnded_ && (!paused || buffer_.size() < kReadChunk)) events |= POLLIN;
        // A client that hung up while it is not read would wake poll() for ever.
        fds.push_back({events == 0 && hungUp_ ? -1 : client_->fd(), events, 0});
        fds.push_back({client_->wakeFd(), POLLIN, 0});
        if (!gatesOpen) {
          gates_.addClosed(fds);
          if (fds.size() == 4) continue;  // they opened meanwhile
        }
      }
      if (::poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        core_->say("cannot wait for clients: " + errorText(errno));
        return Step::kEndInput;
      }
      if (fds[0].revents != 0) return Step::kStop;  // the messenger is going away
      if (client_) {
        if (fds[3].revents != 0) client_->drainWake();
        const short ready = fds[2].revents;
        if ((ready & POLLOUT) != 0) client_->writeWaiting();
        if ((ready & POLLIN) != 0) {
          readClient();
        } else if ((ready & (POLLHUP | POLLERR)) != 0) {
          hungUp_ = true;
          client_->abandon();
        }
      }
      if (fds[1].revents != 0) {
        const Step step = accept();
        if (step != Step::kGoOn) return step;
      }
    }
  }

  // Until the messenger goes: the replies owed to the last client, as it makes room.
  void writeOwed() {
    while (true) {
      pollfd fds[3] = {{wake_.readEnd(), POLLIN, 0},
                       {client_->wakeFd(), POLLIN, 0},
                       {client_->waiting() ? client_->fd() : -1, POLLOUT, 0}};
      if (::poll(fds, 3, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[0].revents != 0) return;
      if (fds[1].revents != 0) client_->drainWake();
      if (fds[2].revents != 0) client_->writeWaiting();  // a client gone fails it, and nothing waits after
    }
  }

  Step accept() {
    UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd) {
      const int error = errno;
      if (error == EINTR || error == EAGAIN || error == ECONNABORTED) return Step::kGoOn;
      core_->say("cannot take a client: " + errorText(error));
      return Step::kEndInput;
    }
    if (client_) {
      core_->say("refused a second client: one client at a time");
      return Step::kGoOn;  // |fd| closes here
    }
    client_ = std::make_shared<Connection>(std::move(fd), core_);
    std::vector<std::uint8_t>().swap(buffer_);
    checked_ = 0;
    clientEnded_ = false;
    hungUp_ = false;
    return Step::kGoOn;
  }

  void readClient() {
    const ssize_t count = ::read(client_->fd(), chunk_.data(), chunk_.size());
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (count <= 0) {
      if (count < 0) core_->say("cannot read from the client: " + errorText(errno));
      core_->say("the client closed; quitting once every request is answered");
      clientEnded_ = true;
      return;
    }
    buffer_.insert(buffer_.end(), chunk_.begin(), chunk_.begin() + count);
  }

  // Hands on the whole frames read while the host keeps up, and checks those kept
  // back, so that a malformed frame closes the client even while nothing is handed on.
  void handOn() {
    const std::span<const std::uint8_t> bytes(buffer_);
    std::size_t start = 0;  // the first byte not handed on
    while (!paused()) {
      ChannelFrame frame = readRequestFrame(bytes.subspan(start));
      auto* request = std::get_if<ChannelRequest>(&frame);
      if (request == nullptr) break;
      dispatch(*request);
      start += request->frameSize;
    }
    std::size_t end = std::max(start, checked_);  // frames up to here are whole and sound
    while (true) {
      ChannelFrame frame = readRequestFrame(bytes.subspan(end));
      if (auto* error = std::get_if<ChannelFrameError>(&frame)) {
        // What came before the fault is handed on as before, whatever the bounds: at
        // most one read's worth.
        for (std::size_t at = start; at < end;) {
          auto request = std::get<ChannelRequest>(readRequestFrame(bytes.subspan(at)));
          dispatch(request);
          at += request.frameSize;
        }
        core_->say("malformed frame: " + error->reason + "; the client is closed");
        client_->shutDown();
        client_.reset();
        std::vector<std::uint8_t>().swap(buffer_);
        checked_ = 0;
        return;
      }
      auto* request = std::get_if<ChannelRequest>(&frame);
      if (request == nullptr) break;
      end += request->frameSize;
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start));
    checked_ = end - start;
  }

  void dispatch(ChannelRequest& request) {
    core_->countMessage(request.frameSize);
    core_->mainQueue().async([core = core_, connection = client_, id = request.id,
                              channel = std::move(request.channel),
                              message = FlutterMessage(request.message.begin(), request.message.end()),
                              bytes = request.frameSize] {
      Core::deliver(core, connection, id, channel, message, bytes);
    });
  }

  std::shared_ptr<Core> core_;
  UniqueFd listener_;
  const ReadingGates gates_;
  std::shared_ptr<Connection> client_;
  std::vector<std::uint8_t> buffer_;  // what has come of the client's frames and is not handed on
  std::size_t checked_ = 0;           // the bytes of |buffer_| already found to be whole, sound frames
  bool clientEnded_ = false;          // the client sends no more
  bool hungUp_ = false;               // the client can neither send nor read any more
  std::array<std::uint8_t, kReadChunk> chunk_{};
  WakePipe wake_;
  std::thread thread_;  // last: it starts running once everything above is in place
};

ChannelSocketMessenger::ChannelSocketMessenger(DispatchQueue& mainQueue, LineWriter& diagnostics, fs::path path,
                                               const MessengerLimits& limits)
    : path_(std::move(path)),
      core_(std::make_shared<Core>(mainQueue, diagnostics, limits)),
      listener_(listenAt(path_)) {}

ChannelSocketMessenger::~ChannelSocketMessenger() {
  reader_.reset();
  listener_.reset();
  ::unlink(path_.c_str());
}

void ChannelSocketMessenger::setMessageHandlerOnChannel(const std::string& channel,
                                                         FlutterBinaryMessageHandler handler) {
  core_->setHandler(channel, std::move(handler));
}

void ChannelSocketMessenger::start(std::function<void()> finished) {
  if (reader_) return;
  core_->setFinished(std::move(finished));
  core_->say("listening on " + path_.string());
  reader_ = std::make_unique<Reader>(core_, std::move(listener_));
}

}  // namespace platform::linux_backend
