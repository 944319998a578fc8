// The window that MainMenu.xib names: the steps of app::MainFlutterWindow::awakeFromNib
// on AppKit's and the embedding's objects. The ten plug-ins are the real ones, which
// the Flutter project's generated registrant registers in the order app/ uses; then
// VPNPlugin, portable, on its registrar's messenger.
#import <AppKit/AppKit.h>

#include <memory>

#include "platform/macos/cocoa.h"
#include "platform/macos/flutter_macos.h"
#include "vpn_bridge/vpn_plugin.h"

// RegisterGeneratedPlugins(registry:) of the generated GeneratedPluginRegistrant.swift,
// under a C name that the runner's VLTPluginRegistrant.swift gives it (README,
// "Building on a Mac").
extern "C" void VLTRegisterGeneratedPlugins(id<FlutterPluginRegistry> registry);

@interface MainFlutterWindow : NSWindow
@end

@implementation MainFlutterWindow {
  // Keeps VPNPlugin for the life of the window, which is the life of the process: the
  // window is not released when closed.
  std::shared_ptr<platform::FlutterPluginRegistrar> _vpnRegistrar;
}

- (void)awakeFromNib {
  // 1. The Flutter view controller, plain init.
  FlutterViewController* flutterViewController = [[FlutterViewController alloc] init];
  // 2. The frame the nib gave the window.
  const NSRect windowFrame = self.frame;
  // 3. The controller becomes the content view controller (which resizes the window).
  self.contentViewController = flutterViewController;
  // 4. The frame of step 2 again, displayed.
  [self setFrame:windowFrame display:YES];
  // 5. The ten plug-ins, with the controller as the registry.
  VLTRegisterGeneratedPlugins(flutterViewController);
  // 6. VPNPlugin, under its channel name, which doubles as its registrar key.
  _vpnRegistrar =
      macos_backend::portableRegistrar([flutterViewController registrarForPlugin:@(vpn_bridge::kChannelName)]);
  vpn_bridge::VPNPlugin::registerWithRegistrar(*_vpnRegistrar);
  // 7. The base awakeFromNib, last.
  [super awakeFromNib];
}

@end
