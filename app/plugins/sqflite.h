// Stand-in for the Flutter plug-in library sqflite: its plug-in class, registered
// through the Objective-C class method registerWithRegistrar:. It only records its registration.
#pragma once

#include "app/plugins/registration_log.h"
#include "platform/flutter.h"

namespace sqflite {

class SqflitePlugin {
 public:
  static void registerWithRegistrar(platform::FlutterPluginRegistrar& registrar) {
    app::plugins::recordRegistration("SqflitePlugin", "sqflite", app::plugins::RegistrationCall::registerWithRegistrar,
                                     registrar);
  }
};

}  // namespace sqflite
