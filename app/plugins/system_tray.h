// Stand-in for the Flutter plug-in library system_tray: its plug-in class, registered
// through the Swift class operation register(with:). It only records its registration.
#pragma once

#include "app/plugins/registration_log.h"
#include "platform/flutter.h"

namespace system_tray {

class SystemTrayPlugin {
 public:
  static void registerWith(platform::FlutterPluginRegistrar& registrar) {
    app::plugins::recordRegistration("SystemTrayPlugin", "system_tray", app::plugins::RegistrationCall::registerWith,
                                     registrar);
  }
};

}  // namespace system_tray
