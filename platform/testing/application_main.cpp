// The test backend's NSApplicationMain (see platform/appkit.h for what every backend's
// version must do, and platform/testing/test_appkit.h for this one).
#include <cstdio>
#include <cstdlib>

#include "platform/appkit.h"
#include "platform/backend.h"
#include "platform/testing/test_appkit.h"
#include "platform/testing/virtual_loop.h"

namespace platform {

int NSApplicationMain(int argc, char* argv[], NSMainNibLoader loadMainNib) {
  testing::ApplicationMainCall call{argc, argv, {}};
  for (int i = 0; argv != nullptr && i < argc && argv[i] != nullptr; ++i) call.arguments.emplace_back(argv[i]);
  testing::applicationMainCalls().push_back(std::move(call));

  auto* queue = dynamic_cast<testing::VirtualQueue*>(installedBackend().mainQueue);
  if (queue == nullptr) {
    std::fprintf(stderr, "platform: the test NSApplicationMain needs the test backend installed\n");
    std::abort();
  }

  auto application = NSApplication::sharedApplication();
  loadMainNib(*application);
  application->finishLaunching();
  // The virtual loop has no events of its own: running it until idle is running it
  // until nothing more can happen, the test's "until terminated".
  if (!application->isTerminated()) queue->loop().runUntilIdle();
  return 0;
}

}  // namespace platform
