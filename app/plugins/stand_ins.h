// Stand-ins for the ten Flutter plug-in libraries that the interface uses. Each
// library's plug-in class offers the one registration form the real class has, the
// Objective-C class method registerWithRegistrar: or the Swift class operation
// register(with:). The libraries are not on this machine and the shell only ever
// registers them, so being registered is all a stand-in does: it keeps how often,
// and with which registrar.
#pragma once

#include "platform/flutter.h"

namespace app::plugins {

// A plug-in class's registrations, kept for the life of the process as a loaded
// library keeps its class's state.
struct Registrations {
  int count = 0;
  // The registrar of the latest registration; identity only, the stand-in keeps no
  // reference (a real plug-in keeps what the registrar gave it, not the registrar).
  const platform::FlutterPluginRegistrar* latest = nullptr;
};

template <typename Plugin>
class StandIn {
 public:
  static const Registrations& registrations() { return state(); }

 protected:
  static void registered(const platform::FlutterPluginRegistrar& registrar) {
    ++state().count;
    state().latest = &registrar;
  }

 private:
  static Registrations& state() {
    static Registrations registrations;
    return registrations;
  }
};

template <typename Plugin>
struct RegistersWithRegistrar : StandIn<Plugin> {
  static void registerWithRegistrar(platform::FlutterPluginRegistrar& registrar) {
    StandIn<Plugin>::registered(registrar);
  }
};

template <typename Plugin>
struct RegistersWith : StandIn<Plugin> {
  static void registerWith(platform::FlutterPluginRegistrar& registrar) { StandIn<Plugin>::registered(registrar); }
};

}  // namespace app::plugins

namespace device_info_plus {
struct DeviceInfoPlusMacosPlugin : app::plugins::RegistersWith<DeviceInfoPlusMacosPlugin> {};
}  // namespace device_info_plus

namespace in_app_purchase_storekit {
struct InAppPurchasePlugin : app::plugins::RegistersWithRegistrar<InAppPurchasePlugin> {};
}  // namespace in_app_purchase_storekit

namespace package_info_plus {
struct FLTPackageInfoPlusPlugin : app::plugins::RegistersWithRegistrar<FLTPackageInfoPlusPlugin> {};
}  // namespace package_info_plus

namespace path_provider_foundation {
struct PathProviderPlugin : app::plugins::RegistersWith<PathProviderPlugin> {};
}  // namespace path_provider_foundation

namespace share_plus_macos {
struct SharePlusMacosPlugin : app::plugins::RegistersWith<SharePlusMacosPlugin> {};
}  // namespace share_plus_macos

namespace shared_preferences_foundation {
struct SharedPreferencesPlugin : app::plugins::RegistersWith<SharedPreferencesPlugin> {};
}  // namespace shared_preferences_foundation

namespace sqflite {
struct SqflitePlugin : app::plugins::RegistersWithRegistrar<SqflitePlugin> {};
}  // namespace sqflite

namespace system_tray {
struct SystemTrayPlugin : app::plugins::RegistersWith<SystemTrayPlugin> {};
}  // namespace system_tray

namespace url_launcher_macos {
struct UrlLauncherPlugin : app::plugins::RegistersWith<UrlLauncherPlugin> {};
}  // namespace url_launcher_macos

namespace window_size {
struct WindowSizePlugin : app::plugins::RegistersWith<WindowSizePlugin> {};
}  // namespace window_size
