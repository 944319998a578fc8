// The whole test backend in one object: a test fixture owns one, and it is the
// installed backend for the fixture's life.
#pragma once

#include <memory>
#include <string>

#include "platform/backend.h"
#include "platform/testing/fake_security.h"
#include "platform/testing/fake_services.h"
#include "platform/testing/fakes.h"
#include "platform/testing/virtual_loop.h"

namespace platform::testing {

class TestPlatform {
 public:
  TestPlatform();
  ~TestPlatform();
  TestPlatform(const TestPlatform&) = delete;
  TestPlatform& operator=(const TestPlatform&) = delete;

  void runUntilIdle() { loop.runUntilIdle(); }
  void advance(std::chrono::milliseconds by) { loop.advance(by); }

  // The app bundle carries helper |version| (|build|) in its Frameworks folder, and
  // blessing does what the system does: the helper file appears under
  // /Library/PrivilegedHelperTools and its job is registered, its next run that build.
  void bundleHelper(const std::string& version, const std::string& build);

  VirtualLoop loop;
  VirtualQueue mainQueue{loop, "main"};
  CapturedOutput output;
  TestBundle bundle;
  TestFileManager files;
  FakeSecurity security;
  FakeServiceNamespace services{loop};
  std::shared_ptr<TestMessenger> messenger;

 private:
  Backend backend();

  Backend previous_;
};

}  // namespace platform::testing
