// The frames that carry helper messages over a Unix-domain socket: a 4-byte
// big-endian length, then that many bytes of one MessagePack map. Shared by the host
// and the helper daemon. No I/O here: bytes in, messages out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/linux/expected.h"
#include "platform/xpc.h"

namespace platform::linux_backend::wire {

// Largest body a reply frame may carry, which is what a decoder takes unless told
// otherwise; a longer length header breaks the stream.
inline constexpr std::size_t kMaxFrameBytes = 1048576;
// Largest body a request frame may carry: messages as large as XPC carries.
inline constexpr std::size_t kMaxRequestBytes = std::size_t{64} * 1048576;
inline constexpr std::size_t kHeaderBytes = 4;

// {"selector": "...", "arguments": [...], "id": N}; the id only when a reply is awaited.
struct Request {
  std::string selector;
  XPCValues arguments;
  std::optional<std::uint64_t> id;
  bool operator==(const Request&) const = default;
};

// {"id": N, "values": [...]}
struct Reply {
  std::uint64_t id = 0;
  XPCValues values;
  bool operator==(const Reply&) const = default;
};

using Message = std::variant<Request, Reply>;

// The MessagePack body of |message|. Strings that are not valid UTF-8 have each bad
// piece replaced by U+FFFD, since a peer refuses them; strings of 4 GiB or more,
// which no frame carries, throw std::length_error.
std::string encodeBody(const Message& message);
// The same for one shape, without first copying it into a Message.
std::string encodeBody(const Request& request);
std::string encodeBody(const Reply& reply);
// A whole frame (header and body); none when the body would exceed its limit:
// kMaxRequestBytes for a request, kMaxFrameBytes for a reply.
std::optional<std::string> encodeFrame(const Message& message);
std::optional<std::string> encodeFrame(const Request& request);
std::optional<std::string> encodeFrame(const Reply& reply);
// A header announcing |length| bytes, for writers that build frames by hand.
std::string frameHeader(std::uint32_t length);

// Reads a body into a message; refused, with the reason, unless the body is exactly one
// MessagePack map of one of the two shapes above: string keys, each at most once and
// none other; a non-empty selector; an unsigned id; arrays of nil, booleans and
// strings; strings valid UTF-8.
Expected<Message> decodeBody(std::string_view body);

// Incremental decoder: feed bytes as they arrive, take complete messages out. The
// first bad frame (oversize length, a body decodeBody refuses) breaks the stream for
// good: later input is ignored and no further message comes out.
class FrameDecoder {
 public:
  // Takes frames of up to |limit| bytes of body: kMaxRequestBytes where requests are read.
  explicit FrameDecoder(std::size_t limit = kMaxFrameBytes) : limit_(limit) {}
  void feed(std::string_view bytes);
  // The next complete message, in order; none while more bytes are needed. Messages
  // that were whole before a bad frame still come out; nothing after it does.
  std::optional<Message> next();
  bool failed() const { return error_.has_value(); }
  const std::optional<std::string>& error() const { return error_; }
  // Bytes held that do not yet form a whole frame.
  std::size_t buffered() const { return buffer_.size() - head_; }

 private:
  // Decodes the whole frames at the start of |bytes|; returns how many bytes they
  // took. Sets error_ at the first bad one.
  std::size_t parseFrames(std::string_view bytes);

  // Bytes before head_ belong to frames already decoded; they are dropped only when
  // that is cheap compared with what is still held.
  std::size_t limit_;
  std::string buffer_;
  std::size_t head_ = 0;
  std::deque<Message> ready_;
  std::optional<std::string> error_;
};

}  // namespace platform::linux_backend::wire
