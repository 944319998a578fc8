// What every end-to-end run must show whatever was done to it: each call answered
// once, and nothing on standard output but answers and the host's own lines. Also
// the session and the names the tests share.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

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

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Several times slower, and holding freed memory in quarantine and shadow.
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The most a host may have been resident, in kB, after an interface sent it calls
// for ten seconds and read nothing back (some 7 to 12 MB measured).
constexpr long kUnreadHostPeakKb = 40 * 1024;

// Sends what |trySend| sends for |duration|: again at once while the host takes it,
// after 5 ms when it does not.
template <typename TrySend>
void offerFor(std::chrono::milliseconds duration, TrySend trySend) {
  const auto end = std::chrono::steady_clock::now() + duration;
  while (std::chrono::steady_clock::now() < end) {
    if (!trySend()) std::this_thread::sleep_for(5ms);
  }
}

// Sends SIGTERM and waits for the host to end: its status (-1 if it did not within
// ten seconds) and how long that took.
inline std::pair<int, std::chrono::milliseconds> sigterm(HostProcess& host) {
  const auto sent = std::chrono::steady_clock::now();
  EXPECT_EQ(::kill(host.pid(), SIGTERM), 0);
  const int status = host.wait(10s);
  return {status, std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent)};
}

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
