#include "platform/linux/wire/wire.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <type_traits>

#include <msgpack.hpp>

namespace platform::linux_backend::wire {
namespace {

// ---- UTF-8 ------------------------------------------------------------------------

// The length of the well-formed UTF-8 sequence that |s| starts with; else, negated,
// the length of the piece that one U+FFFD replaces: a stray byte alone, or the start
// of a sequence up to the byte that cuts it short (Unicode's "maximal subpart").
int utf8Sequence(std::string_view s) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  int length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;   // overlong
    if (lead == 0xed) high = 0x9f;  // surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;   // overlong
    if (lead == 0xf4) high = 0x8f;  // past U+10FFFF
  } else {
    return -1;
  }
  for (int i = 1; i < length; ++i) {
    const auto at = static_cast<std::size_t>(i);
    if (at >= s.size() || byte(at) < low || byte(at) > high) return -i;
    low = 0x80;
    high = 0xbf;
  }
  return length;
}

bool validUtf8(std::string_view s) {
  while (!s.empty()) {
    const int length = utf8Sequence(s);
    if (length < 0) return false;
    s.remove_prefix(static_cast<std::size_t>(length));
  }
  return true;
}

std::string repairedUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 8);
  while (!s.empty()) {
    const int length = utf8Sequence(s);
    const auto size = static_cast<std::size_t>(length < 0 ? -length : length);
    if (length < 0) {
      out.append("\xef\xbf\xbd");
    } else {
      out.append(s.substr(0, size));
    }
    s.remove_prefix(size);
  }
  return out;
}

// ---- The encoder ------------------------------------------------------------------

// Where the packer writes: the end of the string being built.
struct Sink {
  std::string& out;
  void write(const char* data, std::size_t size) { out.append(data, size); }
};
using Packer = msgpack::packer<Sink>;

void packString(Packer& packer, std::string_view text) {
  if (!validUtf8(text)) {
    packString(packer, repairedUtf8(text));
    return;
  }
  if (text.size() > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("a string over 4 GiB");
  const auto size = static_cast<std::uint32_t>(text.size());
  packer.pack_str(size);
  packer.pack_str_body(text.data(), size);
}

void packValues(Packer& packer, const XPCValues& values) {
  packer.pack_array(static_cast<std::uint32_t>(values.size()));
  for (const auto& value : values) {
    if (const auto* b = std::get_if<bool>(&value)) {
      *b ? packer.pack_true() : packer.pack_false();
    } else if (const auto* s = std::get_if<std::string>(&value)) {
      packString(packer, *s);
    } else {
      packer.pack_nil();
    }
  }
}

void appendBody(std::string& out, const Request& request) {
  Sink sink{out};
  Packer packer(sink);
  packer.pack_map(request.id ? 3 : 2);
  packString(packer, "selector");
  packString(packer, request.selector);
  packString(packer, "arguments");
  packValues(packer, request.arguments);
  if (request.id) {
    packString(packer, "id");
    packer.pack_uint64(*request.id);
  }
}

void appendBody(std::string& out, const Reply& reply) {
  Sink sink{out};
  Packer packer(sink);
  packer.pack_map(2);
  packString(packer, "id");
  packer.pack_uint64(reply.id);
  packString(packer, "values");
  packValues(packer, reply.values);
}

// The fewest bytes the body can take: each value's own bytes and one for its header.
// Repair only ever adds bytes.
std::size_t leastBytes(const XPCValues& values) {
  std::size_t size = 0;
  for (const auto& value : values) {
    const auto* s = std::get_if<std::string>(&value);
    size += s != nullptr ? s->size() + 1 : 1;
  }
  return size;
}
std::size_t leastBody(const Request& request) { return request.selector.size() + leastBytes(request.arguments); }
std::size_t leastBody(const Reply& reply) { return leastBytes(reply.values); }
// Room for the keys, the id and the headers of the usual short strings.
constexpr std::size_t kBodySlack = 64;

void putHeader(char* out, std::uint32_t length) {
  out[0] = static_cast<char>((length >> 24) & 0xff);
  out[1] = static_cast<char>((length >> 16) & 0xff);
  out[2] = static_cast<char>((length >> 8) & 0xff);
  out[3] = static_cast<char>(length & 0xff);
}

template <typename Shape>
std::string bodyOf(const Shape& message) {
  std::string body;
  body.reserve(leastBody(message) + kBodySlack);
  appendBody(body, message);
  return body;
}

template <typename Shape>
constexpr std::size_t limitOf = std::is_same_v<Shape, Request> ? kMaxRequestBytes : kMaxFrameBytes;

template <typename Shape>
std::optional<std::string> frameOf(const Shape& message) {
  // Not even built when it cannot fit.
  if (leastBody(message) > limitOf<Shape>) return std::nullopt;
  std::string frame;
  frame.reserve(kHeaderBytes + leastBody(message) + kBodySlack);
  frame.append(kHeaderBytes, '\0');
  appendBody(frame, message);
  const std::size_t length = frame.size() - kHeaderBytes;
  if (length > limitOf<Shape>) return std::nullopt;
  putHeader(frame.data(), static_cast<std::uint32_t>(length));
  return frame;
}

// ---- The decoder ------------------------------------------------------------------

// Takes one body as msgpack's parser walks it, and stops it at the first thing that
// does not belong in either shape, with the reason. Nothing is built for a value
// before it is known to fit, so no claimed size makes it allocate.
class BodyReader : public msgpack::null_visitor {
 public:
  bool visit_nil() { return item(std::monostate{}); }
  bool visit_boolean(bool value) { return item(value); }
  bool visit_positive_integer(std::uint64_t value) {
    if (place_ != Place::Value || field_ != kId) return misplaced();
    id_ = value;
    return true;
  }
  bool visit_negative_integer(std::int64_t /*value*/) { return misplaced(); }
  bool visit_float32(float /*value*/) { return misplaced(); }
  bool visit_float64(double /*value*/) { return misplaced(); }
  bool visit_bin(const char* /*data*/, std::uint32_t /*size*/) { return misplaced(); }
  bool visit_ext(const char* /*data*/, std::uint32_t /*size*/) { return misplaced(); }
  bool visit_str(const char* data, std::uint32_t size) {
    const std::string_view text(data, size);
    if (place_ == Place::Key) return key(text);
    const bool selector = place_ == Place::Value && field_ == kSelector;
    if (!selector && place_ != Place::Item) return misplaced();
    if (!validUtf8(text)) return fail(quoted(kNames[field_]) + " holds a string that is not valid UTF-8");
    if (selector) {
      selector_.emplace(text);
      return true;
    }
    return item(std::string(text));
  }
  bool start_array(std::uint32_t count) {
    if (place_ != Place::Value || (field_ != kArguments && field_ != kValues)) return misplaced();
    place_ = Place::Item;
    // Helper calls carry a handful of values: one allocation, whatever the peer claims.
    (field_ == kArguments ? arguments_ : values_).emplace().reserve(std::min<std::uint32_t>(count, 8));
    return true;
  }
  bool end_array() {
    place_ = Place::Value;
    return true;
  }
  bool start_map(std::uint32_t /*count*/) {
    if (place_ != Place::Top) return misplaced();
    place_ = Place::Key;
    return true;
  }
  bool start_map_key() {
    place_ = Place::Key;
    return true;
  }
  void parse_error(std::size_t /*parsed*/, std::size_t /*at*/) { error_ = "the frame is not MessagePack"; }
  void insufficient_bytes(std::size_t /*parsed*/, std::size_t /*at*/) { error_ = "the frame ends inside a value"; }

  const std::string& error() const { return error_; }

  // The message read, once the parser has taken one whole value: |whole| when that
  // was all the body held.
  std::optional<Message> message(bool whole) {
    if (!whole) return refuse("the frame holds bytes after its map");
    if (selector_) {
      if (values_) return refuse("unexpected key \"values\" in a request");
      if (selector_->empty()) return refuse("\"selector\" is not a non-empty string");
      if (!arguments_) return refuse("a request without \"arguments\"");
      return Message(Request{std::move(*selector_), std::move(*arguments_), id_});
    }
    if (values_) {
      if (arguments_) return refuse("unexpected key \"arguments\" in a reply");
      if (!id_) return refuse("a reply without \"id\"");
      return Message(Reply{*id_, std::move(*values_)});
    }
    return refuse("the frame is neither a request nor a reply");
  }

 private:
  enum class Place { Top, Key, Value, Item };
  // The keys, by their index in kNames.
  enum Field : unsigned { kSelector, kArguments, kId, kValues };
  static constexpr std::string_view kNames[] = {"selector", "arguments", "id", "values"};

  static std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

  bool fail(std::string reason) {
    error_ = std::move(reason);
    return false;
  }
  std::nullopt_t refuse(std::string reason) {
    error_ = std::move(reason);
    return std::nullopt;
  }

  bool key(std::string_view text) {
    const auto at = static_cast<unsigned>(std::find(std::begin(kNames), std::end(kNames), text) - std::begin(kNames));
    constexpr std::size_t kShown = 32;  // a peer's key, quoted no longer than this
    if (at == std::size(kNames)) return fail("unexpected key " + quoted(text.substr(0, kShown)));
    if ((seen_ & (1u << at)) != 0) return fail("repeated key " + quoted(kNames[at]));
    seen_ |= 1u << at;
    field_ = static_cast<Field>(at);
    place_ = Place::Value;
    return true;
  }

  // One of an array's values, built in place (GCC 12 takes a moved variant for
  // uninitialized).
  template <typename Value>
  bool item(Value&& value) {
    if (place_ != Place::Item) return misplaced();
    (field_ == kArguments ? arguments_ : values_)->emplace_back(std::forward<Value>(value));
    return true;
  }

  // A value where the shapes have none of its kind.
  bool misplaced() {
    switch (place_) {
      case Place::Top: return fail("the frame is not a MessagePack map");
      case Place::Key: return fail("a key that is not a string");
      case Place::Item: return fail(quoted(kNames[field_]) + " holds a value that is not nil, a boolean or a string");
      case Place::Value: break;
    }
    if (field_ == kSelector) return fail("\"selector\" is not a non-empty string");
    if (field_ == kId) return fail("\"id\" is not an unsigned integer");
    return fail(quoted(kNames[field_]) + " is not an array");
  }

  Place place_ = Place::Top;
  Field field_ = kSelector;
  unsigned seen_ = 0;  // a bit for each key read, by its Field
  std::optional<std::string> selector_;
  std::optional<XPCValues> arguments_;
  std::optional<XPCValues> values_;
  std::optional<std::uint64_t> id_;
  std::string error_;
};

}  // namespace

std::string encodeBody(const Message& message) {
  return std::visit([](const auto& shape) { return bodyOf(shape); }, message);
}
std::string encodeBody(const Request& request) { return bodyOf(request); }
std::string encodeBody(const Reply& reply) { return bodyOf(reply); }

std::string frameHeader(std::uint32_t length) {
  std::string header(kHeaderBytes, '\0');
  putHeader(header.data(), length);
  return header;
}

std::optional<std::string> encodeFrame(const Message& message) {
  return std::visit([](const auto& shape) { return frameOf(shape); }, message);
}
std::optional<std::string> encodeFrame(const Request& request) { return frameOf(request); }
std::optional<std::string> encodeFrame(const Reply& reply) { return frameOf(reply); }

Expected<Message> decodeBody(std::string_view body) {
  BodyReader reader;
  std::size_t used = 0;
  std::optional<Message> message;
  try {
    if (msgpack::parse(body.data(), body.size(), used, reader)) message = reader.message(used == body.size());
  } catch (const msgpack::unpack_error&) {
    reader.parse_error(used, used);  // on 32-bit systems, an ext of the largest length
  }
  if (!message) return fail(reader.error());
  return std::move(*message);
}

void FrameDecoder::feed(std::string_view bytes) {
  if (failed()) return;
  if (head_ == buffer_.size()) {
    // Nothing held: decode straight from |bytes| and keep only an unfinished tail.
    buffer_.clear();
    head_ = 0;
    const std::size_t used = parseFrames(bytes);
    if (!failed()) buffer_.assign(bytes.substr(used));
  } else {
    // Moving the held bytes costs no more than the frames already taken from before them.
    if (head_ >= buffer_.size() - head_) {
      buffer_.erase(0, head_);
      head_ = 0;
    }
    buffer_.append(bytes);
    head_ += parseFrames(std::string_view(buffer_).substr(head_));
  }
  if (failed()) {
    buffer_.clear();
    buffer_.shrink_to_fit();
    head_ = 0;
  }
}

std::size_t FrameDecoder::parseFrames(std::string_view bytes) {
  std::size_t offset = 0;
  while (bytes.size() - offset >= kHeaderBytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + offset);
    const std::uint32_t length = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                                 (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
    if (length > limit_) {
      error_ = "a frame of " + std::to_string(length) + " bytes is over the limit";
      break;
    }
    if (bytes.size() - offset - kHeaderBytes < length) break;
    auto message = decodeBody(bytes.substr(offset + kHeaderBytes, length));
    if (!message) {
      error_ = message.error();
      break;
    }
    ready_.push_back(std::move(*message));
    offset += kHeaderBytes + length;
  }
  return offset;
}

std::optional<Message> FrameDecoder::next() {
  if (ready_.empty()) return std::nullopt;
  Message message = std::move(ready_.front());
  ready_.pop_front();
  return message;
}

}  // namespace platform::linux_backend::wire
