// A check of the real entry: app/main.cpp, unchanged, linked with the test backend's
// NSApplicationMain and the shell. The test backend is installed before main runs;
// once main has returned, this checks what NSApplicationMain got and what start-up
// built, and fails the process if anything is off. ctest passes the arguments.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/app_delegate.h"
#include "app/main_flutter_window.h"
#include "platform/testing/test_appkit.h"
#include "platform/testing/test_platform.h"
#include "vpn_bridge/vpn_plugin.h"

namespace {

// The arguments of this process, from the kernel.
std::vector<std::string> commandLine() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  std::string::size_type start = 0;
  while (start < all.size()) {
    auto end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    args.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return args;
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "app_main_smoke: FAILED: %s\n", what);
    std::_Exit(1);
  }
}

struct Smoke {
  Smoke() {
    tp.bundle.info = platform::PlistDictionary{{"HelperCFBundleShortVersionString", std::string("1.4")},
                                               {"HelperCFBundleVersion", std::string("140")}};
    // Make the shared application (and the record of calls) before main runs, so that
    // both outlive this object's check.
    application = std::make_shared<platform::NSApplication>();
    previous = platform::NSApplication::setSharedApplication(application);
    platform::testing::applicationMainCalls().clear();
  }
  ~Smoke() {
    const auto& calls = platform::testing::applicationMainCalls();
    check(calls.size() == 1, "NSApplicationMain called once");
    check(calls[0].arguments == commandLine(), "NSApplicationMain got the process's arguments");
    check(static_cast<std::size_t>(calls[0].argc) == commandLine().size(), "argc is the argument count");
    check(std::dynamic_pointer_cast<app::AppDelegate>(application->delegate()) != nullptr,
          "the delegate is AppDelegate");
    auto windows = application->windows();
    check(windows.size() == 1 && std::dynamic_pointer_cast<app::MainFlutterWindow>(windows[0]) != nullptr,
          "one MainFlutterWindow");
    check(windows[0]->awokeFromNib() && windows[0]->currentlyVisible(), "the window awoke and is shown");
    check(tp.messenger->hasHandler(vpn_bridge::kChannelName), "VPNPlugin handles its channel");
    std::printf("app_main_smoke: NSApplicationMain got %d arguments unchanged; 1 passed, 0 failed\n", calls[0].argc);
    std::fflush(stdout);
    windows.clear();
    platform::NSApplication::setSharedApplication(previous);
    application.reset();
  }

  platform::testing::TestPlatform tp;
  std::shared_ptr<platform::NSApplication> application;
  std::shared_ptr<platform::NSApplication> previous;
};

Smoke smoke;

}  // namespace
