// The helper frame codec: the bytes it writes, its limits, what it refuses, and a
// stream after a bad frame. That any message comes back through it, whole or fed in
// pieces, is fuzz_wire_decoder's to check.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/wire/wire.h"

namespace linux_test {
namespace {

namespace wire = platform::linux_backend::wire;
using ::testing::HasSubstr;

// MessagePack written by hand: a fixstr, and a map or array header of fewer than 16.
std::string str(std::string_view s) { return static_cast<char>(0xa0 | s.size()) + std::string(s); }
std::string map(int entries) { return std::string(1, static_cast<char>(0x80 | entries)); }
std::string array(int items) { return std::string(1, static_cast<char>(0x90 | items)); }
const std::string kNil = "\xc0";
const std::string kTrue = "\xc3";

TEST(WireCodec, FramesAreOneMapAfterABigEndianLength) {
  const auto framed = [](const std::string& body) {
    return wire::frameHeader(static_cast<std::uint32_t>(body.size())) + body;
  };
  struct Row {
    wire::Message message;
    std::string frame;
  };
  const std::vector<Row> rows = {
      {.message = wire::Reply{7, {std::string("1.4")}},
       .frame = std::string("\0\0\0\x11", 4) + map(2) + str("id") + "\x07" + str("values") + array(1) + str("1.4")},
      // A request's id last; integers in their smallest form.
      {.message = wire::Request{"s:", {true, false, std::monostate{}}, 0x0102030405060708},
       .frame = framed(map(3) + str("selector") + str("s:") + str("arguments") + array(3) + kTrue + "\xc2" + kNil +
                       str("id") + "\xcf\x01\x02\x03\x04\x05\x06\x07\x08")},
      {.message = wire::Reply{~std::uint64_t{0}, {}},
       .frame = framed(map(2) + str("id") + "\xcf" + std::string(8, '\xff') + str("values") + array(0))},
  };
  for (const auto& [message, frame] : rows) {
    EXPECT_EQ(wire::encodeFrame(message), frame);
    EXPECT_EQ(wire::decodeBody(std::string_view(frame).substr(wire::kHeaderBytes)), message);
  }
  EXPECT_EQ(wire::frameHeader(0x01020304), "\x01\x02\x03\x04");
}

TEST(WireCodec, StringsThatAreNotUtf8AreRepairedSoThePeerTakesThem) {
  const auto fffd = [](int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += "\xef\xbf\xbd";
    return out;
  };
  // A stray byte, one per byte; a sequence cut short, one for all of it, and the byte
  // that cut it is read again; overlong forms, surrogates and code points past
  // U+10FFFF break at their second byte.
  struct Row {
    std::string bad;
    std::string repaired;
  };
  const std::vector<Row> rows = {
      {.bad = "a\x80" "b", .repaired = "a" + fffd(1) + "b"},
      {.bad = "\xf0\x9f\x98" "A", .repaired = fffd(1) + "A"},
      {.bad = "x\xe2\x82", .repaired = "x" + fffd(1)},
      {.bad = "\xe2\x82\xe2\x82\xac", .repaired = fffd(1) + "\xe2\x82\xac"},
      {.bad = "\xc0\xaf", .repaired = fffd(2)},
      {.bad = "\xe0\x80\x80", .repaired = fffd(3)},
      {.bad = "\xed\xa0\x80", .repaired = fffd(3)},
      {.bad = "\xf4\x90\x80\x80", .repaired = fffd(4)},
      {.bad = "\xf8\xff", .repaired = fffd(2)},
  };
  for (const auto& [bad, repaired] : rows) {
    const auto back = wire::decodeBody(wire::encodeBody(wire::Request{bad, {bad}, std::nullopt}));
    ASSERT_TRUE(back) << bad;
    EXPECT_EQ(*back, wire::Message(wire::Request{repaired, {repaired}, std::nullopt})) << bad;
  }
}

// Replies stay within a mebibyte; requests may be as large as XPC carries.
TEST(WireCodec, AFrameOverItsLimitIsNotWrittenAndIsReadOnlyWhereThatLimitHolds) {
  const std::string big(wire::kMaxRequestBytes, 'x');
  const std::string_view reply(big.data(), wire::kMaxFrameBytes);
  EXPECT_FALSE(wire::encodeFrame(wire::Reply{1, {std::string(reply)}}));
  EXPECT_TRUE(wire::encodeFrame(wire::Reply{1, {std::string(reply.substr(32))}}));
  EXPECT_FALSE(wire::encodeFrame(wire::Request{"a:", {big}, std::nullopt}));
  const auto request = wire::encodeFrame(wire::Request{"a:", {big.substr(64)}, std::nullopt});
  ASSERT_TRUE(request);
  EXPECT_GT(request->size(), wire::kMaxFrameBytes * 63);

  wire::FrameDecoder replies;
  replies.feed(*request);
  EXPECT_FALSE(replies.next());
  EXPECT_TRUE(replies.failed());
  wire::FrameDecoder requests(wire::kMaxRequestBytes);
  requests.feed(*request);
  const auto message = requests.next();
  ASSERT_TRUE(message);
  EXPECT_EQ(std::get<std::string>(std::get<wire::Request>(*message).arguments.at(0)).size(), big.size() - 64);
}

// Each kind of body refused, with a word of its reason; the fuzzer checks only the
// verdict, and only for bodies that are maps.
TEST(WireCodec, EachKindOfBadBodyIsRefusedWithItsReason) {
  const std::string values = map(2) + str("id") + "\x01" + str("values");
  const std::string reply = values + array(0);
  struct Row {
    std::string body;
    const char* reason;
  };
  const std::vector<Row> rows = {
      {.body = "", .reason = "ends inside"},
      {.body = reply.substr(0, reply.size() - 1), .reason = "ends inside"},
      {.body = "\xc1", .reason = "not MessagePack"},
      {.body = reply + kNil, .reason = "after its map"},
      {.body = array(0), .reason = "not a MessagePack map"},
      {.body = map(0), .reason = "neither a request nor a reply"},
      {.body = map(1) + "\x01" + kNil, .reason = "key that is not a string"},
      {.body = map(3) + str("id") + "\x01" + str("values") + array(0) + str("extra") + kNil,
       .reason = "unexpected key \"extra\""},
      {.body = map(3) + str("id") + "\x01" + str("id") + "\x02" + str("values") + array(0),
       .reason = "repeated key \"id\""},
      {.body = map(1) + str("values") + array(0), .reason = "without \"id\""},
      {.body = map(1) + str("selector") + str("s:"), .reason = "without \"arguments\""},
      {.body = map(3) + str("selector") + str("s:") + str("arguments") + array(0) + str("values") + array(0),
       .reason = "unexpected key \"values\""},
      {.body = map(3) + str("id") + "\x01" + str("values") + array(0) + str("arguments") + array(0),
       .reason = "unexpected key \"arguments\""},
      {.body = map(2) + str("selector") + str("") + str("arguments") + array(0), .reason = "non-empty"},
      {.body = map(2) + str("selector") + str("\xff") + str("arguments") + array(0), .reason = "UTF-8"},
      {.body = map(2) + str("id") + "\xff" + str("values") + array(0), .reason = "unsigned integer"},
      {.body = map(2) + str("id") + "\xca\x3f\x80\x00\x00" + str("values") + array(0), .reason = "unsigned"},
      {.body = values + kNil, .reason = "not an array"},
      {.body = values + array(1) + "\x05", .reason = "not nil"},
      {.body = values + array(1) + map(0), .reason = "not nil"},
      {.body = values + array(1) + "\xc4\x01x", .reason = "not nil"},
      {.body = values + array(1) + str("\xc0\xaf"), .reason = "UTF-8"},
      // Claimed far longer than the body: nothing is reserved for the claim.
      {.body = values + "\xdd\xff\xff\xff\xff", .reason = "ends inside"},
  };
  for (const auto& [body, reason] : rows) {
    const auto decoded = wire::decodeBody(body);
    ASSERT_FALSE(decoded) << ::testing::PrintToString(body);
    EXPECT_THAT(decoded.error(), HasSubstr(reason)) << ::testing::PrintToString(body);
  }
}

TEST(WireCodec, ABadFrameBreaksTheStreamForGood) {
  const std::string good = *wire::encodeFrame(wire::Reply{1, {}});
  const std::string badBody = good.substr(wire::kHeaderBytes) + kNil;
  using Bad = std::pair<std::string, const char*>;
  for (const auto& [bad, reason] :
       {Bad{wire::frameHeader(static_cast<std::uint32_t>(badBody.size())) + badBody, "after its map"},
        Bad{wire::frameHeader(static_cast<std::uint32_t>(wire::kMaxFrameBytes + 1)), "over the limit"}}) {
    wire::FrameDecoder decoder;
    decoder.feed(good + bad + good);
    // What was whole before it still comes out; nothing after it, now or later.
    EXPECT_TRUE(decoder.next());
    EXPECT_FALSE(decoder.next());
    EXPECT_THAT(decoder.error().value_or(""), HasSubstr(reason));
    decoder.feed(good);
    EXPECT_FALSE(decoder.next());
    EXPECT_EQ(decoder.buffered(), 0u);
  }
}

}  // namespace
}  // namespace linux_test
