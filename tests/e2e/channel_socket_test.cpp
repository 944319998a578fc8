// The host driven over --channel-socket with raw frames, against real helper
// processes: a session, refused and unknown calls, malformed frames, a second
// client, and a client that leaves while replies are still owed.
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
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
constexpr std::size_t kNullSuccessFrame = 10;  // its length, its id and the two bytes

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
  // A frame under the next id: its length and id, 32 bits each, the channel's name
  // after its 16-bit length, the message; all little-endian.
  Bytes frame(const std::string& channel, const Bytes& message) {
    Bytes frame;
    const auto put = [&frame](std::size_t value, int bytes) {
      for (int i = 0; i < bytes; ++i) frame.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    };
    put(6 + channel.size() + message.size(), 4);
    put(++lastId_, 4);
    put(channel.size(), 2);
    frame.insert(frame.end(), channel.begin(), channel.end());
    frame.insert(frame.end(), message.begin(), message.end());
    return frame;
  }
  std::uint32_t request(const std::string& channel, const Bytes& message) {
    send(frame(channel, message));
    return lastId_;
  }
  std::uint32_t call(const std::string& method, EncodableValue arguments = {}) {
    return request(kVpn, methodCall(method, std::move(arguments)));
  }
  // Sends the call if the socket takes it now, whole (a small frame goes in one
  // piece or not at all), without waiting.
  bool tryCall(const std::string& method) {
    const Bytes bytes = frame(kVpn, methodCall(method));
    if (::send(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size())) {
      return true;
    }
    --lastId_;
    return false;
  }
  std::uint32_t lastId() const { return lastId_; }

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
  // The bytes that come before the host closes its end; none and a failure when it
  // does not close it in time.
  std::size_t bytesUntilClosed() const {
    std::size_t total = 0;
    std::uint8_t bytes[65536];
    for (ssize_t n; (n = ::recv(fd_, bytes, sizeof bytes, 0)) != 0; total += static_cast<std::size_t>(n)) {
      if (n < 0) {
        ADD_FAILURE() << "the host did not close the client";
        return 0;
      }
    }
    return total;
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

// Clients that send without reading what comes back. Owed thousands of replies, one
// sends a malformed frame: it is closed at once, and the next one is served within a
// second. That one sends calls for ten seconds: the host stops reading it rather than
// hold more and more, answers every call once the client reads, and a signal ends it
// while the client is holding it back again.
TEST(ChannelSocket, AClientThatDoesNotReadIsHeldBackAndClosedAtOnceOnAMalformedFrame) {
  TempRoot root;
  SocketHost h(root);
  ChannelClient greedy(h.socket);
  Bytes calls;
  constexpr std::size_t kOwed = 20000;
  for (std::size_t i = 0; i < kOwed; ++i) {
    const Bytes frame = greedy.frame(kVpn, methodCall("print"));
    calls.insert(calls.end(), frame.begin(), frame.end());
  }
  greedy.send(calls);
  greedy.send({0x05, 0, 0, 0, 1, 0, 0, 0, 0});
  const auto malformed = std::chrono::steady_clock::now();
  const std::size_t repliedBeforeTheClose = greedy.bytesUntilClosed() / kNullSuccessFrame;
  EXPECT_LT(repliedBeforeTheClose, kOwed) << "the close waited for what the client was owed";
  ChannelClient client(h.socket);
  EXPECT_EQ(client.reply(client.call("print")), kNullSuccess);
  const auto served = std::chrono::steady_clock::now() - malformed;
  // Sanitizers slow down the main queue's passing on of what the first client sent.
  EXPECT_LT(served, kSanitized ? 5s : 1s) << "from the malformed frame to the next client's first reply";

  offerFor(10s, [&] { return client.tryCall("print"); });
  const Memory memory = h.host.memory();
  for (std::uint32_t id = 2; id <= client.lastId(); ++id) {
    if (client.reply(id) != kNullSuccess) break;  // reply() reported it
  }
  offerFor(1s, [&] { return client.tryCall("print"); });
  const auto [status, took] = sigterm(h.host);
  std::printf(
      "[ figures  ] %zu of %zu replies owed written before the close; the next client served %lld ms after the "
      "malformed frame; %u calls sent without reading in 10 s; the host peaked at %ld kB resident; SIGTERM ended "
      "it in %lld ms\n",
      repliedBeforeTheClose, kOwed,
      static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(served).count()), client.lastId(),
      memory.hwmKb, static_cast<long long>(took.count()));
  EXPECT_EQ(status, 128 + SIGTERM) << "waited 10 s for the host to end after SIGTERM";
  EXPECT_LT(took, 3s);
  if (!kSanitized) {
    EXPECT_LT(memory.hwmKb, kUnreadHostPeakKb) << "peak resident memory, kB";
  }
  EXPECT_THAT(h.host.diagnostics(), Contains(StartsWith("channel socket: malformed frame: ")));
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
