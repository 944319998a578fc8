#include "app/plugins/registration_log.h"

#include "platform/appkit.h"

namespace app::plugins {
namespace {

std::vector<PluginRegistration>& log() {
  static std::vector<PluginRegistration> registrations;
  return registrations;
}

}  // namespace

const char* registrationCallName(RegistrationCall call) {
  return call == RegistrationCall::registerWithRegistrar ? "registerWithRegistrar:" : "register(with:)";
}

const std::vector<PluginRegistration>& registrationLog() { return log(); }

void clearRegistrationLog() { log().clear(); }

void recordRegistration(const char* pluginClass, const char* library, RegistrationCall call,
                        const platform::FlutterPluginRegistrar& registrar) {
  log().push_back(PluginRegistration{pluginClass, library, call, &registrar});
  platform::recordCall(std::string(pluginClass) + " " + registrationCallName(call));
}

}  // namespace app::plugins
