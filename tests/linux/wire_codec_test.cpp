// The helper frame codec: the bytes it writes, its limits and what it refuses. That
// any message comes back through it, whole or fed in pieces, and that a stream stays
// broken after a bad frame, is fuzz_wire_decoder's to check.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
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
  using Row = std::pair<wire::Message, std::string>;
  const std::vector<Row> rows = {
      {wire::Reply{7, {std::string("1.4")}},
       std::string("\0\0\0\x11", 4) + map(2) + str("id") + "\x07" + str("values") + array(1) + str("1.4")},
      // A request's id last; integers in their smallest form.
      {wire::Request{"s:", {true, false, std::monostate{}}, 0x0102030405060708},
       std::string("\0\0\0\x27", 4) + map(3) + str("selector") + str("s:") + str("arguments") + array(3) + kTrue +
           "\xc2" + kNil + str("id") + "\xcf\x01\x02\x03\x04\x05\x06\x07\x08"},
  };
  for (const auto& [message, frame] : rows) {
    EXPECT_EQ(wire::encodeFrame(message), frame);
    EXPECT_EQ(wire::decodeBody(std::string_view(frame).substr(wire::kHeaderBytes)), message);
  }
  EXPECT_EQ(wire::frameHeader(0x01020304), "\x01\x02\x03\x04");
}

TEST(WireCodec, StringsThatAreNotUtf8AreRepairedSoThePeerTakesThem) {
  const std::string fffd = "\xef\xbf\xbd";
  // A stray byte, one per byte; a sequence cut short, one for all of it, and the byte
  // that cut it is read again; overlong forms and surrogates break at their second byte.
  using Row = std::pair<std::string, std::string>;
  for (const auto& [bad, repaired] : {Row{"a\x80" "b", "a" + fffd + "b"}, Row{"\xe2\x82\xe2\x82\xac", fffd + "\xe2\x82\xac"},
                                      Row{"\xc0\xaf", fffd + fffd}, Row{"\xed\xa0\x80", fffd + fffd + fffd}}) {
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
  EXPECT_THAT(replies.error().value_or(""), HasSubstr("over the limit"));
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
  using Row = std::pair<std::string, const char*>;
  const std::vector<Row> rows = {
      {reply.substr(0, reply.size() - 1), "ends inside"},
      {"\xc1", "not MessagePack"},
      {reply + kNil, "after its map"},
      {array(0), "not a MessagePack map"},
      {map(0), "neither a request nor a reply"},
      {map(1) + "\x01" + kNil, "key that is not a string"},
      {map(3) + str("id") + "\x01" + str("values") + array(0) + str("extra") + kNil, "unexpected key \"extra\""},
      {map(1) + str("values") + array(0), "without \"id\""},
      {map(2) + str("selector") + str("\xff") + str("arguments") + array(0), "UTF-8"},
      {map(2) + str("id") + "\xff" + str("values") + array(0), "unsigned integer"},
      {values + array(1) + "\x05", "not nil"},
      // Claimed far longer than the body: nothing is reserved for the claim.
      {values + "\xdd\xff\xff\xff\xff", "ends inside"},
  };
  for (const auto& [body, reason] : rows) {
    const auto decoded = wire::decodeBody(body);
    ASSERT_FALSE(decoded) << ::testing::PrintToString(body);
    EXPECT_THAT(decoded.error(), HasSubstr(reason)) << ::testing::PrintToString(body);
  }
}

}  // namespace
}  // namespace linux_test
