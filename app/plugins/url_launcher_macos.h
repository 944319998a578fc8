// Stand-in for the Flutter plug-in library url_launcher_macos: its plug-in class, registered
// through the Swift class operation register(with:). It only records its registration.
#pragma once

#include "app/plugins/registration_log.h"
#include "platform/flutter.h"

namespace url_launcher_macos {

class UrlLauncherPlugin {
 public:
  static void registerWith(platform::FlutterPluginRegistrar& registrar) {
    app::plugins::recordRegistration("UrlLauncherPlugin", "url_launcher_macos",
                                     app::plugins::RegistrationCall::registerWith, registrar);
  }
};

}  // namespace url_launcher_macos
