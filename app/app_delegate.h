// The application delegate. It keeps the process running when the last
// window closes, and shows every window again when the user reopens the application
// while none is visible.
#pragma once

#include "platform/flutter_view_controller.h"

namespace app {

class AppDelegate final : public platform::FlutterAppDelegate {
 public:
  // Always NO: the process, the Flutter engine and VPNPlugin outlive the window.
  bool applicationShouldTerminateAfterLastWindowClosed(platform::NSApplication& sender) override;
  // With the flag YES: YES, touching nothing. Otherwise walks NSApp's window list from
  // first to last: shows a hidden window, makes it key and front with this delegate as
  // the sender, and activates the application, once per window. Always YES.
  bool applicationShouldHandleReopen(platform::NSApplication& sender, bool hasVisibleWindows) override;
  // init: only the base initializer.
  AppDelegate();
};

}  // namespace app
