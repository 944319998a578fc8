// What a peer may send over the helper wire: arbitrary bytes into the frame decoder,
// cut into arbitrary pieces; MessagePack bodies put together from the input; and
// messages built from it through the encoder.
//
// The input's last bytes, read from the end, choose where the stream is cut: the
// very last one how many cuts (0, or a multiple of 17, for none), each byte before it
// one piece's length. The rest is the stream, which also builds the bodies (entries
// of any key, repeated or unknown, holding any kind of value, in any order) and the
// messages (strings of any bytes, ids, value lists).
// Aborts, as a finding, when:
//   - the pieces give other messages, or another verdict, than the whole stream at once;
//   - the decoder holds more than one unfinished frame, or anything after failing;
//   - input after a failure brings out another message;
//   - a message that decodes (from a frame, or the whole stream taken as one body)
//     does not come back unchanged through encodeFrame and the decoder;
//   - a body put together from the input is taken when its entries break a rule, or
//     refused when they keep every one, or read as another message;
//   - a built message does not decode from its encoding, or its strings come back
//     changed when they are UTF-8 or unchanged when they are not.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <msgpack.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/wire/wire.h"

namespace {

namespace wire = platform::linux_backend::wire;

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "fuzz_wire_decoder: %s\n", what);
  std::abort();
}

std::vector<wire::Message> drain(wire::FrameDecoder& decoder) {
  std::vector<wire::Message> out;
  while (auto message = decoder.next()) out.push_back(std::move(*message));
  return out;
}

void checkHeld(const wire::FrameDecoder& decoder) {
  if (decoder.failed() ? decoder.buffered() != 0 : decoder.buffered() >= wire::kHeaderBytes + wire::kMaxFrameBytes) {
    finding("the decoder holds more than an unfinished frame");
  }
}

// Whatever decoded fits in one frame again and comes back from it unchanged.
void checkRoundTrip(const wire::Message& message) {
  const auto frame = wire::encodeFrame(message);
  if (!frame) finding("a decoded message does not encode");
  if (std::string_view(*frame).substr(wire::kHeaderBytes) != wire::encodeBody(message)) {
    finding("a frame's body is not the message's body");
  }
  wire::FrameDecoder again;
  again.feed(*frame);
  const auto back = drain(again);
  if (again.failed() || again.buffered() != 0 || back.size() != 1 || back.front() != message) {
    finding("a decoded message does not survive encoding");
  }
}

// UTF-8 by its definition, apart from the codec's own reading: a lead byte's pattern
// gives the length, each further byte is 10xxxxxx, and the code point is neither
// overlong, a surrogate, nor past U+10FFFF.
bool validUtf8(std::string_view s) {
  static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  for (std::size_t i = 0; i < s.size();) {
    const auto lead = static_cast<unsigned char>(s[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead >> 5 == 0x6 ? 2 : lead >> 4 == 0xe ? 3 : lead >> 3 == 0x1e ? 4 : 0;
    if (length == 0 || s.size() - i < length) return false;
    std::uint32_t code = length == 1 ? lead : lead & (0x7fu >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(s[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      code = (code << 6) | (next & 0x3fu);
    }
    if (code < kLeast[length] || (code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff) return false;
    i += length;
  }
  return true;
}

bool allValid(const platform::XPCValues& values) {
  return std::all_of(values.begin(), values.end(), [](const platform::XPCValue& value) {
    const auto* s = std::get_if<std::string>(&value);
    return s == nullptr || validUtf8(*s);
  });
}

platform::XPCValues builtValues(FuzzedDataProvider& in) {
  platform::XPCValues values;
  const auto count = in.ConsumeIntegralInRange<std::size_t>(0, 6);
  for (std::size_t i = 0; i < count; ++i) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
      case 0: values.emplace_back(std::monostate{}); break;
      case 1: values.emplace_back(in.ConsumeBool()); break;
      default: values.emplace_back(in.ConsumeRandomLengthString(64));
    }
  }
  return values;
}

void checkBuilt(const wire::Message& message) {
  const auto back = wire::decodeBody(wire::encodeBody(message));
  const auto* request = std::get_if<wire::Request>(&message);
  if (request != nullptr && request->selector.empty()) {
    if (back) finding("a request without a selector decodes");
    return;
  }
  if (!back) finding("a built message does not decode from its encoding");
  const bool valid = request != nullptr ? validUtf8(request->selector) && allValid(request->arguments)
                                        : allValid(std::get<wire::Reply>(message).values);
  if ((*back == message) != valid) finding("strings are repaired when they are UTF-8, or kept when they are not");
  checkRoundTrip(*back);
}

// The kinds of value an entry of a built body may hold.
enum class Kind { Text, Values, Id, Nil, Negative, Float, Nested, Map, Binary, kCount };
constexpr std::string_view kKeys[] = {"selector", "arguments", "values", "id", "ID", "extra", ""};  // "": a number
const Kind kNatural[] = {Kind::Text, Kind::Values, Kind::Values, Kind::Id, Kind::Text, Kind::Nil, Kind::Nil};

// A body put together from |in|, packed by msgpack-cxx rather than by the codec, and
// what decodeBody must make of it, by the rules of wire.h.
void checkBuiltBody(FuzzedDataProvider& in) {
  std::string body;
  struct Sink {
    std::string& out;
    void write(const char* data, std::size_t size) { out.append(data, size); }
  } sink{body};
  msgpack::packer<Sink> packer(sink);

  const auto entries = in.ConsumeIntegralInRange<std::uint32_t>(0, 5);
  packer.pack_map(entries);
  bool broken = false;
  std::optional<std::string> selector;
  std::optional<platform::XPCValues> arguments;
  std::optional<platform::XPCValues> values;
  std::optional<std::uint64_t> id;
  for (std::uint32_t i = 0; i < entries; ++i) {
    const auto key = in.ConsumeIntegralInRange<std::size_t>(0, std::size(kKeys) - 1);
    // Mostly the kind that belongs to the key.
    const Kind kind = in.ConsumeBool() ? kNatural[key]
                                       : static_cast<Kind>(in.ConsumeIntegralInRange<int>(0, static_cast<int>(Kind::kCount) - 1));
    if (kKeys[key].empty()) {
      packer.pack_uint8(7);
    } else {
      packer.pack_str(static_cast<std::uint32_t>(kKeys[key].size()));
      packer.pack_str_body(kKeys[key].data(), static_cast<std::uint32_t>(kKeys[key].size()));
    }
    std::string text;
    platform::XPCValues list;
    const std::uint64_t number = in.ConsumeIntegral<std::uint64_t>();
    switch (kind) {
      case Kind::Text:
        text = in.ConsumeRandomLengthString(16);
        packer.pack_str(static_cast<std::uint32_t>(text.size()));
        packer.pack_str_body(text.data(), static_cast<std::uint32_t>(text.size()));
        break;
      case Kind::Values:
        list = builtValues(in);
        packer.pack_array(static_cast<std::uint32_t>(list.size()));
        for (const auto& value : list) {
          if (const auto* b = std::get_if<bool>(&value)) {
            *b ? packer.pack_true() : packer.pack_false();
          } else if (const auto* s = std::get_if<std::string>(&value)) {
            packer.pack_str(static_cast<std::uint32_t>(s->size()));
            packer.pack_str_body(s->data(), static_cast<std::uint32_t>(s->size()));
          } else {
            packer.pack_nil();
          }
        }
        break;
      case Kind::Id: packer.pack_uint64(number); break;
      case Kind::Nil: packer.pack_nil(); break;
      case Kind::Negative: packer.pack_int64(-1 - static_cast<std::int64_t>(number >> 1)); break;
      case Kind::Float: packer.pack_double(1.5); break;
      case Kind::Nested: packer.pack_array(1).pack_array(0); break;
      case Kind::Map: packer.pack_map(0); break;
      case Kind::Binary: packer.pack_bin(1).pack_bin_body("x", 1); break;
      case Kind::kCount: break;
    }
    const std::string_view name = kKeys[key];
    if (name == "selector" && kind == Kind::Text && !selector && validUtf8(text)) {
      selector = text;
    } else if ((name == "arguments" || name == "values") && kind == Kind::Values && allValid(list) &&
               !(name == "arguments" ? arguments : values)) {
      (name == "arguments" ? arguments : values) = list;
    } else if (name == "id" && kind == Kind::Id && !id) {
      id = number;
    } else {
      broken = true;  // an unknown or repeated key, or a value of the wrong kind
    }
  }

  std::optional<wire::Message> expected;
  if (!broken && selector && !selector->empty() && arguments && !values) {
    expected = wire::Request{*selector, *arguments, id};
  } else if (!broken && !selector && values && id && !arguments) {
    expected = wire::Reply{*id, *values};
  }
  const auto decoded = wire::decodeBody(body);
  if (decoded.has_value() != expected.has_value() || (expected && !(decoded == *expected))) finding("a built body gets another verdict or message than its entries call for");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  // Up to 16 cut points, read from the end of the input.
  const std::size_t cuts = provider.ConsumeIntegralInRange<std::size_t>(0, 16);
  std::vector<std::size_t> pieces;
  for (std::size_t i = 0; i < cuts; ++i) pieces.push_back(provider.ConsumeIntegralInRange<std::size_t>(0, 64));
  const std::string stream = provider.ConsumeRemainingBytesAsString();

  if (auto message = wire::decodeBody(stream)) checkRoundTrip(*message);

  wire::FrameDecoder whole;
  whole.feed(stream);
  const auto expected = drain(whole);
  checkHeld(whole);

  wire::FrameDecoder piecewise;
  std::vector<wire::Message> got;
  std::string_view rest(stream);
  for (std::size_t piece : pieces) {
    const auto length = std::min(piece, rest.size());
    piecewise.feed(rest.substr(0, length));
    rest.remove_prefix(length);
    checkHeld(piecewise);
    for (auto& message : drain(piecewise)) got.push_back(std::move(message));
  }
  piecewise.feed(rest);
  checkHeld(piecewise);
  for (auto& message : drain(piecewise)) got.push_back(std::move(message));

  if (got != expected) finding("the pieces decode to other messages than the whole");
  if (piecewise.failed() != whole.failed() || piecewise.buffered() != whole.buffered()) {
    finding("the pieces end in another state than the whole");
  }
  for (const auto& message : expected) checkRoundTrip(message);

  if (whole.failed()) {
    whole.feed(*wire::encodeFrame(wire::Reply{1, {}}));
    if (whole.next() || whole.buffered() != 0) finding("a failed stream gave more after the failure");
  }

  // Bodies and messages built from the stream's bytes.
  FuzzedDataProvider built(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size());
  wire::Request request;
  request.selector = built.ConsumeRandomLengthString(48);
  request.arguments = builtValues(built);
  if (built.ConsumeBool()) request.id = built.ConsumeIntegral<std::uint64_t>();
  checkBuilt(request);
  checkBuilt(wire::Reply{built.ConsumeIntegral<std::uint64_t>(), builtValues(built)});
  for (int i = 0; i < 4 && built.remaining_bytes() > 0; ++i) checkBuiltBody(built);
  return 0;
}
