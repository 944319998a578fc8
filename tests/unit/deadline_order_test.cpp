#include "platform/deadline_order.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace veltrino_test {
namespace {

// Work runs by deadline, and work with equal deadlines in the order it was scheduled.
TEST(DeadlineOrderTest, RunsByDeadlineThenInTheOrderScheduled) {
  // "7a" adds work "a" with deadline 7; "*" is a timer firing, which runs the work it
  // takes ("." when it takes none).
  const std::pair<const char*, const char*> rows[] = {
      {"7a 7b 7c * * *", "abc"}, {"9a 3b 6c * * *", "bca"}, {"5a 2b 5c 2d * * * *", "bdac"},
      {"4a * 4b 1c * *", "acb"}, {"* 1a * *", ".a."},
  };
  for (const auto& [steps, expected] : rows) {
    platform::DeadlineOrder order;
    std::string ran;
    std::istringstream in(steps);
    for (std::string step; in >> step;) {
      if (step != "*") {
        const char label = step.back();
        order.add(std::stoull(step.substr(0, step.size() - 1)), [&ran, label] { ran += label; });
      } else if (platform::DispatchWork work = order.takeEarliest()) {
        work();
      } else {
        ran += '.';
      }
    }
    EXPECT_EQ(ran, expected) << steps;
    EXPECT_EQ(order.size(), 0u) << steps;
  }
}

}  // namespace
}  // namespace veltrino_test
