// The helper frame codec: what comes back through it, what it refuses, and what the
// frame decoder holds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/wire/wire.h"

namespace linux_test {
namespace {

namespace wire = platform::linux_backend::wire;
using ::testing::HasSubstr;

constexpr auto kMaxId = std::numeric_limits<std::uint64_t>::max();

// MessagePack written by hand: a fixstr, and a map or array header of fewer than 16.
std::string str(std::string_view s) { return static_cast<char>(0xa0 | s.size()) + std::string(s); }
std::string map(int entries) { return std::string(1, static_cast<char>(0x80 | entries)); }
std::string array(int items) { return std::string(1, static_cast<char>(0x90 | items)); }
const std::string kNil = "\xc0";
const std::string kTrue = "\xc3";

TEST(WireCodec, EachShapeComesBackAsItWent) {
  const std::vector<wire::Message> messages = {
      wire::Request{"a:b:", {std::string("x"), true, std::monostate{}, false, std::string()}, kMaxId},
      wire::Request{"exitHelper", {}, std::nullopt},
      wire::Request{"s:", {std::string(70000, 'v'), std::string("\xc3\xa9\xf0\x9f\x98\x80")}, 0},
      wire::Reply{0, {}},
      wire::Reply{kMaxId, {std::monostate{}, std::string("1.4")}},
  };
  std::string stream;
  for (const auto& message : messages) {
    const auto frame = wire::encodeFrame(message);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->substr(wire::kHeaderBytes), wire::encodeBody(message));
    EXPECT_EQ(wire::decodeBody(wire::encodeBody(message)), message);
    stream += *frame;
  }
  wire::FrameDecoder decoder;
  decoder.feed(stream);
  std::vector<wire::Message> back;
  while (auto message = decoder.next()) back.push_back(std::move(*message));
  EXPECT_EQ(back, messages);
}

TEST(WireCodec, FramesAreOneMapAfterABigEndianLength) {
  EXPECT_EQ(*wire::encodeFrame(wire::Reply{7, {std::string("1.4")}}),
            std::string("\0\0\0\x11", 4) + map(2) + str("id") + "\x07" + str("values") + array(1) + str("1.4"));
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

// A body refused, and a word of the reason.
struct Refusal {
  const char* name;
  std::string body;
  const char* reason;
};

class WireRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(WireRefusal, IsRefusedWithItsReason) {
  const auto& [name, body, reason] = GetParam();
  const auto decoded = wire::decodeBody(body);
  ASSERT_FALSE(decoded);
  EXPECT_THAT(decoded.error(), HasSubstr(reason));
}

const std::string kReply = map(2) + str("id") + "\x01" + str("values") + array(0);

INSTANTIATE_TEST_SUITE_P(
    EveryCheck, WireRefusal,
    ::testing::Values(
        Refusal{"Empty", "", "ends inside"}, Refusal{"Truncated", kReply.substr(0, kReply.size() - 1), "ends inside"},
        Refusal{"NeverUsedByte", "\xc1", "not MessagePack"}, Refusal{"TrailingBytes", kReply + kNil, "after its map"},
Refusal{"NotAMap", array(0), "not a MessagePack map"},
        Refusal{"EmptyMap", map(0), "neither a request nor a reply"},
        Refusal{"KeyNotAString", map(1) + "\x01" + kNil, "key that is not a string"},
        Refusal{"UnknownKey", map(3) + str("id") + "\x01" + str("values") + array(0) + str("extra") + kNil,
                "unexpected key \"extra\""},
        Refusal{"RepeatedKey", map(3) + str("id") + "\x01" + str("id") + "\x02" + str("values") + array(0),
                "repeated key \"id\""},
        Refusal{"ReplyWithoutId", map(1) + str("values") + array(0), "without \"id\""},
        Refusal{"RequestWithoutArguments", map(1) + str("selector") + str("s:"), "without \"arguments\""},
        Refusal{"RequestWithValues", map(3) + str("selector") + str("s:") + str("arguments") + array(0) +
                                         str("values") + array(0),
                "unexpected key \"values\""},
        Refusal{"ReplyWithArguments",
                map(3) + str("id") + "\x01" + str("values") + array(0) + str("arguments") + array(0),
                "unexpected key \"arguments\""},
        Refusal{"EmptySelector", map(2) + str("selector") + str("") + str("arguments") + array(0), "non-empty"},
        Refusal{"SelectorNotAString", map(2) + str("selector") + kTrue + str("arguments") + array(0), "non-empty"},
        Refusal{"SelectorNotUtf8", map(2) + str("selector") + str("\xff") + str("arguments") + array(0), "UTF-8"},
        Refusal{"NegativeId", map(2) + str("id") + "\xff" + str("values") + array(0), "unsigned integer"},
        Refusal{"FloatId", map(2) + str("id") + "\xca\x3f\x80\x00\x00" + str("values") + array(0), "unsigned"},
        Refusal{"ValuesNotAnArray", map(2) + str("id") + "\x01" + str("values") + kNil, "not an array"},
        Refusal{"ValueAnInteger", map(2) + str("id") + "\x01" + str("values") + array(1) + "\x05", "not nil"},
        Refusal{"ValueAnArray", map(2) + str("id") + "\x01" + str("values") + array(1) + array(0), "not nil"},
        Refusal{"ValueAMap", map(2) + str("id") + "\x01" + str("values") + array(1) + map(0), "not nil"},
        Refusal{"ValueBinary", map(2) + str("id") + "\x01" + str("values") + array(1) + "\xc4\x01x", "not nil"},
        Refusal{"ValueNotUtf8", map(2) + str("id") + "\x01" + str("values") + array(1) + str("\xc0\xaf"), "UTF-8"},
        // Claimed far longer than the body: nothing is reserved for the claim.
        Refusal{"HugeArrayClaim", map(2) + str("id") + "\x01" + str("values") + "\xdd\xff\xff\xff\xff", "ends inside"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST(WireCodec, FrameDecoderTakesBytesOneByOneAndHoldsOnlyTheUnfinishedFrame) {
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
  EXPECT_FALSE(decoder.failed());
}

TEST(WireCodec, ABadFrameBreaksTheStreamForGood) {
  const std::string good = *wire::encodeFrame(wire::Reply{1, {}});
  const std::string badBody = kReply + kNil;
  for (const std::string& bad : {wire::frameHeader(static_cast<std::uint32_t>(badBody.size())) + badBody,
                                 wire::frameHeader(static_cast<std::uint32_t>(wire::kMaxFrameBytes + 1))}) {
    wire::FrameDecoder decoder;
    decoder.feed(good + bad + good);
    // What was whole before it still comes out; nothing after it, now or later.
    EXPECT_TRUE(decoder.next());
    EXPECT_FALSE(decoder.next());
    ASSERT_TRUE(decoder.failed());
    EXPECT_EQ(decoder.buffered(), 0u);
    decoder.feed(good);
    EXPECT_FALSE(decoder.next());
    EXPECT_EQ(decoder.buffered(), 0u);
  }
  wire::FrameDecoder oversize;
  oversize.feed(wire::frameHeader(static_cast<std::uint32_t>(wire::kMaxFrameBytes + 1)));
  EXPECT_THAT(*oversize.error(), HasSubstr("over the limit"));
}

}  // namespace
}  // namespace linux_test
