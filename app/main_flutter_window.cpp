#include "app/main_flutter_window.h"

#include "app/generated_plugin_registrant.h"
#include "platform/flutter_view_controller.h"
#include "vpn_bridge/vpn_plugin.h"

namespace app {

void MainFlutterWindow::awakeFromNib() {
  // 1. The Flutter view controller, plain init.
  auto flutterViewController = platform::FlutterViewController::init();
  // 2. The frame the main nib gave the window.
  const platform::NSRect windowFrame = frame();
  // 3. The controller becomes the content view controller (which resizes the window).
  setContentViewController(flutterViewController);
  // 4. The frame of step 2 again, displayed.
  setFrame(windowFrame, true);
  // 5. The ten plug-ins, with the controller as the registry.
  registerFlutterPlugins(*flutterViewController);
  // 6. VPNPlugin, under its channel name, which doubles as its registrar key.
  vpn_bridge::VPNPlugin::registerWithRegistrar(*flutterViewController->registrarForPlugin(vpn_bridge::kChannelName));
  // The window is now the controller's only owner.
  flutterViewController.reset();
  // 7. The base awakeFromNib, last.
  NSWindow::awakeFromNib();
}

MainFlutterWindow::MainFlutterWindow(const platform::NSRect& contentRect, platform::NSWindowStyleMask style,
                                     platform::NSBackingStoreType backing, bool defer)
    : NSWindow(contentRect, style, backing, defer) {}

}  // namespace app
