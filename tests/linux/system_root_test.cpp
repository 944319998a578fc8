#include "platform/linux/system_root.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace linux_test {
namespace {

using platform::linux_backend::usableLabel;

// A label becomes a file name under the root; only one that stays in its folder is usable.
TEST(SystemRootTest, OnlyALabelThatStaysInItsFolderIsUsable) {
  const std::pair<std::string, bool> cases[] = {
      {"com.veltrino.mac.helper", true}, {"..hidden", true}, {"", false}, {".", false}, {"..", false},
      {"../com.veltrino.mac.helper", false}, {"a/b", false}, {"/etc/passwd", false},
      {std::string("helper\0.plist", 13), false},
  };
  for (const auto& [label, usable] : cases) {
    SCOPED_TRACE(label);
    EXPECT_EQ(usableLabel(label), usable);
  }
}

}  // namespace
}  // namespace linux_test
