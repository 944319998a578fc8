// The host driven over --channel-socket with raw frames, against real helper
// processes: a session, refused and unknown calls, malformed frames, a second
// client, and a client that leaves while replies are still owed.
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

#include "expectations.h"
#include "platform/flutter/standard_codec.h"

namespace e2e {
namespace {

using Bytes = std::vector<std::uint8_t>;
using platform::EncodableMap;
using platform::EncodableValue;

const std::string kVpn = "com.veltrino.app/vpn";
const Bytes kNullSuccess = {0x00, 0x00};

Bytes methodCall(const std::string& method, EncodableValue arguments = {}) {
  return platform::encodeMethodCall(platform::FlutterMethodCall(method, std::move(arguments)));
}

// The strings of a JSON object as the codec's map.
EncodableValue stringMap(const Json& object) {
  EncodableMap map;
  for (const auto& [key, value] : object.items()) map.emplace_back(key, value.get<std::string>());
  return map;
}

std::string errorCode(const Bytes& reply) {
  const auto envelope = platform::decodeEnvelope(reply);
  const auto* error = std::get_if<platform::EnvelopeError>(&envelope);
  return error == nullptr ? "" : error->code;
}

// A client of the host's channel socket that writes request frames and reads reply
// frames, each read waiting at most ten seconds.
class ChannelClient {
 public:
  // Connects, retrying while the host is still starting.
  explicit ChannelClient(const fs::path& path) {
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    path.native().copy(address.sun_path, sizeof address.sun_path - 1);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0),
           ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      close();
      if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("cannot connect to the host");
      std::this_thread::sleep_for(10ms);
    }
    const timeval wait{.tv_sec = 10, .tv_usec = 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  }
  ~ChannelClient() { close(); }
  ChannelClient(const ChannelClient&) = delete;
  ChannelClient& operator=(const ChannelClient&) = delete;

  void send(const Bytes& bytes) const {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  }
  // A frame: its length and id, 32 bits each, the channel's name after its 16-bit
  // length, the message; all little-endian.
  std::uint32_t request(const std::string& channel, const Bytes& message) {
    Bytes frame;
    const auto put = [&frame](std::size_t value, int bytes) {
      for (int i = 0; i < bytes; ++i) frame.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    };
    put(6 + channel.size() + message.size(), 4);
    put(++lastId_, 4);
    put(channel.size(), 2);
    frame.insert(frame.end(), channel.begin(), channel.end());
    frame.insert(frame.end(), message.begin(), message.end());
    send(frame);
    return lastId_;
  }
  std::uint32_t call(const std::string& method, EncodableValue arguments = {}) {
    return request(kVpn, methodCall(method, std::move(arguments)));
  }

  // The reply bytes of request |id|, whatever came before them; fails the test when
  // they do not come in time.
  Bytes reply(std::uint32_t id) {
    std::uint32_t head[2];  // length and id, as this little-endian machine reads them
    while (!replies_.contains(id) && receive(head, sizeof head) && head[0] >= 4) {
      Bytes body(head[0] - 4);
      if (!receive(body.data(), body.size())) break;
      EXPECT_TRUE(replies_.emplace(head[1], std::move(body)).second) << "a second reply to " << head[1];
    }
    if (!replies_.contains(id)) ADD_FAILURE() << "no reply to request " << id;
    return replies_.contains(id) ? std::move(replies_.extract(id).mapped()) : Bytes{};
  }

  // True once the host has closed its end, with nothing more sent before.
  bool closedByHost() const {
    std::uint8_t byte = 0;
    return ::recv(fd_, &byte, 1, 0) == 0;
  }
  void shutDownWriting() const { ::shutdown(fd_, SHUT_WR); }
  void close() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

 private:
  bool receive(void* into, std::size_t size) const {
    return size == 0 || ::recv(fd_, into, size, MSG_WAITALL) == static_cast<ssize_t>(size);
  }

  int fd_ = -1;
  std::uint32_t lastId_ = 0;
  std::map<std::uint32_t, Bytes> replies_;
};

struct SocketHost {
  explicit SocketHost(const TempRoot& root)
      : socket(root.path() / "host.sock"), host(root, {.arguments = {"--channel-socket", socket.string()}}) {}
  fs::path socket;
  HostProcess host;
};

// Clients that send a malformed frame are closed, a second client is refused while
// one is open, and the next client's session reaches the helper, each request
// getting its one reply.
TEST(ChannelSocket, MalformedFramesCloseTheirClientAndTheNextClientsSessionIsServed) {
  TempRoot root;
  root.installHelper();
  SocketHost h(root);
  const std::pair<const char*, Bytes> rows[] = {
      {"a length with no room for the id", {0x05, 0, 0, 0, 1, 0, 0, 0, 0}},
      {"a name past the end", {0x07, 0, 0, 0, 1, 0, 0, 0, 0x02, 0x00, 'c'}},
      {"a length over the limit", {0x01, 0, 0, 0x04}},
  };
  for (const auto& [what, frame] : rows) {
    ChannelClient client(h.socket);
    ChannelClient second(h.socket);
    EXPECT_TRUE(second.closedByHost()) << what;
    client.send(frame);
    EXPECT_TRUE(client.closedByHost()) << what;
  }
  ChannelClient client(h.socket);
  EXPECT_EQ(fs::status(h.socket).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  // The frames' own bytes are channel_frame_test's; here, that each call is answered.
  EXPECT_EQ(client.reply(client.call("print")), kNullSuccess);

  // Sent one after another, answered in whatever order.
  const std::uint32_t token = client.call("set_token", stringMap(kToken));
  const std::uint32_t hive = client.call("set_hive", stringMap(kHive));
  const std::uint32_t on = client.call("on", EncodableMap{});
  const std::uint32_t refused = client.call("set_hive", stringMap({{"ip", "10.9.9.9"}}));
  const std::uint32_t unknown = client.call("no_such_method");
  const std::uint32_t elsewhere = client.request("com.veltrino.app/elsewhere", methodCall("on"));
  const std::uint32_t notACall = client.request(kVpn, {0x07});
  for (std::uint32_t id : {token, hive, on}) EXPECT_EQ(client.reply(id), kNullSuccess) << id;
  EXPECT_EQ(errorCode(client.reply(refused)), "missing_arguments");
  EXPECT_THAT(client.reply(unknown), IsEmpty());
  EXPECT_THAT(client.reply(elsewhere), IsEmpty());
  EXPECT_EQ(errorCode(client.reply(notACall)), platform::kMalformedMethodCall);

  ASSERT_TRUE(root.waitForOps(3));
  EXPECT_THAT(root.opNames(), ElementsAre("#1 setToken", "#1 setHive", "#1 iosOn"));

  // Input ends with the client's writing side; what is owed still comes back.
  const std::uint32_t version = client.call("get_tunnel_version");
  client.shutDownWriting();
  EXPECT_EQ(client.reply(version), platform::encodeSuccessEnvelope(std::string("1.0.0")));
  EXPECT_TRUE(client.closedByHost());
  EXPECT_EQ(h.host.finish(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(h.socket))) << "the socket file is removed at exit";
  const std::string refusedClient = "channel socket: refused a second client: one client at a time";
  const auto closed = ::testing::AllOf(StartsWith("channel socket: malformed frame: "),
                                       ::testing::EndsWith("; the client is closed"));
  EXPECT_THAT(h.host.diagnostics(),
              ElementsAre("channel socket: listening on " + h.socket.string(), refusedClient, closed, refusedClient,
                          closed, refusedClient, closed, "",
                          "channel socket: the client closed; quitting once every request is answered"));
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
