// Test helpers for the AppKit stand-ins: a fresh shared application per test, and
// what the test NSApplicationMain was called with.
//
// The test NSApplicationMain (application_main.cpp, in platform_testing) keeps its
// arguments, loads the main nib it is handed into the shared application, calls
// finishLaunching, runs the test backend's virtual loop until idle (a test has no
// further events; the loop stands for "until terminated") and returns 0. The test
// backend must be installed (a TestPlatform alive) when it is called.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/appkit.h"

namespace platform::testing {

// Makes a fresh NSApplication the shared one while it lives; restores the previous
// one after.
class TestApplication {
 public:
  TestApplication()
      : application(std::make_shared<NSApplication>()), previous_(NSApplication::setSharedApplication(application)) {}
  ~TestApplication() { NSApplication::setSharedApplication(std::move(previous_)); }
  TestApplication(const TestApplication&) = delete;
  TestApplication& operator=(const TestApplication&) = delete;

  NSApplication* operator->() const { return application.get(); }
  NSApplication& operator*() const { return *application; }

  std::shared_ptr<NSApplication> application;

 private:
  std::shared_ptr<NSApplication> previous_;
};

// One call of the test NSApplicationMain: the count and vector as passed, and the
// strings the vector held then.
struct ApplicationMainCall {
  int argc = 0;
  char** argv = nullptr;
  std::vector<std::string> arguments;
};

// Every call of the test NSApplicationMain in this process, in order.
std::vector<ApplicationMainCall>& applicationMainCalls();

}  // namespace platform::testing
