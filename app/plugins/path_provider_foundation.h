// Stand-in for the Flutter plug-in library path_provider_foundation: its plug-in class, registered
// through the Swift class operation register(with:). It only records its registration.
#pragma once

#include "app/plugins/registration_log.h"
#include "platform/flutter.h"

namespace path_provider_foundation {

class PathProviderPlugin {
 public:
  static void registerWith(platform::FlutterPluginRegistrar& registrar) {
    app::plugins::recordRegistration("PathProviderPlugin", "path_provider_foundation",
                                     app::plugins::RegistrationCall::registerWith, registrar);
  }
};

}  // namespace path_provider_foundation
