// The application shell on the test backend: a fresh shared application, the call
// record, and the plug-in registration log cleared for each test.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/app_delegate.h"
#include "app/main_flutter_window.h"
#include "app/plugins/registration_log.h"
#include "platform/appkit.h"
#include "platform/flutter_view_controller.h"
#include "platform/testing/test_appkit.h"
#include "platform/testing/test_platform.h"
#include "vpn_bridge/vpn_plugin.h"

namespace veltrino_test {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using platform::NSMakeRect;
using platform::NSRect;

// The plug-in table: registrar key (= class), library, calling form.
struct PluginRow {
  const char* key;
  const char* library;
  app::plugins::RegistrationCall call;
};

inline const std::vector<PluginRow>& pluginTable() {
  using enum app::plugins::RegistrationCall;
  static const std::vector<PluginRow> rows = {
      {"DeviceInfoPlusMacosPlugin", "device_info_plus", registerWith},
      {"InAppPurchasePlugin", "in_app_purchase_storekit", registerWithRegistrar},
      {"FLTPackageInfoPlusPlugin", "package_info_plus", registerWithRegistrar},
      {"PathProviderPlugin", "path_provider_foundation", registerWith},
      {"SharePlusMacosPlugin", "share_plus_macos", registerWith},
      {"SharedPreferencesPlugin", "shared_preferences_foundation", registerWith},
      {"SqflitePlugin", "sqflite", registerWithRegistrar},
      {"SystemTrayPlugin", "system_tray", registerWith},
      {"UrlLauncherPlugin", "url_launcher_macos", registerWith},
      {"WindowSizePlugin", "window_size", registerWith},
  };
  return rows;
}

class AppShellTest : public ::testing::Test {
 protected:
  AppShellTest() {
    tp.bundle.info = platform::PlistDictionary{{"HelperCFBundleShortVersionString", std::string("1.4")},
                                               {"HelperCFBundleVersion", std::string("140")}};
    tp.bundle.frameworksPath = "/Applications/Veltrino.app/Contents/Frameworks";
    app::plugins::clearRegistrationLog();
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
  platform::testing::CallLog log;
};

}  // namespace veltrino_test
