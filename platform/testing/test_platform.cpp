#include "platform/testing/test_platform.h"

namespace platform::testing {

TestPlatform::TestPlatform() : messenger(std::make_shared<TestMessenger>(loop, mainQueue)) {
  Backend backend;
  backend.mainQueue = &mainQueue;
  backend.standardOutput = &output;
  backend.mainBundle = &bundle;
  backend.fileManager = &files;
  backend.security = &security;
  backend.xpc = &services;
  backend.flutterMessenger = messenger;
  previous_ = installBackend(backend);
}

TestPlatform::~TestPlatform() { installBackend(previous_); }

}  // namespace platform::testing
