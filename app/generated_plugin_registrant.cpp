#include "app/generated_plugin_registrant.h"

#include "app/plugins/device_info_plus.h"
#include "app/plugins/in_app_purchase_storekit.h"
#include "app/plugins/package_info_plus.h"
#include "app/plugins/path_provider_foundation.h"
#include "app/plugins/share_plus_macos.h"
#include "app/plugins/shared_preferences_foundation.h"
#include "app/plugins/sqflite.h"
#include "app/plugins/system_tray.h"
#include "app/plugins/url_launcher_macos.h"
#include "app/plugins/window_size.h"

namespace app {

void registerFlutterPlugins(platform::FlutterPluginRegistry& registry) {
  // Each registrar lives only for its own statement: asked for, handed over, released.
  device_info_plus::DeviceInfoPlusMacosPlugin::registerWith(*registry.registrarForPlugin("DeviceInfoPlusMacosPlugin"));
  in_app_purchase_storekit::InAppPurchasePlugin::registerWithRegistrar(
      *registry.registrarForPlugin("InAppPurchasePlugin"));
  package_info_plus::FLTPackageInfoPlusPlugin::registerWithRegistrar(
      *registry.registrarForPlugin("FLTPackageInfoPlusPlugin"));
  path_provider_foundation::PathProviderPlugin::registerWith(*registry.registrarForPlugin("PathProviderPlugin"));
  share_plus_macos::SharePlusMacosPlugin::registerWith(*registry.registrarForPlugin("SharePlusMacosPlugin"));
  shared_preferences_foundation::SharedPreferencesPlugin::registerWith(
      *registry.registrarForPlugin("SharedPreferencesPlugin"));
  sqflite::SqflitePlugin::registerWithRegistrar(*registry.registrarForPlugin("SqflitePlugin"));
  system_tray::SystemTrayPlugin::registerWith(*registry.registrarForPlugin("SystemTrayPlugin"));
  url_launcher_macos::UrlLauncherPlugin::registerWith(*registry.registrarForPlugin("UrlLauncherPlugin"));
  window_size::WindowSizePlugin::registerWith(*registry.registrarForPlugin("WindowSizePlugin"));
}

}  // namespace app
