#include "platform/linux/channel_socket_messenger.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <mutex>
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

// One client. Replies are written from whichever thread answers; the descriptor is
// closed only when the last owner (the reader, a reply still owed) lets go, so a
// reply never goes to a number the system has given to another file since.
class ChannelSocketMessenger::Connection {
 public:
  explicit Connection(UniqueFd fd) : fd_(std::move(fd)) {}

  int fd() const { return fd_.get(); }

  // The whole frame, or nothing once the client is gone.
  void send(FlutterMessageView frame) {
    std::lock_guard lock(mutex_);
    while (!broken_ && !frame.empty()) {
      const ssize_t sent = ::send(fd_.get(), frame.data(), frame.size(), MSG_NOSIGNAL);
      if (sent < 0 && errno == EINTR) continue;
      if (sent <= 0) {
        broken_ = true;
        break;
      }
      frame = frame.subspan(static_cast<std::size_t>(sent));
    }
  }

  // Ends both directions: the client sees its end close, later replies go nowhere.
  void shutDown() {
    std::lock_guard lock(mutex_);
    broken_ = true;
    ::shutdown(fd_.get(), SHUT_RDWR);
  }

 private:
  UniqueFd fd_;
  std::mutex mutex_;
  bool broken_ = false;
};

// What the reader thread, the main queue and every owed reply share; replies may
// outlive the messenger.
struct ChannelSocketMessenger::Core : MessengerCore {
  Core(DispatchQueue& mainQueue, LineWriter& diagnostics) : MessengerCore(mainQueue), diagnostics(diagnostics) {}

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
    std::string channel;
  };

  // Main queue.
  static void deliver(const std::shared_ptr<Core>& core, const std::shared_ptr<Connection>& connection,
                      std::uint32_t id, std::string channel, const FlutterMessage& message) {
    FlutterBinaryMessageHandler handler = core->handler(channel);
    FlutterBinaryReply reply =
        owedReply(core, PendingReply{connection, &core->diagnostics, id, std::move(channel)});
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
// pipe wakes to stop.
class ChannelSocketMessenger::Reader {
 public:
  Reader(std::shared_ptr<Core> core, UniqueFd listener)
      : core_(std::move(core)), listener_(std::move(listener)), thread_([this] { run(); }) {}

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
    // A client that only shut down its writing side still reads the replies owed.
    if (last == Step::kStop && client_) client_->shutDown();
    client_.reset();
    if (last == Step::kEndInput) core_->mainQueue().async([core = core_] { core->endInput(); });
  }

  Step serve() {
    while (true) {
      pollfd fds[3] = {{wake_.readEnd(), POLLIN, 0},
                       {listener_.get(), POLLIN, 0},
                       {client_ ? client_->fd() : -1, POLLIN, 0}};
      if (::poll(fds, 3, -1) < 0) {
        if (errno == EINTR) continue;
        core_->say("cannot wait for clients: " + errorText(errno));
        return Step::kEndInput;
      }
      if (fds[0].revents != 0) return Step::kStop;  // the messenger is going away
      if (fds[2].revents != 0) {
        const Step step = readClient();
        if (step != Step::kGoOn) return step;
      }
      if (fds[1].revents != 0) {
        const Step step = accept();
        if (step != Step::kGoOn) return step;
      }
    }
  }

  Step accept() {
    UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
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
    client_ = std::make_shared<Connection>(std::move(fd));
    buffer_.clear();
    return Step::kGoOn;
  }

  Step readClient() {
    const ssize_t count = ::read(client_->fd(), chunk_.data(), chunk_.size());
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) return Step::kGoOn;
    if (count <= 0) {
      if (count < 0) core_->say("cannot read from the client: " + errorText(errno));
      core_->say("the client closed; quitting once every request is answered");
      return Step::kEndInput;
    }
    buffer_.insert(buffer_.end(), chunk_.begin(), chunk_.begin() + count);
    std::span<const std::uint8_t> rest(buffer_);
    while (true) {
      ChannelFrame frame = readRequestFrame(rest);
      if (auto* error = std::get_if<ChannelFrameError>(&frame)) {
        core_->say("malformed frame: " + error->reason + "; the client is closed");
        client_->shutDown();
        client_.reset();
        buffer_.clear();
        return Step::kGoOn;
      }
      auto* request = std::get_if<ChannelRequest>(&frame);
      if (request == nullptr) break;
      core_->countMessage();
      core_->mainQueue().async([core = core_, connection = client_, id = request->id,
                                channel = std::move(request->channel),
                                message = FlutterMessage(request->message.begin(), request->message.end())]() mutable {
        Core::deliver(core, connection, id, std::move(channel), message);
      });
      rest = rest.subspan(request->frameSize);
    }
    buffer_.erase(buffer_.begin(), buffer_.end() - static_cast<std::ptrdiff_t>(rest.size()));
    return Step::kGoOn;
  }

  std::shared_ptr<Core> core_;
  UniqueFd listener_;
  std::shared_ptr<Connection> client_;
  std::vector<std::uint8_t> buffer_;  // what has come of the client's next frames
  std::array<std::uint8_t, kReadChunk> chunk_{};
  WakePipe wake_;
  std::thread thread_;  // last: it starts running once everything above is in place
};

ChannelSocketMessenger::ChannelSocketMessenger(DispatchQueue& mainQueue, LineWriter& diagnostics, fs::path path)
    : path_(std::move(path)), core_(std::make_shared<Core>(mainQueue, diagnostics)), listener_(listenAt(path_)) {}

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
