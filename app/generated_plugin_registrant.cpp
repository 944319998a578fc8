#include "app/generated_plugin_registrant.h"

#include "app/plugins/stand_ins.h"

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
