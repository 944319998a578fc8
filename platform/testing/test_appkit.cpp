#include "platform/testing/test_appkit.h"

namespace platform::testing {

std::vector<ApplicationMainCall>& applicationMainCalls() {
  static std::vector<ApplicationMainCall> calls;
  return calls;
}

}  // namespace platform::testing
