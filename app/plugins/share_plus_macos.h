// Stand-in for the Flutter plug-in library share_plus_macos: its plug-in class, registered
// through the Swift class operation register(with:). It only records its registration.
#pragma once

#include "app/plugins/registration_log.h"
#include "platform/flutter.h"

namespace share_plus_macos {

class SharePlusMacosPlugin {
 public:
  static void registerWith(platform::FlutterPluginRegistrar& registrar) {
    app::plugins::recordRegistration("SharePlusMacosPlugin", "share_plus_macos",
                                     app::plugins::RegistrationCall::registerWith, registrar);
  }
};

}  // namespace share_plus_macos
