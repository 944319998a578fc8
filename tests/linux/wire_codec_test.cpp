// The helper frame codec: the exact bytes it writes and what the frame decoder holds.
// Agreement with the nlohmann codec, escapes and all, is fuzz_wire_decoder's job.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/wire.h"

namespace linux_test {
namespace {

namespace wire = platform::linux_backend::wire;

constexpr std::string_view kFffd = "\xef\xbf\xbd";

// The body of a reply carrying |s| alone, as both encoders write it.
std::string encodedString(const std::string& s) {
  const std::string body = wire::encodeBody(wire::Reply{0, {s}});
  EXPECT_EQ(body, wire::reference::encodeBody(wire::Reply{0, {s}}));
  const std::string_view prefix = "{\"id\":0,\"values\":[";
  EXPECT_EQ(body.substr(0, prefix.size()), prefix);
  return body.substr(prefix.size(), body.size() - prefix.size() - 2);
}

TEST(WireCodec, WritesKeysInOrderWithoutSpaces) {
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(wire::encodeBody(wire::Request{"a:b:", {std::string("x"), true, std::monostate{}, false}, kMax}),
            R"({"arguments":["x",true,null,false],"id":18446744073709551615,"selector":"a:b:"})");
  EXPECT_EQ(wire::encodeBody(wire::Request{"exitHelper", {}, std::nullopt}), R"({"arguments":[],"selector":"exitHelper"})");
  EXPECT_EQ(wire::encodeBody(wire::Reply{0, {}}), R"({"id":0,"values":[]})");
  const auto frame = wire::encodeFrame(wire::Reply{7, {std::string("1.4")}});
  ASSERT_TRUE(frame);
  EXPECT_EQ(*frame, std::string("\0\0\0\x19", 4) + R"({"id":7,"values":["1.4"]})");
}

TEST(WireCodec, ReplacesEachBrokenPieceOfUtf8WithOneReplacementCharacter) {
  const auto fffd = [](int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += kFffd;
    return out;
  };
  // A stray byte, one per byte; a cut-short sequence, one for all of it, and the byte
  // that cut it is read again.
  EXPECT_EQ(encodedString("a\x80" "b"), "\"a" + fffd(1) + "b\"");
  EXPECT_EQ(encodedString("\xf0\x9f\x98" "A"), "\"" + fffd(1) + "A\"");
  EXPECT_EQ(encodedString("x\xe2\x82"), "\"x" + fffd(1) + "\"");
  EXPECT_EQ(encodedString("\xe2\x82\xe2\x82\xac"), "\"" + fffd(1) + "\xe2\x82\xac\"");
  // Overlong forms, surrogates and code points past U+10FFFF break at their second byte.
  EXPECT_EQ(encodedString("\xc0\xaf"), "\"" + fffd(2) + "\"");
  EXPECT_EQ(encodedString("\xe0\x80\x80"), "\"" + fffd(3) + "\"");
  EXPECT_EQ(encodedString("\xed\xa0\x80"), "\"" + fffd(3) + "\"");
  EXPECT_EQ(encodedString("\xf4\x90\x80\x80"), "\"" + fffd(4) + "\"");
  EXPECT_EQ(encodedString("\xf8\xff"), "\"" + fffd(2) + "\"");
}

TEST(WireCodec, FrameDecoderHoldsOnlyTheUnfinishedFrame) {
  std::string stream;
  std::vector<std::size_t> ends;
  for (std::uint64_t id = 1; id <= 3; ++id) {
    stream += *wire::encodeFrame(wire::Reply{id, {std::string(id * 10, 'v')}});
    ends.push_back(stream.size());
  }
  wire::FrameDecoder decoder;
  std::size_t taken = 0;
  std::uint64_t nextId = 1;
  for (std::size_t fed = 1; fed <= stream.size(); ++fed) {
    decoder.feed(std::string_view(stream).substr(fed - 1, 1));
    while (auto message = decoder.next()) {
      ASSERT_EQ(std::get<wire::Reply>(*message).id, nextId);
      taken = ends[nextId - 1];
      ++nextId;
    }
    ASSERT_EQ(decoder.buffered(), fed - taken) << "after " << fed << " bytes";
  }
  EXPECT_EQ(nextId, 4u);

  // Two whole frames and part of a third in one read, then the rest.
  wire::FrameDecoder batch;
  batch.feed(std::string_view(stream).substr(0, ends[1] + 5));
  EXPECT_EQ(batch.buffered(), 5u);
  batch.feed(std::string_view(stream).substr(ends[1] + 5));
  EXPECT_EQ(batch.buffered(), 0u);
  int count = 0;
  while (batch.next()) ++count;
  EXPECT_EQ(count, 3);
}

}  // namespace
}  // namespace linux_test
