#include "app/app_delegate.h"

#include "app/reopen.h"

namespace app {

using platform::NSApp;
using platform::NSApplication;

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed(NSApplication& /*sender*/) {
  return kTerminateAfterLastWindowClosed;
}

bool AppDelegate::applicationShouldHandleReopen(NSApplication& /*sender*/, bool hasVisibleWindows) {
  return reopenWindows(NSApp(), hasVisibleWindows, this);
}

AppDelegate::AppDelegate() : FlutterAppDelegate() {}

}  // namespace app
