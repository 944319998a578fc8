#include "platform/linux/system_root.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace linux_test {
namespace {

using platform::linux_backend::usableLabel;

// A label becomes a file name under the root; only one that stays in its folder is usable.
TEST(SystemRootTest, OnlyALabelThatStaysInItsFolderIsUsable) {
  using Row = std::pair<std::string, bool>;
  const Row rows[] = {
      {"com.veltrino.mac.helper", true}, {"..hidden", true}, {"", false}, {".", false}, {"..", false},
      {"../com.veltrino.mac.helper", false}, {"a/b", false}, {std::string("helper\0.plist", 13), false},
  };
  for (const auto& [label, usable] : rows) {
    SCOPED_TRACE(label);
    EXPECT_EQ(usableLabel(label), usable);
  }
}

}  // namespace
}  // namespace linux_test
