// The host driven over --channel-socket with raw frames, against real helper
// processes: a session, refused and unknown calls, malformed frames, a second
// client, and a client that leaves while replies are still owed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host_process.h"
#include "platform/flutter/standard_codec.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using platform::EncodableMap;
using platform::EncodableValue;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

const std::string kVpn = "com.veltrino.app/vpn";

void appendU32(Bytes& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

Bytes requestFrame(std::uint32_t id, const std::string& channel, const Bytes& message) {
  Bytes out;
  appendU32(out, static_cast<std::uint32_t>(4 + 2 + channel.size() + message.size()));
  appendU32(out, id);
  out.push_back(static_cast<std::uint8_t>(channel.size()));
  out.push_back(static_cast<std::uint8_t>(channel.size() >> 8));
  out.insert(out.end(), channel.begin(), channel.end());
  out.insert(out.end(), message.begin(), message.end());
  return out;
}

Bytes methodCall(const std::string& method, EncodableValue arguments = {}) {
  return platform::encodeMethodCall(platform::FlutterMethodCall(method, std::move(arguments)));
}

EncodableValue stringMap(const std::vector<std::pair<std::string, std::string>>& entries) {
  EncodableMap map;
  for (const auto& [key, value] : entries) map.emplace_back(key, value);
  return map;
}

// A client of the host's channel socket, one frame at a time.
class ChannelClient {
 public:
  // Connects, retrying while the host is still starting.
  explicit ChannelClient(const fs::path& path, std::chrono::milliseconds timeout = 10s) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.native().copy(address.sun_path, sizeof address.sun_path - 1);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return;
      ::close(fd_);
      fd_ = -1;
      if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("cannot connect to the host");
      std::this_thread::sleep_for(10ms);
    }
  }
  ~ChannelClient() { close(); }
  ChannelClient(const ChannelClient&) = delete;
  ChannelClient& operator=(const ChannelClient&) = delete;

  void send(const Bytes& bytes) const {
    for (std::size_t at = 0; at < bytes.size();) {
      const ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error("the host closed the socket");
      at += static_cast<std::size_t>(n);
    }
  }
  std::uint32_t request(const std::string& channel, const Bytes& message) {
    send(requestFrame(++lastId_, channel, message));
    return lastId_;
  }
  std::uint32_t call(const std::string& method, EncodableValue arguments = {}) {
    return request(kVpn, methodCall(method, std::move(arguments)));
  }

  // The reply bytes of request |id|, whatever came before them, taken out so that the
  // id can be used again; fails the test when they do not come in time.
  Bytes reply(std::uint32_t id, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!replies_.contains(id)) {
      if (!readSome(deadline)) {
        ADD_FAILURE() << "no reply to request " << id;
        return {};
      }
      while (buffer_.size() >= 8 && buffer_.size() >= 4 + readU32(0)) {
        const std::uint32_t length = readU32(0);
        const std::uint32_t replyTo = readU32(4);
        EXPECT_TRUE(replies_.emplace(replyTo, Bytes(buffer_.begin() + 8, buffer_.begin() + 4 + length)).second)
            << "a second reply to request " << replyTo;
        buffer_.erase(buffer_.begin(), buffer_.begin() + 4 + length);
      }
    }
    return std::move(replies_.extract(id).mapped());
  }
  platform::DecodedEnvelope envelope(std::uint32_t id) { return platform::decodeEnvelope(reply(id)); }

  // True once the host has closed its end, with nothing more sent before.
  bool closedByHost(std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (readSome(deadline)) {
    }
    return eof_ && buffer_.empty();
  }

  void shutDownWriting() const { ::shutdown(fd_, SHUT_WR); }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  std::uint32_t readU32(std::size_t at) const {
    return static_cast<std::uint32_t>(buffer_[at]) | static_cast<std::uint32_t>(buffer_[at + 1]) << 8 |
           static_cast<std::uint32_t>(buffer_[at + 2]) << 16 | static_cast<std::uint32_t>(buffer_[at + 3]) << 24;
  }

  // False at the end of the stream or past |deadline|.
  bool readSome(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd ready{fd_, POLLIN, 0};
    if (eof_ || left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) != 1) return false;
    std::uint8_t chunk[4096];
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n <= 0) {
      eof_ = true;
      return false;
    }
    buffer_.insert(buffer_.end(), chunk, chunk + n);
    return true;
  }

  int fd_ = -1;
  std::uint32_t lastId_ = 0;
  Bytes buffer_;
  bool eof_ = false;
  std::map<std::uint32_t, Bytes> replies_;
};

bool isNullSuccess(const platform::DecodedEnvelope& envelope) {
  const auto* success = std::get_if<platform::EnvelopeSuccess>(&envelope);
  return success != nullptr && success->result.isNull();
}

std::string errorCode(const platform::DecodedEnvelope& envelope) {
  const auto* error = std::get_if<platform::EnvelopeError>(&envelope);
  return error == nullptr ? "" : error->code;
}

struct SocketHost {
  explicit SocketHost(const TempRoot& root)
      : socket(root.path() / "host.sock"), host(root, {}, false, {"--channel-socket", socket.string()}) {}
  fs::path socket;
  HostProcess host;
};

TEST(ChannelSocket, ASessionReachesTheHelperAndEveryRequestGetsItsOneReply) {
  TempRoot root;
  root.installHelper();
  SocketHost h(root);
  ChannelClient client(h.socket);
  EXPECT_EQ(fs::status(h.socket).permissions(), fs::perms::owner_read | fs::perms::owner_write);

  // The frame and reply the README shows: `print` without arguments, request id 1.
  client.send({0x22, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x14, 0x00, 'c', 'o', 'm', '.', 'v', 'e', 'l', 't', 'r',
               'i',  'n',  'o',  '.',  'a',  'p',  'p',  '/',  'v',  'p',  'n', 0x07, 0x05, 'p', 'r', 'i', 'n', 't',
               0x00});
  EXPECT_EQ(client.reply(1), Bytes({0x00, 0x00}));

  // Sent in one go, answered in whatever order.
  const std::uint32_t token = client.call("set_token", stringMap({{"app", "veltrino"},
                                                                  {"uid", "u-1"},
                                                                  {"token", "tok-1"},
                                                                  {"device", "dev-1"},
                                                                  {"version", "3.2"}}));
  const std::uint32_t hive = client.call("set_hive", stringMap({{"ip", "10.8.0.1"}, {"port", "443"}, {"hive", "eu-1"}}));
  const std::uint32_t on = client.call("on", EncodableMap{});
  const std::uint32_t refused = client.call("set_hive", stringMap({{"ip", "10.9.9.9"}}));
  const std::uint32_t unknown = client.call("no_such_method");
  const std::uint32_t elsewhere = client.request("com.veltrino.app/elsewhere", methodCall("on"));
  const std::uint32_t notACall = client.request(kVpn, {0x07});
  for (std::uint32_t id : {token, hive, on}) EXPECT_TRUE(isNullSuccess(client.envelope(id))) << id;
  EXPECT_EQ(errorCode(client.envelope(refused)), "missing_arguments");
  EXPECT_THAT(client.reply(unknown), IsEmpty());
  EXPECT_THAT(client.reply(elsewhere), IsEmpty());
  EXPECT_EQ(errorCode(client.envelope(notACall)), platform::kMalformedMethodCall);

  ASSERT_TRUE(root.waitForOps(3));
  EXPECT_THAT(root.opNames(), ElementsAre("#1 setToken", "#1 setHive", "#1 iosOn"));

  // Input ends with the client's writing side; what is owed still comes back.
  const std::uint32_t version = client.call("get_tunnel_version");
  client.shutDownWriting();
  const auto versionEnvelope = client.envelope(version);
  ASSERT_TRUE(std::holds_alternative<platform::EnvelopeSuccess>(versionEnvelope));
  EXPECT_EQ(std::get<platform::EnvelopeSuccess>(versionEnvelope).result, EncodableValue(std::string("1.0.0")));
  EXPECT_TRUE(client.closedByHost());
  EXPECT_EQ(h.host.finish(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(h.socket))) << "the socket file is removed at exit";
  EXPECT_THAT(h.host.diagnostics(), ElementsAre("channel socket: listening on " + h.socket.string(), "",
                                                "channel socket: the client closed; quitting once every request "
                                                "is answered"));
}

TEST(ChannelSocket, AMalformedFrameClosesThatClientAndTheNextOneIsServed) {
  TempRoot root;
  SocketHost h(root);
  struct Row {
    const char* what;
    Bytes frame;
  };
  const Row rows[] = {
      {.what = "a length with no room for the id", .frame = {0x05, 0, 0, 0, 1, 0, 0, 0, 0}},
      {.what = "a name past the end", .frame = {0x07, 0, 0, 0, 1, 0, 0, 0, 0x02, 0x00, 'c'}},
      {.what = "a length over the limit", .frame = {0x01, 0, 0, 0x04}},
  };
  for (const auto& row : rows) {
    ChannelClient client(h.socket);
    // Refused while this one is open.
    ChannelClient second(h.socket);
    EXPECT_TRUE(second.closedByHost()) << row.what;
    client.send(row.frame);
    EXPECT_TRUE(client.closedByHost()) << row.what;
  }
  ChannelClient client(h.socket);
  EXPECT_TRUE(isNullSuccess(client.envelope(client.call("print", stringMap({{"message", "served"}})))));
  client.close();
  EXPECT_EQ(h.host.finish(), 0);

  const auto lines = h.host.diagnostics();
  EXPECT_THAT(lines, Contains("served"));
  std::size_t malformed = 0;
  std::size_t refusedSeconds = 0;
  for (const auto& line : lines) {
    malformed += line.starts_with("channel socket: malformed frame: ") && line.ends_with("; the client is closed");
    refusedSeconds += line == "channel socket: refused a second client: one client at a time";
  }
  EXPECT_EQ(malformed, std::size(rows));
  EXPECT_EQ(refusedSeconds, std::size(rows));
}

TEST(ChannelSocket, AClientThatLeavesWithRepliesOwedLetsTheHostSettleThemAndQuit) {
  TempRoot root;
  root.installHelper({"--reply-delay-ms", "2000"});
  SocketHost h(root);
  const auto sent = std::chrono::steady_clock::now();
  {
    ChannelClient client(h.socket);
    client.call("get_tunnel_version");
    client.call("print", stringMap({{"message", "before leaving"}}));
  }
  EXPECT_EQ(h.host.finish(), 0);
  // It waited for the helper's late reply, which found no one to go to.
  EXPECT_GE(std::chrono::steady_clock::now() - sent, 1900ms);
  EXPECT_THAT(root.opNames(), ElementsAre("#1 getTunnelVersion"));
  EXPECT_THAT(h.host.diagnostics(), Not(Contains(HasSubstr("dropped"))));
  EXPECT_THAT(h.host.standardError(), IsEmpty());
}

}  // namespace
}  // namespace e2e
