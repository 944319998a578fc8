// What a helper may send back: arbitrary bytes into the host's frame decoder, cut
// into arbitrary pieces; and the hand-written codec against the nlohmann one.
//
// The input's last bytes, read from the end, choose where the stream is cut: the
// very last one how many cuts (0, or a multiple of 17, for none), each byte before it
// one piece's length. The rest is the stream. The stream's bytes also build messages
// (strings of any bytes, ids, value lists) and bodies for them with their keys in
// any order, repeated or unknown, and odd spacing.
// Aborts, as a finding, when:
//   - the pieces give other messages, or another verdict, than the whole stream at once;
//   - a decoded message does not come back unchanged through the encoder and decoder;
//   - the decoder holds more than one unfinished frame, or anything after failing;
//   - input after a failure brings out another message;
//   - decodeBody and the reference decoder disagree on a body (each frame's body, the
//     whole stream as one body, the built bodies): another message, or another error;
//   - encodeBody and the reference encoder write different bytes for a message;
//   - a built message does not decode from its own encoding (to itself when all its
//     strings are valid UTF-8).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/wire.h"

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

std::string checkedEncoding(const wire::Message& message) {
  std::string body = wire::encodeBody(message);
  if (body != wire::reference::encodeBody(message)) finding("the encoder writes other bytes than the reference");
  return body;
}

// decodeBody's verdict on |body|, after checking it against the reference decoder's.
std::optional<wire::Message> checkedDecoding(std::string_view body) {
  std::string error = "untouched";
  std::string referenceError = "untouched";
  auto message = wire::decodeBody(body, &error);
  const auto expected = wire::reference::decodeBody(body, &referenceError);
  if (message != expected || error != referenceError) finding("the decoder and the reference disagree on a body");
  if (message) checkedEncoding(*message);
  return message;
}

// The bodies of the frames at the start of |stream|, as far as the headers allow.
void checkFrameBodies(std::string_view stream) {
  while (stream.size() >= wire::kHeaderBytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(stream.data());
    const std::size_t length = (std::size_t{p[0]} << 24) | (std::size_t{p[1]} << 16) | (std::size_t{p[2]} << 8) | p[3];
    if (length > wire::kMaxFrameBytes || stream.size() - wire::kHeaderBytes < length) return;
    checkedDecoding(stream.substr(wire::kHeaderBytes, length));
    stream.remove_prefix(wire::kHeaderBytes + length);
  }
}

bool validUtf8(const std::string& s) {
  // The reference decoder takes exactly the valid UTF-8 inside a JSON string; the
  // ASCII bytes that JSON would want escaped become others, which keeps any sequence
  // they cut short.
  std::string body = "{\"id\":0,\"values\":[\"";
  for (char c : s) {
    body.push_back(c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20 ? 'x' : c);
  }
  body += "\"]}";
  return wire::reference::decodeBody(body).has_value();
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

bool allValid(const wire::Message& message) {
  const platform::XPCValues* values = nullptr;
  if (auto request = std::get_if<wire::Request>(&message)) {
    if (!validUtf8(request->selector)) return false;
    values = &request->arguments;
  } else {
    values = &std::get<wire::Reply>(message).values;
  }
  return std::all_of(values->begin(), values->end(), [](const platform::XPCValue& value) {
    auto s = std::get_if<std::string>(&value);
    return s == nullptr || validUtf8(*s);
  });
}

void checkBuilt(const wire::Message& message) {
  const auto body = checkedEncoding(message);
  const auto back = checkedDecoding(body);
  auto request = std::get_if<wire::Request>(&message);
  if (request != nullptr && request->selector.empty()) {
    if (back) finding("a request without a selector decodes");
    return;
  }
  if (!back) finding("a built message does not decode from its encoding");
  if (allValid(message) && *back != message) finding("a built message decodes to another");
}

// A body for the pieces of |request| and |reply|, put together the way the input says.
std::string shuffledBody(FuzzedDataProvider& in, const wire::Request& request, const wire::Reply& reply) {
  static constexpr std::string_view kSpaces[] = {"", "", " ", "\t", "\n", "\r", " \r\n\t", "\f", "\v"};
  auto space = [&] { return std::string(in.PickValueInArray(kSpaces)); };
  // The encoder's own pieces: a string, the two value lists and an id.
  const std::string empty = wire::encodeBody(wire::Request{request.selector, {}, std::nullopt});
  const std::string selector = empty.substr(std::string_view("{\"arguments\":[],\"selector\":").size(),
                                            empty.size() - std::string_view("{\"arguments\":[],\"selector\":").size() - 1);
  const auto list = [](const platform::XPCValues& values) {
    const std::string whole = wire::encodeBody(wire::Reply{0, values});
    const auto prefix = std::string_view("{\"id\":0,\"values\":").size();
    return whole.substr(prefix, whole.size() - prefix - 1);
  };
  const std::string values[] = {selector, list(request.arguments), list(reply.values), std::to_string(reply.id),
                                "\"\"", "null", "-1", "1e3", "[[]]", "{}", "18446744073709551616", "0"};
  static constexpr std::string_view kKeys[] = {"selector", "arguments", "values", "id", "ID", "s\\u0065lector", "extra"};

  std::string body = space() + "{";
  const auto entries = in.ConsumeIntegralInRange<std::size_t>(0, 5);
  for (std::size_t i = 0; i < entries; ++i) {
    if (i != 0) body += space() + ",";
    const auto key = in.ConsumeIntegralInRange<std::size_t>(0, std::size(kKeys) - 1);
    // Mostly the value that belongs to the key.
    const auto value = in.ConsumeBool() ? std::min<std::size_t>(key, 3) : in.ConsumeIntegralInRange<std::size_t>(0, std::size(values) - 1);
    body += space() + "\"" + std::string(kKeys[key]) + "\"" + space() + ":" + space() + values[value];
  }
  body += space() + "}" + space();
  return body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  // Up to 16 cut points, read from the end of the input.
  const std::size_t cuts = provider.ConsumeIntegralInRange<std::size_t>(0, 16);
  std::vector<std::size_t> pieces;
  for (std::size_t i = 0; i < cuts; ++i) pieces.push_back(provider.ConsumeIntegralInRange<std::size_t>(0, 64));
  const std::string stream = provider.ConsumeRemainingBytesAsString();

  checkFrameBodies(stream);
  checkedDecoding(stream);

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

  for (const auto& message : expected) {
    const auto frame = wire::encodeFrame(message);
    // What came out of one frame fits in one frame again.
    if (!frame) finding("a decoded message does not encode");
    if (std::string_view(*frame).substr(wire::kHeaderBytes) != checkedEncoding(message)) {
      finding("a frame's body is not the message's body");
    }
    wire::FrameDecoder again;
    again.feed(*frame);
    const auto back = drain(again);
    if (again.failed() || again.buffered() != 0 || back.size() != 1 || back.front() != message) {
      finding("a decoded message does not survive encoding");
    }
  }

  if (whole.failed()) {
    whole.feed(wire::frameHeader(2) + "{}");
    whole.feed(*wire::encodeFrame(wire::Reply{1, {}}));
    if (whole.next() || whole.buffered() != 0) finding("a failed stream gave more after the failure");
  }

  // Messages built from the stream's bytes, through both codecs.
  FuzzedDataProvider built(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size());
  wire::Request request;
  request.selector = built.ConsumeRandomLengthString(48);
  request.arguments = builtValues(built);
  if (built.ConsumeBool()) request.id = built.ConsumeIntegral<std::uint64_t>();
  wire::Reply reply{built.ConsumeIntegral<std::uint64_t>(), builtValues(built)};
  checkBuilt(request);
  checkBuilt(reply);
  for (int i = 0; i < 4 && built.remaining_bytes() > 0; ++i) checkedDecoding(shuffledBody(built, request, reply));
  return 0;
}
