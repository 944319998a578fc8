#include "platform/linux/system_root.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace linux_test {
namespace {

using platform::linux_backend::usableLabel;

// A label becomes a file name under the root; only one that stays in its folder is usable.
TEST(SystemRootTest, OnlyALabelThatStaysInItsFolderIsUsable) {
  struct Row {
    std::string label;
    bool usable;
  };
  const Row rows[] = {
      {.label = "com.veltrino.mac.helper", .usable = true},
      {.label = "..hidden", .usable = true},
      {.label = "", .usable = false},
      {.label = ".", .usable = false},
      {.label = "..", .usable = false},
      {.label = "../com.veltrino.mac.helper", .usable = false},
      {.label = "a/b", .usable = false},
      {.label = "/etc/passwd", .usable = false},
      {.label = std::string("helper\0.plist", 13), .usable = false},
  };
  for (const auto& [label, usable] : rows) {
    SCOPED_TRACE(label);
    EXPECT_EQ(usableLabel(label), usable);
  }
}

}  // namespace
}  // namespace linux_test
