// The frame codec on its own: what goes in comes out, however the bytes are split,
// and every kind of bad input breaks the stream instead of the process.
#include <gtest/gtest.h>

#include <cctype>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/linux/wire.h"

namespace {

namespace wire = platform::linux_backend::wire;
using platform::XPCValues;

std::string framed(const std::string& body) {
  return wire::frameHeader(static_cast<std::uint32_t>(body.size())) + body;
}

std::vector<wire::Message> decodeAll(const std::string& bytes, std::size_t chunk, wire::FrameDecoder& decoder) {
  std::vector<wire::Message> out;
  for (std::size_t at = 0; at < bytes.size(); at += chunk) {
    decoder.feed(std::string_view(bytes).substr(at, chunk));
    while (auto m = decoder.next()) out.push_back(std::move(*m));
  }
  return out;
}

const std::vector<wire::Message>& sampleMessages() {
  static const std::vector<wire::Message> messages = {
      wire::Request{"exitHelper", {}, std::nullopt},
      wire::Request{"getVersionWithCompletion:", {}, 1},
      wire::Request{"setHive:ip:port:hive:ipv6Enable:completion:",
                    {std::string("/usr/lib/libvpn.dylib"), std::string("10.0.0.1"), std::string("443"),
                     std::string("h\"ive\\\n\t"), std::string("true")},
                    18446744073709551615ull},
      wire::Request{"access:completion:", {std::string("caf\xc3\xa9 \xe2\x9c\x93"), std::monostate{}, false}, 0},
      wire::Reply{1, {std::string("1.4.0"), std::string("140")}},
      wire::Reply{2, {true, std::string(), std::string()}},
      wire::Reply{3, {std::monostate{}}},
      wire::Reply{4, {}},
  };
  return messages;
}

TEST(WireTest, EveryMessageSurvivesAnySplitOfTheStream) {
  std::string stream;
  for (const auto& m : sampleMessages()) stream += *wire::encodeFrame(m);
  for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{7}, stream.size()}) {
    wire::FrameDecoder decoder;
    EXPECT_EQ(decodeAll(stream, chunk, decoder), sampleMessages()) << "in chunks of " << chunk;
    EXPECT_FALSE(decoder.failed());
    EXPECT_EQ(decoder.buffered(), 0u);
  }
}

TEST(WireTest, HeaderIsBigEndianLengthOfTheBody) {
  const std::string frame = *wire::encodeFrame(wire::Reply{7, {true}});
  const std::string body = wire::encodeBody(wire::Reply{7, {true}});
  ASSERT_EQ(frame.size(), body.size() + 4);
  EXPECT_EQ(frame.substr(0, 4), std::string("\0\0\0", 3) + static_cast<char>(body.size()));
  EXPECT_EQ(nlohmann::json::parse(body), nlohmann::json::parse(R"({"id":7,"values":[true]})"));
  const std::string request = wire::encodeBody(wire::Request{"exitHelper", {}, std::nullopt});
  EXPECT_EQ(nlohmann::json::parse(request), nlohmann::json::parse(R"({"selector":"exitHelper","arguments":[]})"));
  EXPECT_EQ(wire::frameHeader(0x01020304), std::string("\x01\x02\x03\x04", 4));
}

TEST(WireTest, AFrameOfExactlyTheLimitPassesAndOneByteMoreIsRefused) {
  std::string body = R"({"id":1,"values":[]})";
  body.append(wire::kMaxFrameBytes - body.size(), ' ');  // JSON allows trailing blanks
  wire::FrameDecoder decoder;
  decoder.feed(framed(body));
  EXPECT_TRUE(decoder.next().has_value());
  EXPECT_FALSE(decoder.failed());

  // The oversize header alone breaks the stream: nobody waits for a megabyte.
  wire::FrameDecoder oversize;
  oversize.feed(wire::frameHeader(wire::kMaxFrameBytes + 1));
  EXPECT_TRUE(oversize.failed());
  EXPECT_FALSE(oversize.next().has_value());

  const std::string huge(wire::kMaxFrameBytes, 'x');
  EXPECT_FALSE(wire::encodeFrame(wire::Request{"setRule:rules:completion:", {huge}, 1}).has_value());
}

struct BadFrame {
  const char* name;
  std::string bytes;
};

class BadFrameTest : public ::testing::TestWithParam<BadFrame> {};

TEST_P(BadFrameTest, BreaksTheStreamForGoodButKeepsWhatCameBefore) {
  const std::string good = *wire::encodeFrame(wire::Reply{1, {}});
  const std::string stream = good + GetParam().bytes + good;
  for (std::size_t chunk : {std::size_t{1}, stream.size()}) {
    wire::FrameDecoder decoder;
    auto messages = decodeAll(stream, chunk, decoder);
    EXPECT_TRUE(decoder.failed()) << GetParam().name;
    ASSERT_TRUE(decoder.error().has_value());
    EXPECT_FALSE(decoder.error()->empty());
    EXPECT_EQ(messages.size(), 1u) << GetParam().name << " in chunks of " << chunk;
    decoder.feed(good);
    EXPECT_FALSE(decoder.next().has_value());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Wire, BadFrameTest,
    ::testing::Values(
        BadFrame{"oversize", wire::frameHeader(wire::kMaxFrameBytes + 1) + "{}"},
        BadFrame{"largest length", std::string(4, '\xff')},
        BadFrame{"empty body", framed("")},
        BadFrame{"not json", framed("{\"id\": 1, \"values\": [tru")},
        BadFrame{"trailing garbage", framed(R"({"id":1,"values":[]} x)")},
        BadFrame{"invalid utf-8", framed("{\"selector\":\"a\xff\",\"arguments\":[]}")},
        BadFrame{"array", framed("[1,2]")},
        BadFrame{"string", framed("\"hello\"")},
        BadFrame{"neither kind", framed(R"({"id":1})")},
        BadFrame{"selector not a string", framed(R"({"selector":5,"arguments":[]})")},
        BadFrame{"empty selector", framed(R"({"selector":"","arguments":[]})")},
        BadFrame{"no arguments", framed(R"({"selector":"exitHelper"})")},
        BadFrame{"arguments not an array", framed(R"({"selector":"exitHelper","arguments":{}})")},
        BadFrame{"number argument", framed(R"({"selector":"a","arguments":[1]})")},
        BadFrame{"nested argument", framed(R"({"selector":"a","arguments":[["x"]]})")},
        BadFrame{"negative id", framed(R"({"selector":"a","arguments":[],"id":-1})")},
        BadFrame{"fractional id", framed(R"({"id":1.5,"values":[]})")},
        BadFrame{"id too large", framed(R"({"id":18446744073709551616,"values":[]})")},
        BadFrame{"string id", framed(R"({"id":"1","values":[]})")},
        BadFrame{"reply without id", framed(R"({"values":[]})")},
        BadFrame{"values not an array", framed(R"({"id":1,"values":"x"})")},
        BadFrame{"object value", framed(R"({"id":1,"values":[{}]})")},
        BadFrame{"unknown key", framed(R"({"id":1,"values":[],"extra":0})")},
        BadFrame{"both kinds", framed(R"({"selector":"a","arguments":[],"values":[]})")},
        BadFrame{"deep nesting", framed(std::string(500000, '[') + std::string(500000, ']'))}),
    [](const auto& info) {
      std::string name = info.param.name;
      for (auto& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

TEST(WireTest, BadUtf8InAStringIsReplacedNotThrown) {
  const std::string body = wire::encodeBody(wire::Reply{1, {std::string("a\xff" "b")}});
  auto decoded = wire::decodeBody(body);
  ASSERT_TRUE(decoded.has_value());
  const auto& values = std::get<wire::Reply>(*decoded).values;
  ASSERT_EQ(values.size(), 1u);
  EXPECT_NE(std::get<std::string>(values[0]), "a\xff" "b");
}

}  // namespace
