// The application shell on the test backend: a fresh shared application for each
// test, and the plug-in table.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/app_delegate.h"
#include "app/main_flutter_window.h"
#include "app/plugins/stand_ins.h"
#include "platform/appkit.h"
#include "platform/flutter_view_controller.h"
#include "platform/testing/test_appkit.h"
#include "platform/testing/test_platform.h"
#include "vpn_bridge/vpn_plugin.h"

namespace veltrino_test {

using ::testing::ElementsAre;
using platform::NSMakeRect;

// The plug-in table: the registrar key (the class name) and that class's registrations.
struct PluginRow {
  const char* key;
  const app::plugins::Registrations& (*registrations)();
};

inline const std::vector<PluginRow>& pluginTable() {
  static const std::vector<PluginRow> rows = {
      {"DeviceInfoPlusMacosPlugin", &device_info_plus::DeviceInfoPlusMacosPlugin::registrations},
      {"InAppPurchasePlugin", &in_app_purchase_storekit::InAppPurchasePlugin::registrations},
      {"FLTPackageInfoPlusPlugin", &package_info_plus::FLTPackageInfoPlusPlugin::registrations},
      {"PathProviderPlugin", &path_provider_foundation::PathProviderPlugin::registrations},
      {"SharePlusMacosPlugin", &share_plus_macos::SharePlusMacosPlugin::registrations},
      {"SharedPreferencesPlugin", &shared_preferences_foundation::SharedPreferencesPlugin::registrations},
      {"SqflitePlugin", &sqflite::SqflitePlugin::registrations},
      {"SystemTrayPlugin", &system_tray::SystemTrayPlugin::registrations},
      {"UrlLauncherPlugin", &url_launcher_macos::UrlLauncherPlugin::registrations},
      {"WindowSizePlugin", &window_size::WindowSizePlugin::registrations},
  };
  return rows;
}

class AppShellTest : public ::testing::Test {
 protected:
  AppShellTest() {
    tp.bundle.info = platform::PlistDictionary{{"HelperCFBundleShortVersionString", std::string("1.4")},
                                               {"HelperCFBundleVersion", std::string("140")}};
    tp.bundle.frameworksPath = "/Applications/Veltrino.app/Contents/Frameworks";
    platform::testing::applicationMainCalls().clear();
  }

  // Sends "print" on VPNPlugin's channel and tells whether the plug-in answered it.
  bool vpnPluginAnswers(const std::string& message) {
    const auto call = tp.messenger->send(vpn_bridge::kChannelName, "print",
                                         platform::EncodableMap{{std::string("message"), message}});
    const auto& answers = tp.messenger->answers(call);
    return answers.size() == 1 && std::holds_alternative<std::nullptr_t>(answers[0].value) &&
           !tp.output.lines().empty() && tp.output.lines().back() == message;
  }

  // Declared in this order so that the application (and the VPNPlugin its window's
  // controller keeps) goes before the backend.
  platform::testing::TestPlatform tp;
  platform::testing::TestApplication application;
};

}  // namespace veltrino_test
