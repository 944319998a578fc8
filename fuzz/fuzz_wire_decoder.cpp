// What a helper may send back: arbitrary bytes into the host's frame decoder, cut
// into arbitrary pieces.
//
// The input's last bytes, read from the end, choose where the stream is cut: the
// very last one how many cuts (0, or a multiple of 17, for none), each byte before it
// one piece's length. The rest is the stream.
// Aborts, as a finding, when:
//   - the pieces give other messages, or another verdict, than the whole stream at once;
//   - a decoded message does not come back unchanged through the encoder and decoder;
//   - the decoder holds more than one unfinished frame, or anything after failing;
//   - input after a failure brings out another message.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  // Up to 16 cut points, read from the end of the input.
  const std::size_t cuts = provider.ConsumeIntegralInRange<std::size_t>(0, 16);
  std::vector<std::size_t> pieces;
  for (std::size_t i = 0; i < cuts; ++i) pieces.push_back(provider.ConsumeIntegralInRange<std::size_t>(0, 64));
  const std::string stream = provider.ConsumeRemainingBytesAsString();

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
  return 0;
}
