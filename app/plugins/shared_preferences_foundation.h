// Stand-in for the Flutter plug-in library shared_preferences_foundation: its plug-in class, registered
// through the Swift class operation register(with:). It only records its registration.
#pragma once

#include "app/plugins/registration_log.h"
#include "platform/flutter.h"

namespace shared_preferences_foundation {

class SharedPreferencesPlugin {
 public:
  static void registerWith(platform::FlutterPluginRegistrar& registrar) {
    app::plugins::recordRegistration("SharedPreferencesPlugin", "shared_preferences_foundation",
                                     app::plugins::RegistrationCall::registerWith, registrar);
  }
};

}  // namespace shared_preferences_foundation
