// What one console line becomes, and what one answer line looks like.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/linux/console_messenger.h"

namespace linux_test {
namespace {

using namespace platform;
using namespace platform::linux_backend;
using ::testing::HasSubstr;
using ::testing::Not;

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
// that sends nothing, "refused: PART" for one refused with a reason holding PART.
struct LineCase {
  std::string line;
  std::string becomes;
};

class ConsoleLineKindTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(ConsoleLineKindTest, BecomesACallNothingOrARefusal) {
  const auto& [line, becomes] = GetParam();
  const auto parsed = parseConsoleLine(line);
  if (const auto* call = std::get_if<ConsoleCall>(&parsed)) {
    EXPECT_EQ(call->method + " " + render(call->arguments), becomes) << line;
  } else if (const auto* error = std::get_if<ConsoleLineError>(&parsed)) {
    ASSERT_TRUE(becomes.starts_with("refused: ")) << line << ": " << error->reason;
    EXPECT_THAT(error->reason, HasSubstr(becomes.substr(9))) << line;
    EXPECT_EQ(error->reason.find('\n'), std::string::npos) << line;
  } else {
    EXPECT_EQ("skipped", becomes) << line;
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryJsonKind, ConsoleLineKindTest,
    ::testing::Values(
        LineCase{"on", "on null"}, LineCase{"  off \t ", "off null"}, LineCase{"access\r", "access null"},
        LineCase{R"(m {"b":1,"a":2})", "m {'b': 1, 'a': 2}"},
        LineCase{R"(m {"a":1,"b":2,"a":3})", "m {'a': 3, 'b': 2}"},
        LineCase{"m \t { \"a\" : [ ] , \"b\" : { } }  ", "m {'a': [], 'b': {}}"},
        LineCase{R"(m [1,"a",true,false,null,1.5,[2]])", "m [1, 'a', true, false, null, 1.5d, [2]]"},
        LineCase{R"(m "text with spaces")", "m 'text with spaces'"},
        LineCase{R"(m "\u00e9\n\u0000")", std::string("m '\xc3\xa9\n") + '\0' + "'"},
        LineCase{"m null", "m null"}, LineCase{"m 9223372036854775807", "m 9223372036854775807"},
        LineCase{"m -9223372036854775808", "m -9223372036854775808"},
        LineCase{"m 9223372036854775808", "m 9.2233720368547758e+18d"},
        LineCase{"m -9223372036854775809", "m -9.2233720368547758e+18d"}, LineCase{"m 1.0", "m 1d"},
        LineCase{"m -0.25E-2", "m -0.0025000000000000001d"},
        // The method is taken as it comes, bytes and all.
        LineCase{"\xff\xfe []", "\xff\xfe []"},
        // Empty lines and comments send nothing.
        LineCase{"", "skipped"}, LineCase{"   ", "skipped"}, LineCase{"\r", "skipped"},
        LineCase{"# a comment", "skipped"}, LineCase{"  # indented comment", "skipped"}, LineCase{"#on", "skipped"},
        // Malformed arguments are refused with a reason on one line.
        LineCase{"m {", "refused: not one JSON value"}, LineCase{"m 1 2", "refused: end of input"},
        LineCase{"m nul", "refused: invalid literal"}, LineCase{"m 1e400", "refused: number out of range at byte 5"},
        LineCase{"m \"\xff\"", "refused: UTF-8"}, LineCase{"m [1] // comment", "refused: not one JSON value"}));

// A malformed line may hold a secret: the reason says where and what, never the text.
TEST(ConsoleLineTest, ARefusedLineIsDescribedWithoutAnyOfItsText) {
  for (const std::string& line : {std::string(R"(set_token {"token":1234567890e999999})"),
                                  std::string(R"(set_token {"token":"s3cr3t-t0ken)"),
                                  std::string(R"(set_token {"token":s3cr3t})"), std::string(R"(set_token {"token":"s3cr3t"]})"),
                                  std::string("set_token {\"token\":\"s3cr3t\x01\"}")}) {
    const auto parsed = parseConsoleLine(line);
    const auto* error = std::get_if<ConsoleLineError>(&parsed);
    ASSERT_NE(error, nullptr) << line;
    EXPECT_THAT(error->reason, HasSubstr(" at byte ")) << line;
    for (const char* secret : {"1234567890", "s3cr3t"}) EXPECT_THAT(error->reason, Not(HasSubstr(secret))) << line;
  }
}

std::string nested(int depth, bool objects) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += objects ? "{\"k\":" : "[";
  text += "0";
  for (int i = 0; i < depth; ++i) text += objects ? "}" : "]";
  return text;
}

int depthOf(const EncodableValue& value) {
  if (const auto* list = std::get_if<EncodableList>(&value)) return list->empty() ? 1 : 1 + depthOf(list->front());
  if (const auto* map = std::get_if<EncodableMap>(&value)) return map->empty() ? 1 : 1 + depthOf(map->front().second);
  return 0;
}

TEST(ConsoleLineTest, NestingUpToTheCodecsLimitIsAcceptedAndNoDeeper) {
  for (bool objects : {false, true}) {
    SCOPED_TRACE(objects ? "objects" : "arrays");
    const auto atLimit = parseConsoleLine("m " + nested(kMaxEncodableDepth, objects));
    const auto* call = std::get_if<ConsoleCall>(&atLimit);
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(depthOf(call->arguments), kMaxEncodableDepth);

    for (int depth : {kMaxEncodableDepth + 1, 1000000}) {
      const auto tooDeep = parseConsoleLine("m " + nested(depth, objects));
      const auto* error = std::get_if<ConsoleLineError>(&tooDeep);
      ASSERT_NE(error, nullptr) << depth;
      EXPECT_THAT(error->reason, HasSubstr("deeper than 256"));
    }
  }
  // Refused for its depth before the missing ends are noticed.
  const auto unclosed = parseConsoleLine("m " + std::string(1000000, '['));
  const auto* error = std::get_if<ConsoleLineError>(&unclosed);
  ASSERT_NE(error, nullptr);
  EXPECT_THAT(error->reason, HasSubstr("deeper"));
}

struct AnswerCase {
  std::uint64_t id;
  std::string method;
  FlutterResultValue value;
  std::string line;
};

// That any answer, whatever its texts hold, prints as one JSON line is also
// fuzz_console_dispatch's check; here, the exact form.
class AnswerLineTest : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerLineTest, IsOneCompactJsonObjectAfterAnArrow) {
  const auto& c = GetParam();
  const auto line = formatAnswerLine(c.id, c.method, c.value);
  EXPECT_EQ(line, c.line);
  ASSERT_EQ(line.rfind("=> ", 0), 0u);
  EXPECT_TRUE(nlohmann::json::accept(line.substr(3)));
}

INSTANTIATE_TEST_SUITE_P(
    EveryKindOfAnswer, AnswerLineTest,
    ::testing::Values(
        AnswerCase{1, "access", nullptr, R"(=> {"id":1,"method":"access","result":null})"},
        AnswerCase{2, "get_version", std::string("1.4.0"), R"(=> {"id":2,"method":"get_version","result":"1.4.0"})"},
        AnswerCase{3, "on", FlutterError{"xpc_connection_error", "Helper not initialized"},
                   R"(=> {"id":3,"method":"on","error":{"code":"xpc_connection_error","message":"Helper not initialized"}})"},
        AnswerCase{4, "access", FlutterError{"E1", std::nullopt},
                   R"(=> {"id":4,"method":"access","error":{"code":"E1","message":null}})"},
        AnswerCase{12345678901, "nope", FlutterMethodNotImplemented,
                   R"(=> {"id":12345678901,"method":"nope","notImplemented":true})"},
        AnswerCase{6, "\xff", std::string("ok \xc3\xa9 bad \xc3"),
                   "=> {\"id\":6,\"method\":\"\xef\xbf\xbd\",\"result\":\"ok \xc3\xa9 bad \xef\xbf\xbd\"}"}));

}  // namespace
}  // namespace linux_test
