// The process entry of the Flutter macOS runner: the backend first, then AppKit, which
// loads the runner's MainMenu.xib (AppDelegate, MainFlutterWindow) and runs the main
// run loop, and with it GCD's main queue, for the life of the process.
#import <AppKit/AppKit.h>

#include "platform/macos/cocoa.h"

int main(int argc, const char* argv[]) {
  macos_backend::install();
  return NSApplicationMain(argc, argv);
}
