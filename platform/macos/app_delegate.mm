// The application delegate that MainMenu.xib names: AppKit's callbacks, answered by
// the portable rules of app/reopen.h over the real application and its windows.
#import <AppKit/AppKit.h>

#include <vector>

#include "app/reopen.h"
#include "platform/macos/flutter_macos.h"

namespace {

// NSApp, in the shape that app::reopenWindows walks.
struct Application {
  struct Window {
    NSWindow* window;
    const Window* operator->() const { return this; }
    bool isVisible() const { return window.visible != NO; }
    void setIsVisible(bool visible) const { [window setIsVisible:visible ? YES : NO]; }
    void makeKeyAndOrderFront(id sender) const { [window makeKeyAndOrderFront:sender]; }
  };

  std::vector<Window> windows() const {
    std::vector<Window> list;
    for (NSWindow* window in NSApp.windows) list.push_back(Window{window});
    return list;
  }
  void activateIgnoringOtherApps(bool flag) const { [NSApp activateIgnoringOtherApps:flag ? YES : NO]; }
};

}  // namespace

@interface AppDelegate : FlutterAppDelegate
@end

@implementation AppDelegate

- (BOOL)applicationShouldTerminateAfterLastWindowClosed:(NSApplication*)sender {
  return app::kTerminateAfterLastWindowClosed ? YES : NO;
}

- (BOOL)applicationShouldHandleReopen:(NSApplication*)sender hasVisibleWindows:(BOOL)flag {
  Application application;
  return app::reopenWindows(application, flag != NO, self) ? YES : NO;
}

// Window state is restored only in its secure form, as current Flutter runners
// declare; without it macOS 14 warns at every launch. (Asked from macOS 12 on.)
- (BOOL)applicationSupportsSecureRestorableState:(NSApplication*)app {
  return YES;
}

@end
