// Stand-in for the Flutter plug-in library package_info_plus: its plug-in class, registered
// through the Objective-C class method registerWithRegistrar:. It only records its registration.
#pragma once

#include "app/plugins/registration_log.h"
#include "platform/flutter.h"

namespace package_info_plus {

class FLTPackageInfoPlusPlugin {
 public:
  static void registerWithRegistrar(platform::FlutterPluginRegistrar& registrar) {
    app::plugins::recordRegistration("FLTPackageInfoPlusPlugin", "package_info_plus",
                                     app::plugins::RegistrationCall::registerWithRegistrar, registrar);
  }
};

}  // namespace package_info_plus
