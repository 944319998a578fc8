// The standard codecs: the bytes each value, call and envelope becomes, what a
// decoder refuses, and random values through a round trip. Fixed bytes are checked
// for how they decode only where the random round trip does not reach: sizes past
// 259, error messages, and what the encoder never writes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "platform/flutter/standard_codec.h"

namespace flutter_test {
namespace {

using namespace platform;
using ::testing::HasSubstr;

// Bytes from hexadecimal pairs, spaces ignored; exactly sized, so that a sanitizer
// sees a read past the end.
FlutterMessage hex(std::string_view text) {
  FlutterMessage out;
  for (std::size_t i = 0; i < text.size(); i += text[i] == ' ' ? 1 : 2) {
    if (text[i] == ' ') continue;
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
  }
  out.shrink_to_fit();
  return out;
}

std::string repeat(std::string_view piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

// Equal, with doubles compared by their bits (NaN, -0.0).
bool identical(const EncodableValue& a, const EncodableValue& b) {
  if (a.index() != b.index()) return false;
  const auto bits = [](double d) { return std::bit_cast<std::uint64_t>(d); };
  if (const auto* d = std::get_if<double>(&a)) return bits(*d) == bits(std::get<double>(b));
  if (const auto* list = std::get_if<EncodableList>(&a)) {
    return std::ranges::equal(*list, std::get<EncodableList>(b), identical);
  }
  if (const auto* map = std::get_if<EncodableMap>(&a)) {
    return std::ranges::equal(*map, std::get<EncodableMap>(b), [](const auto& x, const auto& y) {
      return identical(x.first, y.first) && identical(x.second, y.second);
    });
  }
  return a == b;
}

EncodableValue decoded(const FlutterMessage& bytes) {
  auto result = decodeMessage(bytes);
  if (const auto* error = std::get_if<CodecError>(&result)) ADD_FAILURE() << error->reason << " at " << error->offset;
  return std::holds_alternative<EncodableValue>(result) ? std::get<EncodableValue>(result) : EncodableValue{};
}

TEST(MethodCodec, CallsAndRepliesMatchKnownBytes) {
  struct Call {
    FlutterMethodCall call;
    std::string bytes;
  };
  const std::vector<Call> calls = {
      {.call = {"print", {}}, .bytes = "07 05 70 72 69 6e 74 00"},
      {.call = {"on", EncodableMap{{std::string("tlsMode"), std::string("1")}}},
       .bytes = "07 02 6f 6e 0d 01 07 07 74 6c 73 4d 6f 64 65 07 01 31"},
      {.call = {"on", 3.5}, .bytes = "07 02 6f 6e 06 00 00 00 00 00 00 00 00 00 0c 40"},
  };
  for (const auto& [call, bytes] : calls) EXPECT_EQ(encodeMethodCall(call), hex(bytes)) << call.method();

  struct Answer {
    FlutterResultValue value;
    std::string bytes;
  };
  const std::vector<Answer> answers = {
      {.value = std::string("1.0.0"), .bytes = "00 07 05 31 2e 30 2e 30"},
      {.value = FlutterError{"missing_arguments", "m"},
       .bytes = "01 07 11 6d 69 73 73 69 6e 67 5f 61 72 67 75 6d 65 6e 74 73 07 01 6d 00"},
      {.value = nullptr, .bytes = "00 00"},
      {.value = FlutterError{"c", std::nullopt}, .bytes = "01 07 01 63 00 00"},
      {.value = FlutterMethodNotImplemented, .bytes = ""},
  };
  for (const auto& [value, bytes] : answers) EXPECT_EQ(encodeResult(value), hex(bytes)) << bytes;
  EXPECT_EQ(encodeErrorEnvelope("missing_arguments", "m"), hex(answers[1].bytes));
  const auto error = std::get<EnvelopeError>(decodeEnvelope(hex(answers[1].bytes)));
  EXPECT_EQ((FlutterError{error.code, error.message}), std::get<FlutterError>(answers[1].value));
  EXPECT_TRUE(error.details.isNull());
  EXPECT_TRUE(std::holds_alternative<FlutterMethodNotImplementedType>(decodeEnvelope({})));
}

TEST(StandardCodec, EachValueIsWrittenAsItsTypeSays) {
  struct Case {
    EncodableValue value;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {.value = {}, .bytes = "00"},
      {.value = true, .bytes = "01"},
      {.value = false, .bytes = "02"},
      {.value = std::int64_t{-1}, .bytes = "03 ff ff ff ff"},
      {.value = std::int64_t{std::numeric_limits<std::int32_t>::min()}, .bytes = "03 00 00 00 80"},
      {.value = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1, .bytes = "04 00 00 00 80 00 00 00 00"},
      {.value = std::int64_t{-0x0102030405060708}, .bytes = "04 f8 f8 f9 fa fb fc fd fe"},
      {.value = -0.0, .bytes = "06 00 00 00 00 00 00 00 00 00 00 00 00 00 00 80"},
      {.value = std::string(), .bytes = "07 00"},
      {.value = std::string("\xc3\xa9"), .bytes = "07 02 c3 a9"},
      {.value = EncodableList{std::string("a"), EncodableList{}}, .bytes = "0c 02 07 01 61 0c 00"},
      // Keys of any type, in the order given; the float64 at 11 pads to 16.
      {.value = EncodableMap{{std::int64_t{1}, {}}, {EncodableList{true}, 2.0}, {{}, std::string("n")}},
       .bytes = "0d 03 03 01 00 00 00 00 0c 01 01 06 00 00 00 00 00 00 00 00 00 00 00 40 00 07 01 6e"},
  };
  for (const auto& [value, bytes] : cases) EXPECT_EQ(encodeMessage(value), hex(bytes)) << bytes;
}

TEST(StandardCodec, SizesTakeOneThreeOrFiveBytes) {
  using Size = std::pair<std::size_t, std::string>;
  for (const auto& [n, header] :
       {Size{253, "fd"}, Size{254, "fe fe 00"}, Size{65535, "fe ff ff"}, Size{65536, "ff 00 00 01 00"}}) {
    for (const auto& [value, type] : {std::pair<EncodableValue, std::string>{std::string(n, 's'), "07"},
                                      {EncodableList(n, EncodableValue(false)), "0c"}}) {
      const auto bytes = encodeMessage(value);
      const auto head = hex(type + header);
      ASSERT_EQ(bytes.size(), head.size() + n);
      EXPECT_TRUE(std::equal(head.begin(), head.end(), bytes.begin())) << n;
      EXPECT_EQ(decoded(bytes), value) << n;
    }
  }
  // The longer forms are read for small sizes too.
  EXPECT_EQ(decoded(hex("07 fe 01 00 61")), EncodableValue(std::string("a")));
  EXPECT_EQ(decoded(hex("0c ff 01 00 00 00 00")), EncodableValue(EncodableList{{}}));
}

TEST(StandardCodec, AlignmentCountsFromTheStartOfTheMessage) {
  // A float64 after a string of each length lands on every offset modulo 8.
  for (std::size_t n = 0; n < 9; ++n) {
    const EncodableValue value = EncodableList{std::string(n, 'x'), 2.5};
    const auto bytes = encodeMessage(value);
    const std::size_t typeAt = 4 + n;
    const std::size_t valueAt = (typeAt + 8) / 8 * 8;
    ASSERT_EQ(bytes.size(), valueAt + 8) << n;
    EXPECT_EQ(bytes[typeAt], 6);
    EXPECT_TRUE(std::all_of(bytes.begin() + typeAt + 1, bytes.begin() + valueAt, [](auto b) { return b == 0; })) << n;
  }
  EXPECT_EQ(encodeSuccessEnvelope(2.5), hex("00 06 00 00 00 00 00 00 00 00 00 00 00 00 04 40"));

  // Typed lists are read as plain lists; the size comes before the padding.
  struct Typed {
    std::string bytes;
    EncodableList items;
  };
  const std::vector<Typed> typed = {
      {.bytes = "08 03 01 02 ff", .items = {std::int64_t{1}, std::int64_t{2}, std::int64_t{255}}},
      {.bytes = "08 00", .items = {}},
      {.bytes = "09 02 00 00 ff ff ff ff 02 00 00 00", .items = {std::int64_t{-1}, std::int64_t{2}}},
      {.bytes = "0a 01 00 00 00 00 00 00 fe ff ff ff ff ff ff ff", .items = {std::int64_t{-2}}},
      {.bytes = "0e 02 00 00 00 00 c0 3f 00 00 c0 7f", .items = {1.5, std::numeric_limits<double>::quiet_NaN()}},
      {.bytes = "0b 01 00 00 00 00 00 00 00 00 00 00 00 00 f8 3f", .items = {1.5}},
      // After an odd offset: the int32 list's size is at 4, its item at 8.
      {.bytes = "0c 02 01 09 01 00 00 00 05 00 00 00", .items = {true, EncodableList{std::int64_t{5}}}},
  };
  for (const auto& [bytes, items] : typed) EXPECT_TRUE(identical(decoded(hex(bytes)), items)) << bytes;
}

TEST(StandardCodec, DecodersRefuseBadBytesWithoutReadingPastTheEnd) {
  enum class As { kMessage, kCall, kEnvelope };
  const auto errorOf = [](As as, const FlutterMessage& message) {
    const auto error = [](const auto& result) {
      const auto* e = std::get_if<CodecError>(&result);
      return e != nullptr ? std::optional(*e) : std::nullopt;
    };
    return as == As::kMessage ? error(decodeMessage(message))
           : as == As::kCall  ? error(decodeMethodCall(message))
                              : error(decodeEnvelope(message));
  };
  struct Bad {
    As as;
    std::string bytes;
    std::string reason;
  };
  const std::vector<Bad> bad = {
      {.as = As::kMessage, .bytes = "", .reason = "cut short"},
      {.as = As::kMessage, .bytes = "03 01 02 03", .reason = "cut short"},
      {.as = As::kMessage, .bytes = "06 00 00", .reason = "cut short"},
      {.as = As::kMessage, .bytes = "0b 01 00 00 00", .reason = "cut short"},
      {.as = As::kMessage, .bytes = "07 05 61 62", .reason = "past the end"},
      {.as = As::kMessage, .bytes = "0c ff ff ff ff ff 00", .reason = "past the end"},
      {.as = As::kMessage, .bytes = "0d 02 00 00 00", .reason = "past the end"},
      {.as = As::kMessage, .bytes = "09 02 00 00 01 00 00 00", .reason = "past the end"},
      {.as = As::kMessage, .bytes = "05", .reason = "unknown type"},
      {.as = As::kMessage, .bytes = "0c 01 ff", .reason = "unknown type"},
      {.as = As::kMessage, .bytes = "00 00", .reason = "after the end"},
      {.as = As::kCall, .bytes = "00 00", .reason = "not a string"},
      {.as = As::kCall, .bytes = "07 01 61 00 00", .reason = "after the end"},
      {.as = As::kEnvelope, .bytes = "00", .reason = "cut short"},
      {.as = As::kEnvelope, .bytes = "02 00", .reason = "neither success nor error"},
      {.as = As::kEnvelope, .bytes = "00 00 00", .reason = "after the end"},
      {.as = As::kEnvelope, .bytes = "01 07 01 63 00 00 00", .reason = "after the end"},
      {.as = As::kEnvelope, .bytes = "01 00 00 00", .reason = "code is not a string"},
      {.as = As::kEnvelope, .bytes = "01 07 01 63 01 00", .reason = "neither a string nor null"},
      {.as = As::kEnvelope, .bytes = "01 07 01 63 00", .reason = "cut short"},
  };
  for (const auto& [as, bytes, reason] : bad) {
    const auto error = errorOf(as, hex(bytes));
    ASSERT_TRUE(error.has_value()) << bytes;
    EXPECT_THAT(error->reason, HasSubstr(reason)) << bytes;
    EXPECT_LE(error->offset, hex(bytes).size()) << bytes;
  }

  // Every prefix of a call that holds each kind of value is refused, the empty one and
  // one without arguments among them.
  const auto whole = encodeMethodCall({"m", EncodableMap{{std::string("k"), EncodableList{std::int64_t{1} << 40, -1.0}},
                                                         {true, std::string(300, 'v')}}});
  for (std::size_t n = 0; n < whole.size(); ++n) {
    EXPECT_TRUE(errorOf(As::kCall, FlutterMessage(whole.begin(), whole.begin() + n))) << n;
  }
}

TEST(StandardCodec, NestingStopsAtTheLimit) {
  struct Shape {
    const char* what;
    FlutterMessage (*nested)(int depth);
  };
  const std::vector<Shape> shapes = {
      {.what = "lists", .nested = [](int d) { return hex(repeat("0c 01", d) + "00"); }},
      {.what = "map keys", .nested = [](int d) { return hex(repeat("0d 01", d) + "00" + repeat("00", d)); }},
      {.what = "typed list innermost", .nested = [](int d) { return hex(repeat("0c 01", d - 1) + "08 00"); }},
  };
  for (const auto& [what, nested] : shapes) {
    EXPECT_TRUE(std::holds_alternative<EncodableValue>(decodeMessage(nested(kMaxEncodableDepth)))) << what;
    const auto tooDeep = decodeMessage(nested(kMaxEncodableDepth + 1));
    ASSERT_TRUE(std::holds_alternative<CodecError>(tooDeep)) << what;
    EXPECT_THAT(std::get<CodecError>(tooDeep).reason, HasSubstr("too deep")) << what;
  }
}

TEST(StandardCodec, RandomValuesComeBackBitForBit) {
  std::mt19937_64 random(20240611);
  const auto pick = [&random](std::uint64_t n) { return static_cast<std::size_t>(random() % n); };
  const auto value = [&](const auto& self, int depth) -> EncodableValue {
    static constexpr std::int64_t kEdges[] = {
        0, -1, INT32_MIN, INT32_MAX, std::int64_t{INT32_MAX} + 1, std::int64_t{INT32_MIN} - 1, INT64_MIN, INT64_MAX};
    switch (pick(depth < 4 ? 7 : 5)) {
      case 0:
        return pick(3) == 0 ? EncodableValue() : EncodableValue(pick(2) == 0);
      case 1:
        return pick(2) == 0 ? kEdges[pick(8)] : static_cast<std::int64_t>(random());
      case 2:
        return std::bit_cast<double>(random());
      case 3:
      case 4: {
        std::string s(pick(3) == 0 ? 250 + pick(10) : pick(20), '\0');
        for (auto& c : s) c = static_cast<char>(pick(256));
        return s;
      }
      case 5: {
        EncodableList list(pick(5));
        for (auto& item : list) item = self(self, depth + 1);
        return list;
      }
      default: {
        EncodableMap map;
        for (std::size_t n = pick(4); n > 0; --n) map.emplace_back(self(self, depth + 1), self(self, depth + 1));
        return map;
      }
    }
  };
  for (int i = 0; i < 2000; ++i) {
    const EncodableValue v = value(value, 0);
    const auto bytes = encodeMessage(v);
    const EncodableValue back = decoded(bytes);
    ASSERT_TRUE(identical(back, v)) << i;
    EXPECT_EQ(encodeMessage(back), bytes) << i;
    // The same value after a prefix of any length, as arguments, result and details.
    const std::string name(pick(12), 'm');
    const auto call = std::get<FlutterMethodCall>(decodeMethodCall(encodeMethodCall({name, v})));
    EXPECT_EQ(call.method(), name);
    EXPECT_TRUE(identical(call.arguments(), v)) << i;
    EXPECT_TRUE(identical(std::get<EnvelopeSuccess>(decodeEnvelope(encodeSuccessEnvelope(v))).result, v)) << i;
    EXPECT_TRUE(identical(std::get<EnvelopeError>(decodeEnvelope(encodeErrorEnvelope(name, {}, v))).details, v)) << i;
  }
}

}  // namespace
}  // namespace flutter_test
