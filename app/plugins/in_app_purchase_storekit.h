// Stand-in for the Flutter plug-in library in_app_purchase_storekit: its plug-in class, registered
// through the Objective-C class method registerWithRegistrar:. It only records its registration.
#pragma once

#include "app/plugins/registration_log.h"
#include "platform/flutter.h"

namespace in_app_purchase_storekit {

class InAppPurchasePlugin {
 public:
  static void registerWithRegistrar(platform::FlutterPluginRegistrar& registrar) {
    app::plugins::recordRegistration("InAppPurchasePlugin", "in_app_purchase_storekit",
                                     app::plugins::RegistrationCall::registerWithRegistrar, registrar);
  }
};

}  // namespace in_app_purchase_storekit
