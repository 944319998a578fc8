#include "expectations.h"

#include <gtest/gtest.h>

#include <sstream>

namespace e2e {

void expectEachCallAnsweredOnce(HostProcess& host) {
  const auto perId = host.answersPerId();
  const int sent = host.callsSent();
  std::size_t missing = 0;
  std::size_t repeated = 0;
  for (int id = 1; id <= sent; ++id) {
    const auto it = perId.find(id);
    const std::size_t count = it == perId.end() ? 0 : it->second;
    if (count == 0 && ++missing <= 5) ADD_FAILURE() << "call " << id << " has no answer";
    if (count > 1 && ++repeated <= 5) ADD_FAILURE() << "call " << id << " was answered " << count << " times";
  }
  EXPECT_EQ(missing, 0u) << "calls without an answer";
  EXPECT_EQ(repeated, 0u) << "calls answered more than once";
  for (const auto& [id, count] : perId) {
    EXPECT_TRUE(id >= 1 && id <= sent) << "an answer came under id " << id << ", which no call had";
  }
  EXPECT_EQ(host.answerCount(), static_cast<std::size_t>(sent)) << "answer lines against calls sent";
  const std::string errors = host.standardError();
  EXPECT_EQ(errors.find("answered more than once"), std::string::npos) << errors;
  EXPECT_EQ(errors.find("dropped without an answer"), std::string::npos) << errors;
}

void expectOwnDiagnostics(HostProcess& host, const std::set<std::string>& printed) {
  static const std::set<std::string> fixed = {"Helper is not installed",
                                              "Unable to connect to Helper although it is installed",
                                              "Helper not initialized"};
  static const std::string prefixes[] = {"New XPC connection after update error. ", "Helper installation error. "};
  for (const auto& line : host.diagnostics()) {
    bool own = fixed.count(line) != 0 || printed.count(line) != 0;
    for (const auto& prefix : prefixes) own = own || line.rfind(prefix, 0) == 0;
    EXPECT_TRUE(own) << "a line on standard output that is not the host's own: " << line;
  }
}

void expectQuietStandardError(HostProcess& host) {
  std::istringstream lines(host.standardError());
  std::string line;
  while (std::getline(lines, line)) EXPECT_EQ(line, "input ended");
}

}  // namespace e2e
