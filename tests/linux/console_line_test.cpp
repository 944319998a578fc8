// What one console line becomes, and what one answer line looks like.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/console_messenger.h"

namespace linux_test {
namespace {

using namespace platform;
using namespace platform::linux_backend;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// A rendering that tells every kind apart (42 is an integer, 42d a double).
std::string render(const EncodableValue& value) {
  if (std::get_if<std::monostate>(&value)) return "null";
  if (const auto* b = std::get_if<bool>(&value)) return *b ? "true" : "false";
  if (const auto* i = std::get_if<std::int64_t>(&value)) return std::to_string(*i);
  if (const auto* s = std::get_if<std::string>(&value)) return "'" + *s + "'";
  if (const auto* d = std::get_if<double>(&value)) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17gd", *d);
    return text;
  }
  std::string out;
  if (const auto* list = std::get_if<EncodableList>(&value)) {
    for (const auto& item : *list) out += (out.empty() ? "" : ", ") + render(item);
    return "[" + out + "]";
  }
  for (const auto& [key, item] : std::get<EncodableMap>(value)) {
    out += (out.empty() ? "" : ", ") + render(key) + ": " + render(item);
  }
  return "{" + out + "}";
}

// What a line becomes: "METHOD ARGUMENTS" (rendered) for a call, "skipped" for a line
// that sends nothing, "refused: REASON" for one refused.
std::string outcome(const std::string& line) {
  const auto parsed = parseConsoleLine(line);
  if (const auto* call = std::get_if<ConsoleCall>(&parsed)) return call->method + " " + render(call->arguments);
  if (const auto* error = std::get_if<ConsoleLineError>(&parsed)) return "refused: " + error->reason;
  return "skipped";
}

TEST(ConsoleLineTest, EachKindOfLineBecomesACallNothingOrARefusal) {
  using Case = std::pair<std::string, std::string>;
  for (const auto& [line, becomes] : std::vector<Case>{
           {"on", "on null"}, {"  off \t ", "off null"}, {"access\r", "access null"},
           {R"(m {"b":1,"a":2})", "m {'b': 1, 'a': 2}"}, {R"(m {"a":1,"b":2,"a":3})", "m {'a': 3, 'b': 2}"},
           {R"(m [1,"a",true,false,null,1.5,[2],{}])", "m [1, 'a', true, false, null, 1.5d, [2], {}]"},
           {R"(m "\u00e9\n\u0000")", std::string("m '\xc3\xa9\n") + '\0' + "'"},
           {"m 9223372036854775807", "m 9223372036854775807"},
           {"m 9223372036854775808", "m 9.2233720368547758e+18d"}, {"m 1.0", "m 1d"},
           // The method is taken as it comes, bytes and all.
           {"\xff\xfe []", "\xff\xfe []"},
           // Empty lines and comments send nothing.
           {"", "skipped"}, {"\r", "skipped"}, {"  # indented comment", "skipped"},
           // Malformed arguments are refused with a reason on one line.
           {"m {", "refused: not one JSON value"}, {"m 1 2", "refused: end of input"},
           {"m nul", "refused: invalid literal"}, {"m 1e400", "refused: number out of range at byte 5"},
           {"m \"\xff\"", "refused: UTF-8"}}) {
    if (becomes.starts_with("refused: ")) {
      EXPECT_THAT(outcome(line), AllOf(StartsWith("refused: "), HasSubstr(becomes.substr(9)), Not(HasSubstr("\n"))))
          << line;
    } else {
      EXPECT_EQ(outcome(line), becomes) << line;
    }
  }
}

// A malformed line may hold a secret: the reason says where and what, never the text.
TEST(ConsoleLineTest, ARefusedLineIsDescribedWithoutAnyOfItsText) {
  for (const std::string line : {R"(set_token {"token":1234567890e999999})", R"(set_token {"token":"s3cr3t-t0ken)",
                                 R"(set_token {"token":s3cr3t})", R"(set_token {"token":"s3cr3t"]})",
                                 "set_token {\"token\":\"s3cr3t\x01\"}"}) {
    EXPECT_THAT(outcome(line), AllOf(StartsWith("refused: "), HasSubstr(" at byte "), Not(HasSubstr("1234567890")),
                                     Not(HasSubstr("s3cr3t"))))
        << line;
  }
}

std::string nested(int depth, bool objects) {
  std::string open, close;
  for (int i = 0; i < depth; ++i) open += objects ? "{\"k\":" : "[", close += objects ? "}" : "]";
  return open + "0" + close;
}

TEST(ConsoleLineTest, NestingUpToTheCodecsLimitIsAcceptedAndNoDeeper) {
  for (bool objects : {false, true}) {
    SCOPED_TRACE(objects ? "objects" : "arrays");
    EXPECT_THAT(outcome("m " + nested(kMaxEncodableDepth, objects)), StartsWith("m "));
    for (int depth : {kMaxEncodableDepth + 1, 1000000}) {
      EXPECT_THAT(outcome("m " + nested(depth, objects)), HasSubstr("deeper than 256")) << depth;
    }
  }
  // Refused for its depth before the missing ends are noticed.
  EXPECT_THAT(outcome("m " + std::string(1000000, '[')), HasSubstr("deeper than 256"));
}

// That any answer, whatever its texts hold, prints as one JSON line is
// fuzz_console_dispatch's check; here, the exact form.
TEST(ConsoleLineTest, AnAnswerIsOneCompactJsonObjectAfterAnArrow) {
  EXPECT_EQ(formatAnswerLine(2, "get_version", std::string("1.4.0")),
            R"(=> {"id":2,"method":"get_version","result":"1.4.0"})");
  EXPECT_EQ(formatAnswerLine(3, "on", FlutterError{"xpc_connection_error", "Helper not initialized"}),
            R"(=> {"id":3,"method":"on","error":{"code":"xpc_connection_error","message":"Helper not initialized"}})");
  EXPECT_EQ(formatAnswerLine(4, "access", FlutterError{"E1", std::nullopt}),
            R"(=> {"id":4,"method":"access","error":{"code":"E1","message":null}})");
  EXPECT_EQ(formatAnswerLine(12345678901, "nope", FlutterMethodNotImplemented),
            R"(=> {"id":12345678901,"method":"nope","notImplemented":true})");
  // A name of megabytes is not echoed whole, nor cut inside a character.
  const std::string longName = std::string(255, 'm') + "\xc3\xa9" + std::string(std::size_t{7} << 20, 'm');
  EXPECT_EQ(formatAnswerLine(5, longName, nullptr),
            R"(=> {"id":5,"method":")" + std::string(255, 'm') + R"(...","result":null})");
}

}  // namespace
}  // namespace linux_test
