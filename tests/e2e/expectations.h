// What every end-to-end run must show whatever was done to it: each call answered
// once, and nothing on standard output but answers and the host's own lines. Also
// the session and the names the tests share.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>

#include "host_process.h"

namespace e2e {

namespace fs = std::filesystem;
using ::testing::AnyOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

inline const Json kToken = {
    {"app", "veltrino"}, {"uid", "u-1"}, {"token", "tok-1"}, {"device", "dev-1"}, {"version", "3.2"}};
inline const Json kHive = {{"ip", "10.8.0.1"}, {"port", "443"}, {"hive", "eu-1"}};
inline const Json kRules = {{"rules", "10.0.0.0/8"}};
inline const std::string kBlessFailed = "Helper installation error. Error while installing the Helper: ";
inline const std::string kDenied =
    "Helper installation error. Unable to get a valid loading authorization reference to load Helper daemon";

// A helper's reply is back well inside the call guard's five seconds; the guard's own
// null comes no earlier than that.
constexpr auto kServed = 4000ms;
constexpr auto kGuard = 4900ms;

inline Json nullResult(int id, const std::string& method) {
  return {{"id", id}, {"method", method}, {"result", nullptr}};
}

// Every call sent has exactly one answer line and no line answers an id never sent.
// The console itself refuses a second answer and settles a dropped result, and says
// so on standard error: neither may have happened.
inline void expectEachCallAnsweredOnce(HostProcess& host) {
  auto wrong = host.answersPerId();  // ids answered other than once: how often
  for (int id = 1; id <= host.callsSent(); ++id) wrong[id] += 0;
  std::erase_if(wrong, [&](const auto& e) { return e.second == 1 && e.first >= 1 && e.first <= host.callsSent(); });
  EXPECT_THAT(wrong, IsEmpty()) << "ids answered other than once, with how often";
  EXPECT_EQ(host.answerCount(), static_cast<std::size_t>(host.callsSent())) << "answer lines against calls sent";
  EXPECT_THAT(host.standardError(), Not(HasSubstr("answered more than once")));
  EXPECT_THAT(host.standardError(), Not(HasSubstr("dropped without an answer")));
}

// Every diagnostic line is one the host writes of its own or one of the |printed|
// messages sent with "print".
inline void expectOwnDiagnostics(HostProcess& host, const std::set<std::string>& printed = {}) {
  static const std::set<std::string> fixed = {"Helper is not installed", "Helper not initialized",
                                              "Unable to connect to Helper although it is installed"};
  for (const auto& line : host.diagnostics()) {
    const bool own = fixed.count(line) != 0 || printed.count(line) != 0 ||
                     line.starts_with("New XPC connection after update error. ") ||
                     line.starts_with("Helper installation error. ");
    EXPECT_TRUE(own) << "a line on standard output that is not the host's own: " << line;
  }
}

// Standard error holds nothing but the console's note that input ended.
inline void expectQuietStandardError(HostProcess& host) {
  std::istringstream lines(host.standardError());
  for (std::string line; std::getline(lines, line);) EXPECT_EQ(line, "input ended");
}

}  // namespace e2e
