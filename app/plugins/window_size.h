// Stand-in for the Flutter plug-in library window_size: its plug-in class, registered
// through the Swift class operation register(with:). It only records its registration.
#pragma once

#include "app/plugins/registration_log.h"
#include "platform/flutter.h"

namespace window_size {

class WindowSizePlugin {
 public:
  static void registerWith(platform::FlutterPluginRegistrar& registrar) {
    app::plugins::recordRegistration("WindowSizePlugin", "window_size", app::plugins::RegistrationCall::registerWith,
                                     registrar);
  }
};

}  // namespace window_size
