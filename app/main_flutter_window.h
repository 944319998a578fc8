// The main window. It puts the Flutter view into itself, keeping the frame
// that the main nib gave it, and registers the Flutter plug-ins, then VPNPlugin.
#pragma once

#include "platform/appkit.h"

namespace app {

class MainFlutterWindow final : public platform::NSWindow {
 public:
  // The window set-up, in seven steps; see main_flutter_window.cpp.
  void awakeFromNib() override;
  // initWithContentRect:styleMask:backing:defer: hands its arguments to the base
  // initializer unchanged: no style bits and no geometry of its own.
  MainFlutterWindow(const platform::NSRect& contentRect, platform::NSWindowStyleMask style,
                    platform::NSBackingStoreType backing, bool defer);
};

}  // namespace app
