// Stand-ins for the ten Flutter plug-in libraries that the interface uses. Each
// library's plug-in class offers the one registration form the real class has, the
// Objective-C class method registerWithRegistrar: or the Swift class operation
// register(with:), and only records that it was registered: the libraries are not on
// this machine, and the shell only ever registers them.
#pragma once

#include "app/plugins/registration_log.h"
#include "platform/flutter.h"

namespace app::plugins {

template <typename Plugin>
struct RegistersWithRegistrar {
  static void registerWithRegistrar(platform::FlutterPluginRegistrar& registrar) {
    recordRegistration(Plugin::kClassName, Plugin::kLibrary, RegistrationCall::registerWithRegistrar, registrar);
  }
};

template <typename Plugin>
struct RegistersWith {
  static void registerWith(platform::FlutterPluginRegistrar& registrar) {
    recordRegistration(Plugin::kClassName, Plugin::kLibrary, RegistrationCall::registerWith, registrar);
  }
};

}  // namespace app::plugins

namespace device_info_plus {
struct DeviceInfoPlusMacosPlugin : app::plugins::RegistersWith<DeviceInfoPlusMacosPlugin> {
  static constexpr const char* kClassName = "DeviceInfoPlusMacosPlugin";
  static constexpr const char* kLibrary = "device_info_plus";
};
}  // namespace device_info_plus

namespace in_app_purchase_storekit {
struct InAppPurchasePlugin : app::plugins::RegistersWithRegistrar<InAppPurchasePlugin> {
  static constexpr const char* kClassName = "InAppPurchasePlugin";
  static constexpr const char* kLibrary = "in_app_purchase_storekit";
};
}  // namespace in_app_purchase_storekit

namespace package_info_plus {
struct FLTPackageInfoPlusPlugin : app::plugins::RegistersWithRegistrar<FLTPackageInfoPlusPlugin> {
  static constexpr const char* kClassName = "FLTPackageInfoPlusPlugin";
  static constexpr const char* kLibrary = "package_info_plus";
};
}  // namespace package_info_plus

namespace path_provider_foundation {
struct PathProviderPlugin : app::plugins::RegistersWith<PathProviderPlugin> {
  static constexpr const char* kClassName = "PathProviderPlugin";
  static constexpr const char* kLibrary = "path_provider_foundation";
};
}  // namespace path_provider_foundation

namespace share_plus_macos {
struct SharePlusMacosPlugin : app::plugins::RegistersWith<SharePlusMacosPlugin> {
  static constexpr const char* kClassName = "SharePlusMacosPlugin";
  static constexpr const char* kLibrary = "share_plus_macos";
};
}  // namespace share_plus_macos

namespace shared_preferences_foundation {
struct SharedPreferencesPlugin : app::plugins::RegistersWith<SharedPreferencesPlugin> {
  static constexpr const char* kClassName = "SharedPreferencesPlugin";
  static constexpr const char* kLibrary = "shared_preferences_foundation";
};
}  // namespace shared_preferences_foundation

namespace sqflite {
struct SqflitePlugin : app::plugins::RegistersWithRegistrar<SqflitePlugin> {
  static constexpr const char* kClassName = "SqflitePlugin";
  static constexpr const char* kLibrary = "sqflite";
};
}  // namespace sqflite

namespace system_tray {
struct SystemTrayPlugin : app::plugins::RegistersWith<SystemTrayPlugin> {
  static constexpr const char* kClassName = "SystemTrayPlugin";
  static constexpr const char* kLibrary = "system_tray";
};
}  // namespace system_tray

namespace url_launcher_macos {
struct UrlLauncherPlugin : app::plugins::RegistersWith<UrlLauncherPlugin> {
  static constexpr const char* kClassName = "UrlLauncherPlugin";
  static constexpr const char* kLibrary = "url_launcher_macos";
};
}  // namespace url_launcher_macos

namespace window_size {
struct WindowSizePlugin : app::plugins::RegistersWith<WindowSizePlugin> {
  static constexpr const char* kClassName = "WindowSizePlugin";
  static constexpr const char* kLibrary = "window_size";
};
}  // namespace window_size
