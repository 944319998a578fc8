// The stand-ins of the ten Flutter plug-in libraries do one thing: record
// their registration. The libraries themselves are not on this machine, and the shell
// only ever registers them.
//
// Every registration lands in one process-wide log, in order, and is also written to
// the platform's call record ("<PluginClass> registerWithRegistrar:" or
// "<PluginClass> register(with:)").
#pragma once

#include <string>
#include <vector>

#include "platform/flutter.h"

namespace app::plugins {

// The two calling forms of the Flutter plug-in registration: the Objective-C class
// method registerWithRegistrar: and the Swift class operation register(with:). A
// stand-in class offers the one form its library has, as the real class does:
//   registerWithRegistrar:  ->  static void registerWithRegistrar(FlutterPluginRegistrar&)
//   register(with:)         ->  static void registerWith(FlutterPluginRegistrar&)
enum class RegistrationCall { registerWithRegistrar, registerWith };

// "registerWithRegistrar:" or "register(with:)".
const char* registrationCallName(RegistrationCall call);

struct PluginRegistration {
  std::string pluginClass;
  std::string library;
  RegistrationCall call;
  // The registrar the class was handed; for identity only (the log keeps no reference).
  const platform::FlutterPluginRegistrar* registrar;
};

const std::vector<PluginRegistration>& registrationLog();
void clearRegistrationLog();

void recordRegistration(const char* pluginClass, const char* library, RegistrationCall call,
                        const platform::FlutterPluginRegistrar& registrar);

}  // namespace app::plugins
