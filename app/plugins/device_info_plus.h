// Stand-in for the Flutter plug-in library device_info_plus: its plug-in class, registered
// through the Swift class operation register(with:). It only records its registration.
#pragma once

#include "app/plugins/registration_log.h"
#include "platform/flutter.h"

namespace device_info_plus {

class DeviceInfoPlusMacosPlugin {
 public:
  static void registerWith(platform::FlutterPluginRegistrar& registrar) {
    app::plugins::recordRegistration("DeviceInfoPlusMacosPlugin", "device_info_plus",
                                     app::plugins::RegistrationCall::registerWith, registrar);
  }
};

}  // namespace device_info_plus
