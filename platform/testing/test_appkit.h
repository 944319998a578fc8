// Test helpers for the AppKit stand-ins: a call log, a fresh shared application per
// test, and what the test NSApplicationMain was called with.
//
// The test NSApplicationMain (application_main.cpp, in platform_testing) records its
// arguments, loads the main nib into the shared application, calls finishLaunching,
// runs the test backend's virtual loop until idle (a test has no further events; the
// loop stands for "until terminated") and returns 0. The test backend must be
// installed (a TestPlatform alive) when it is called.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/appkit.h"

namespace platform::testing {

// Collects the call record while it lives; restores the previous recorder after.
class CallLog final : public CallRecorder {
 public:
  CallLog() : previous_(installCallRecorder(this)) {}
  ~CallLog() override { installCallRecorder(previous_); }
  CallLog(const CallLog&) = delete;
  CallLog& operator=(const CallLog&) = delete;

  void record(std::string line) override { entries_.push_back(std::move(line)); }
  const std::vector<std::string>& entries() const { return entries_; }
  void clear() { entries_.clear(); }

 private:
  CallRecorder* previous_;
  std::vector<std::string> entries_;
};

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
