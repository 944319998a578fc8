#include "app/app_delegate.h"

namespace app {

using platform::NSApp;
using platform::NSApplication;

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed(NSApplication& /*sender*/) { return false; }

bool AppDelegate::applicationShouldHandleReopen(NSApplication& /*sender*/, bool hasVisibleWindows) {
  if (hasVisibleWindows) return true;
  for (const auto& window : NSApp().windows()) {
    if (!window->isVisible()) window->setIsVisible(true);
    window->makeKeyAndOrderFront(this);
    NSApp().activateIgnoringOtherApps(true);
  }
  return true;
}

AppDelegate::AppDelegate() : FlutterAppDelegate() {}

}  // namespace app
