#include "platform/deadline_order.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace veltrino_test {
namespace {

struct DeadlineOrderCase {
  const char* name;
  // "7a" adds work "a" with deadline 7; "*" is a timer firing, which runs the work it
  // takes ("." when it takes none).
  const char* steps;
  const char* ran;
};

void PrintTo(const DeadlineOrderCase& c, std::ostream* out) { *out << '"' << c.steps << '"'; }

std::string run(const char* steps) {
  platform::DeadlineOrder order;
  std::string ran;
  std::istringstream in(steps);
  for (std::string step; in >> step;) {
    if (step == "*") {
      platform::DispatchWork work = order.takeEarliest();
      if (work) {
        work();
      } else {
        ran += '.';
      }
      continue;
    }
    const char label = step.back();
    order.add(std::stoull(step.substr(0, step.size() - 1)), [&ran, label] { ran += label; });
  }
  EXPECT_EQ(order.size(), 0u) << "every added piece of work was taken";
  return ran;
}

class DeadlineOrderTest : public testing::TestWithParam<DeadlineOrderCase> {};

TEST_P(DeadlineOrderTest, RunsByDeadlineThenInTheOrderScheduled) { EXPECT_EQ(run(GetParam().steps), GetParam().ran); }

INSTANTIATE_TEST_SUITE_P(
    Firings, DeadlineOrderTest,
    testing::Values(DeadlineOrderCase{"EqualDeadlinesInSchedulingOrder", "7a 7b 7c * * *", "abc"},
                    DeadlineOrderCase{"EarlierDeadlineFirst", "9a 3b 6c * * *", "bca"},
                    DeadlineOrderCase{"EqualDeadlinesAmongOthers", "5a 2b 5c 2d * * * *", "bdac"},
                    DeadlineOrderCase{"WorkAddedAfterAFiring", "4a * 4b 1c * *", "acb"},
                    DeadlineOrderCase{"AFiringWithNothingWaitingTakesNothing", "* 1a * *", ".a."}),
    [](const testing::TestParamInfo<DeadlineOrderCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace veltrino_test
