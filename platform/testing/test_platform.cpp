#include "platform/testing/test_platform.h"

namespace platform::testing {

Backend TestPlatform::backend() {
  Backend backend;
  backend.mainQueue = &mainQueue;
  backend.standardOutput = &output;
  backend.mainBundle = &bundle;
  backend.fileManager = &files;
  backend.security = &security;
  backend.xpc = &services;
  backend.flutterMessenger = messenger;
  return backend;
}

// previous_ is the last member: every part of the backend exists by then.
TestPlatform::TestPlatform()
    : messenger(std::make_shared<TestMessenger>(loop, mainQueue)), previous_(installBackend(backend())) {}

TestPlatform::~TestPlatform() { installBackend(previous_); }

void TestPlatform::bundleHelper(const std::string& version, const std::string& build) {
  bundle.info = PlistDictionary{{"HelperCFBundleShortVersionString", version}, {"HelperCFBundleVersion", build}};
  bundle.frameworksPath = "/Applications/Veltrino.app/Contents/Frameworks";
  security.onBlessed = [this, version, build](const std::string& label) {
    files.files.insert("/Library/PrivilegedHelperTools/" + label);
    services.registerHelper(label).installBuild(version, build);
  };
}

}  // namespace platform::testing
