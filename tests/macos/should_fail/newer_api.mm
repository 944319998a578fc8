// Rejected: an API that macOS 11 lacks, called without an availability check. The
// same call under @available compiles.
#import <AppKit/AppKit.h>

void bringForward(NSApplication* application) {
  // expected-error@+1 {{'activate' is only available on macOS 14.0 or newer}}
  [application activate];
  if (@available(macOS 14.0, *)) {
    [application activate];
  } else {
    [application activateIgnoringOtherApps:YES];
  }
}
