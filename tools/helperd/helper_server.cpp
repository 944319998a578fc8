#include "tools/helperd/helper_server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <nlohmann/json.hpp>

#include "platform/linux/private_log.h"
#include "platform/linux/wire/wire.h"

namespace helperd {
namespace {

namespace wire = platform::linux_backend::wire;
using platform::XPCValue;
using platform::XPCValues;
using platform::linux_backend::UniqueFd;
using Stream = asio::local::stream_protocol;

// Values that the wire carries but not what the operation's reply declares.
XPCValues wrongTypes(const std::string& op) {
  if (op == "getVersion") return {true, false};
  if (op == "access") return {std::string("true"), true, true};
  if (op == "getTunnelVersion") return {false};
  return {std::string("unexpected")};
}

}  // namespace

struct HelperServer::Impl : std::enable_shared_from_this<HelperServer::Impl> {
  Impl(asio::io_context& io, HelperOptions options) : io(io), acceptor(io), options(std::move(options)) {}

  asio::io_context& io;
  Stream::acceptor acceptor;
  HelperOptions options;
  UniqueFd opsLog;
  int opsLogError = 0;
  unsigned long operations = 0;
  const pid_t pid = ::getpid();
  bool exiting = false;
  // Replies scheduled and not yet written or dropped: asked to exit, the helper
  // first writes what it owes, as a serial helper would have before reading on.
  unsigned long owed = 0;

  void settle(unsigned long paid) {
    owed -= paid;
    if (exiting && owed == 0) io.stop();
  }

  class Session;

  void accept();
  // What the operation gets back: none for no answer.
  std::optional<XPCValues> answer(const std::string& op) const;
  void logOperation(const std::string& op, const XPCValues& arguments);
  void receive(const std::shared_ptr<Session>& session, wire::Request request);
};

class HelperServer::Impl::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(std::shared_ptr<Impl> server, Stream::socket socket)
      : server_(std::move(server)), socket_(std::move(socket)) {}

  void start() { read(); }

  void write(std::string bytes, bool closeAfter = false) {
    queue_.push_back(Outgoing{std::move(bytes), closeAfter});
    if (!writing_) writeNext();
  }

  void close() {
    std::error_code ignored;
    socket_.shutdown(Stream::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

 private:
  struct Outgoing {
    std::string bytes;
    bool closeAfter;
  };

  void read() {
    socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](std::error_code ec, std::size_t n) {
      if (ec) {
        self->close();
        return;
      }
      self->decoder_.feed(std::string_view(self->buffer_.data(), n));
      while (auto message = self->decoder_.next()) {
        if (self->server_->exiting) return;
        auto* request = std::get_if<wire::Request>(&*message);
        if (request == nullptr) {
          std::fprintf(stderr, "veltrino-helperd: a connection sent a reply; closing it\n");
          self->close();
          return;
        }
        self->server_->receive(self, std::move(*request));
      }
      if (self->decoder_.failed()) {
        std::fprintf(stderr, "veltrino-helperd: closing a connection: %s\n", self->decoder_.error()->c_str());
        self->close();
        return;
      }
      self->read();
    });
  }

  void writeNext() {
    if (queue_.empty()) return;
    writing_ = true;
    asio::async_write(socket_, asio::buffer(queue_.front().bytes),
                      [self = shared_from_this()](std::error_code ec, std::size_t) {
                        self->writing_ = false;
                        const bool closeAfter = self->queue_.front().closeAfter;
                        self->queue_.pop_front();
                        if (ec || closeAfter) {
                          const auto dropped = self->queue_.size();
                          self->queue_.clear();
                          self->close();
                          self->server_->settle(1 + dropped);
                          return;
                        }
                        self->writeNext();
                        self->server_->settle(1);
                      });
  }

  std::shared_ptr<Impl> server_;
  Stream::socket socket_;
  wire::FrameDecoder decoder_{wire::kMaxRequestBytes};
  std::array<char, 65536> buffer_{};
  std::deque<Outgoing> queue_;
  bool writing_ = false;
};

void HelperServer::Impl::accept() {
  acceptor.async_accept([self = shared_from_this()](std::error_code ec, Stream::socket socket) {
    if (ec) {
      if (ec != asio::error::operation_aborted) std::fprintf(stderr, "veltrino-helperd: accept: %s\n", ec.message().c_str());
      if (ec == asio::error::operation_aborted || ec == asio::error::bad_descriptor) return;
      self->accept();
      return;
    }
    // Only our own user and root may drive the helper.
    struct ucred peer {};
    socklen_t length = sizeof(peer);
    if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
        (peer.uid != ::getuid() && peer.uid != 0)) {
      std::fprintf(stderr, "veltrino-helperd: refused a connection from another user\n");
      std::error_code ignored;
      socket.close(ignored);
    } else {
      std::make_shared<Session>(self, std::move(socket))->start();
    }
    self->accept();
  });
}

std::optional<XPCValues> HelperServer::Impl::answer(const std::string& op) const {
  if (options.silent.count(op) != 0) return std::nullopt;
  if (op == "getVersion") return XPCValues{options.version, options.build};
  if (op == "access") {
    if (options.accessFailure) return XPCValues{false, options.accessFailure->first, options.accessFailure->second};
    return XPCValues{true, std::string(), std::string()};
  }
  if (op == "getTunnelVersion") {
    return XPCValues{options.tunnelVersion ? XPCValue(*options.tunnelVersion) : XPCValue()};
  }
  return XPCValues{};
}

void HelperServer::Impl::logOperation(const std::string& op, const XPCValues& arguments) {
  // {"pid":N,"op":"...","args":[...]}, bytes that are not UTF-8 as U+FFFD.
  // Key by key into room for all three: an initializer list would build and copy a
  // tree for every pair.
  using OrderedJson = nlohmann::ordered_json;
  OrderedJson line = OrderedJson::object();
  line.get_ref<OrderedJson::object_t&>().reserve(3);
  line["pid"] = pid;
  line["op"] = op;
  auto& args = line["args"] = OrderedJson::array();
  args.get_ref<OrderedJson::array_t&>().reserve(arguments.size());
  for (const auto& value : arguments) {
    if (const auto* b = std::get_if<bool>(&value)) {
      args.push_back(*b);
    } else if (const auto* s = std::get_if<std::string>(&value)) {
      args.push_back(*s);
    } else {
      args.push_back(nullptr);
    }
  }
  std::string text = line.dump(-1, ' ', false, OrderedJson::error_handler_t::replace);
  text.push_back('\n');
  // One write per line on an append-only file: lines of several runs never mix.
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(opsLog.get(), data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::fprintf(stderr, "veltrino-helperd: couldn't write the ops log: %s\n", std::strerror(errno));
      return;
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
}

void HelperServer::Impl::receive(const std::shared_ptr<Session>& session, wire::Request request) {
  const std::string op = operationName(request.selector);
  logOperation(op, request.arguments);
  ++operations;
  if (options.crashAfter && operations == *options.crashAfter) {
    std::fflush(nullptr);
    ::_exit(70);
  }
  if (op == "exitHelper") {
    exiting = true;
    settle(0);
    return;
  }
  if (!request.id) return;
  auto values = answer(op);
  if (!values) return;

  const std::uint64_t id = *request.id;
  auto fault = options.faults.find(op);
  std::string bytes;
  bool closeAfter = false;
  if (fault == options.faults.end()) {
    bytes = wire::encodeFrame(wire::Reply{id, std::move(*values)}).value_or(std::string());
  } else {
    switch (fault->second) {
      case ReplyFault::Malformed: {
        // The reply's body without its last byte, in a frame of its own: the map
        // ends before its last value does.
        std::string body = wire::encodeBody(wire::Reply{id, std::move(*values)});
        body.pop_back();
        bytes = wire::frameHeader(static_cast<std::uint32_t>(body.size())) + body;
        break;
      }
      case ReplyFault::Oversize:
        bytes = wire::frameHeader(static_cast<std::uint32_t>(wire::kMaxFrameBytes + 1)) +
                wire::encodeBody(wire::Reply{id, std::move(*values)});
        break;
      case ReplyFault::UnknownId:
        bytes = *wire::encodeFrame(wire::Reply{id + 1000000000, std::move(*values)});
        break;
      case ReplyFault::WrongTypes:
        bytes = *wire::encodeFrame(wire::Reply{id, wrongTypes(op)});
        break;
      case ReplyFault::HalfFrame: {
        const std::string whole = *wire::encodeFrame(wire::Reply{id, std::move(*values)});
        bytes = whole.substr(0, whole.size() / 2);
        closeAfter = true;
        break;
      }
    }
  }
  ++owed;
  if (options.replyDelay.count() == 0 || (!options.late.empty() && options.late.count(op) == 0)) {
    session->write(std::move(bytes), closeAfter);
    return;
  }
  auto timer = std::make_shared<asio::steady_timer>(io, options.replyDelay);
  timer->async_wait([self = shared_from_this(), timer, session, bytes = std::move(bytes),
                     closeAfter](std::error_code ec) mutable {
    if (ec) return self->settle(1);
    session->write(std::move(bytes), closeAfter);
  });
}

HelperServer::HelperServer(asio::io_context& io, UniqueFd listener, HelperOptions options,
                           const std::filesystem::path& opsLog)
    : impl_(std::make_shared<Impl>(io, std::move(options))) {
  std::error_code ec;
  std::filesystem::create_directories(opsLog.parent_path(), ec);
  // The log holds every argument, secrets included.
  impl_->opsLog = platform::linux_backend::openPrivateLog(opsLog);
  if (!impl_->opsLog) impl_->opsLogError = errno;
  impl_->acceptor.assign(Stream(), listener.release(), ec);
  if (ec) std::fprintf(stderr, "veltrino-helperd: the listening socket is not usable: %s\n", ec.message().c_str());
}

HelperServer::~HelperServer() {
  std::error_code ignored;
  impl_->acceptor.close(ignored);
}

bool HelperServer::start(std::string& error) {
  if (!impl_->opsLog) {
    error = std::string("couldn't open the ops log: ") + std::strerror(impl_->opsLogError);
    return false;
  }
  if (!impl_->acceptor.is_open()) {
    error = "no listening socket";
    return false;
  }
  impl_->accept();
  return true;
}

}  // namespace helperd
