#include "platform/flutter/standard_codec.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace platform {
namespace {

// --- Writing

// Room reserved for a message before it is written: the usual answer and call fit,
// so that writing one costs a single allocation.
constexpr std::size_t kInitialCapacity = 128;

FlutterMessage startMessage() {
  FlutterMessage out;
  out.reserve(kInitialCapacity);
  return out;
}

class Writer {
 public:
  explicit Writer(FlutterMessage& out) : out_(out) {}

  void byte(std::uint8_t b) { out_.push_back(b); }
  void type(StandardType t) { byte(static_cast<std::uint8_t>(t)); }

  template <typename Unsigned>
  void little(Unsigned v) {
    for (std::size_t i = 0; i < sizeof(Unsigned); ++i) byte(static_cast<std::uint8_t>(v >> (8 * i)));
  }

  void size(std::size_t n) {
    if (n < 254) {
      byte(static_cast<std::uint8_t>(n));
    } else if (n <= std::numeric_limits<std::uint16_t>::max()) {
      byte(254);
      little(static_cast<std::uint16_t>(n));
    } else if (n <= std::numeric_limits<std::uint32_t>::max()) {
      byte(255);
      little(static_cast<std::uint32_t>(n));
    } else {
      throw std::length_error("standard codec: a size needs more than 32 bits");
    }
  }

  void string(const std::string& s) {
    type(StandardType::kString);
    size(s.size());
    out_.insert(out_.end(), s.begin(), s.end());
  }

  void value(const EncodableValue& value) {
    if (value.isNull()) {
      type(StandardType::kNull);
    } else if (const auto* b = std::get_if<bool>(&value)) {
      type(*b ? StandardType::kTrue : StandardType::kFalse);
    } else if (const auto* i = std::get_if<std::int64_t>(&value)) {
      if (*i >= std::numeric_limits<std::int32_t>::min() && *i <= std::numeric_limits<std::int32_t>::max()) {
        type(StandardType::kInt32);
        little(static_cast<std::uint32_t>(*i));
      } else {
        type(StandardType::kInt64);
        little(static_cast<std::uint64_t>(*i));
      }
    } else if (const auto* d = std::get_if<double>(&value)) {
      type(StandardType::kFloat64);
      while (out_.size() % 8 != 0) byte(0);
      little(std::bit_cast<std::uint64_t>(*d));
    } else if (const auto* s = std::get_if<std::string>(&value)) {
      string(*s);
    } else if (const auto* list = std::get_if<EncodableList>(&value)) {
      type(StandardType::kList);
      size(list->size());
      for (const auto& item : *list) this->value(item);
    } else if (const auto* map = std::get_if<EncodableMap>(&value)) {
      type(StandardType::kMap);
      size(map->size());
      for (const auto& [key, item] : *map) {
        this->value(key);
        this->value(item);
      }
    }
  }

 private:
  FlutterMessage& out_;
};

// --- Reading

// How a read is abandoned; caught where decoding starts and turned into a CodecError.
struct Refusal {
  const char* reason;
  std::size_t offset;
};

// A container reserves room for at most this many items before they are read: its
// size is only a claim, and every open container along a deep path could make one.
constexpr std::size_t kReserveLimit = 64;

class Reader {
 public:
  explicit Reader(FlutterMessageView bytes) : bytes_(bytes) {}

  std::size_t offset() const { return offset_; }
  std::size_t remaining() const { return bytes_.size() - offset_; }

  void need(std::size_t n) const {
    if (n > remaining()) throw Refusal{"message cut short", offset_};
  }

  std::uint8_t byte() {
    need(1);
    return bytes_[offset_++];
  }

  template <typename Unsigned>
  Unsigned little() {
    need(sizeof(Unsigned));
    Unsigned v = 0;
    for (std::size_t i = 0; i < sizeof(Unsigned); ++i) {
      v |= static_cast<Unsigned>(static_cast<Unsigned>(bytes_[offset_ + i]) << (8 * i));
    }
    offset_ += sizeof(Unsigned);
    return v;
  }

  // Skips the padding before an item of |alignment| bytes, whatever it holds.
  void align(std::size_t alignment) {
    const std::size_t pad = (alignment - offset_ % alignment) % alignment;
    need(pad);
    offset_ += pad;
  }

  std::size_t size() {
    const std::uint8_t first = byte();
    if (first < 254) return first;
    if (first == 254) return little<std::uint16_t>();
    return little<std::uint32_t>();
  }

  // A size of items that take at least |bytesEach| each, which must fit in what is left.
  std::size_t count(std::size_t bytesEach, std::size_t at) {
    const std::size_t n = size();
    if (n > remaining() / bytesEach) throw Refusal{"size past the end", at};
    return n;
  }

  std::string string(std::size_t at) {
    const std::size_t n = count(1, at);
    std::string s(reinterpret_cast<const char*>(bytes_.data() + offset_), n);
    offset_ += n;
    return s;
  }

  // |depth| is how many containers hold the value read.
  EncodableValue value(int depth) {
    const std::size_t at = offset_;
    switch (static_cast<StandardType>(byte())) {
      case StandardType::kNull:
        return {};
      case StandardType::kTrue:
        return true;
      case StandardType::kFalse:
        return false;
      case StandardType::kInt32:
        return std::int64_t{static_cast<std::int32_t>(little<std::uint32_t>())};
      case StandardType::kInt64:
        return static_cast<std::int64_t>(little<std::uint64_t>());
      case StandardType::kFloat64:
        align(8);
        return std::bit_cast<double>(little<std::uint64_t>());
      case StandardType::kString:
        return string(at);
      case StandardType::kUint8List:
        return typedList<std::uint8_t, std::int64_t>(depth, at);
      case StandardType::kInt32List:
        return typedList<std::int32_t, std::int64_t>(depth, at);
      case StandardType::kInt64List:
        return typedList<std::int64_t, std::int64_t>(depth, at);
      case StandardType::kFloat32List:
        return typedList<float, double>(depth, at);
      case StandardType::kFloat64List:
        return typedList<double, double>(depth, at);
      case StandardType::kList: {
        open(depth, at);
        const std::size_t n = count(1, at);
        EncodableList list;
        list.reserve(std::min(n, kReserveLimit));
        for (std::size_t i = 0; i < n; ++i) list.push_back(value(depth + 1));
        return list;
      }
      case StandardType::kMap: {
        open(depth, at);
        const std::size_t n = count(2, at);
        EncodableMap map;
        map.reserve(std::min(n, kReserveLimit));
        for (std::size_t i = 0; i < n; ++i) {
          EncodableValue key = value(depth + 1);
          map.emplace_back(std::move(key), value(depth + 1));
        }
        return map;
      }
    }
    throw Refusal{"unknown type byte", at};
  }

 private:
  static void open(int depth, std::size_t at) {
    if (depth >= kMaxEncodableDepth) throw Refusal{"containers nested too deep", at};
  }

  template <typename Wire, typename Item>
  EncodableValue typedList(int depth, std::size_t at) {
    open(depth, at);
    const std::size_t n = size();
    align(sizeof(Wire));
    if (n > remaining() / sizeof(Wire)) throw Refusal{"size past the end", at};
    using Bits = std::conditional_t<sizeof(Wire) == 1, std::uint8_t,
                                    std::conditional_t<sizeof(Wire) == 4, std::uint32_t, std::uint64_t>>;
    EncodableList list;
    list.reserve(n);  // the items are all there
    for (std::size_t i = 0; i < n; ++i) {
      const Bits bits = little<Bits>();
      if constexpr (std::is_floating_point_v<Wire>) {
        list.emplace_back(Item{std::bit_cast<Wire>(bits)});
      } else {
        list.emplace_back(Item{static_cast<Wire>(bits)});
      }
    }
    return list;
  }

  FlutterMessageView bytes_;
  std::size_t offset_ = 0;
};

CodecError refused(const Refusal& refusal) { return CodecError{refusal.reason, refusal.offset}; }

void expectEnd(const Reader& reader) {
  if (reader.remaining() != 0) throw Refusal{"bytes after the end", reader.offset()};
}

}  // namespace

void encodeValue(const EncodableValue& value, FlutterMessage& out) { Writer(out).value(value); }

FlutterMessage encodeMessage(const EncodableValue& value) {
  FlutterMessage out = startMessage();
  encodeValue(value, out);
  return out;
}

std::variant<EncodableValue, CodecError> decodeMessage(FlutterMessageView message) {
  try {
    Reader reader(message);
    EncodableValue value = reader.value(0);
    expectEnd(reader);
    return value;
  } catch (const Refusal& refusal) {
    return refused(refusal);
  }
}

FlutterMessage encodeMethodCall(const FlutterMethodCall& call) {
  FlutterMessage out = startMessage();
  Writer writer(out);
  writer.string(call.method());
  writer.value(call.arguments());
  return out;
}

std::variant<FlutterMethodCall, CodecError> decodeMethodCall(FlutterMessageView message) {
  try {
    Reader reader(message);
    if (reader.byte() != static_cast<std::uint8_t>(StandardType::kString)) {
      throw Refusal{"method name is not a string", 0};
    }
    std::string method = reader.string(0);
    EncodableValue arguments = reader.value(0);
    expectEnd(reader);
    return FlutterMethodCall(std::move(method), std::move(arguments));
  } catch (const Refusal& refusal) {
    return refused(refusal);
  }
}

FlutterMessage encodeSuccessEnvelope(const EncodableValue& result) {
  FlutterMessage out = startMessage();
  Writer writer(out);
  writer.byte(0);
  writer.value(result);
  return out;
}

FlutterMessage encodeErrorEnvelope(const std::string& code, const std::optional<std::string>& message,
                                   const EncodableValue& details) {
  FlutterMessage out = startMessage();
  Writer writer(out);
  writer.byte(1);
  writer.string(code);
  if (message) {
    writer.string(*message);
  } else {
    writer.type(StandardType::kNull);
  }
  writer.value(details);
  return out;
}

FlutterMessage encodeResult(const FlutterResultValue& result) {
  if (const auto* text = std::get_if<std::string>(&result)) return encodeSuccessEnvelope(*text);
  if (const auto* error = std::get_if<FlutterError>(&result)) return encodeErrorEnvelope(error->code, error->message);
  if (std::holds_alternative<FlutterMethodNotImplementedType>(result)) return {};
  return encodeSuccessEnvelope({});
}

DecodedEnvelope decodeEnvelope(FlutterMessageView reply) {
  if (reply.empty()) return FlutterMethodNotImplemented;
  try {
    Reader reader(reply);
    switch (reader.byte()) {
      case 0: {
        EnvelopeSuccess success{reader.value(0)};
        expectEnd(reader);
        return success;
      }
      case 1: {
        EnvelopeError error;
        const std::size_t codeAt = reader.offset();
        auto code = reader.value(0);
        auto* codeText = std::get_if<std::string>(&code);
        if (codeText == nullptr) throw Refusal{"error code is not a string", codeAt};
        error.code = std::move(*codeText);
        const std::size_t messageAt = reader.offset();
        auto message = reader.value(0);
        if (auto* text = std::get_if<std::string>(&message)) {
          error.message = std::move(*text);
        } else if (!message.isNull()) {
          throw Refusal{"error message is neither a string nor null", messageAt};
        }
        error.details = reader.value(0);
        expectEnd(reader);
        return error;
      }
      default:
        throw Refusal{"envelope is neither success nor error", 0};
    }
  } catch (const Refusal& refusal) {
    return refused(refusal);
  }
}

FlutterResultValue decodeResult(FlutterMessageView reply) {
  const auto envelope = decodeEnvelope(reply);
  if (const auto* success = std::get_if<EnvelopeSuccess>(&envelope)) {
    if (success->result.isNull()) return nullptr;
    if (const auto* text = std::get_if<std::string>(&success->result)) return *text;
    return FlutterError{"undecodable_reply", "the result is neither nil nor a string"};
  }
  if (const auto* error = std::get_if<EnvelopeError>(&envelope)) return FlutterError{error->code, error->message};
  if (std::holds_alternative<FlutterMethodNotImplementedType>(envelope)) return FlutterMethodNotImplemented;
  const auto& fault = std::get<CodecError>(envelope);
  return FlutterError{"undecodable_reply", fault.reason + " at byte " + std::to_string(fault.offset)};
}

}  // namespace platform
