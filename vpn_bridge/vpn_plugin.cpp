#include "vpn_bridge/vpn_plugin.h"

namespace vpn_bridge {
namespace {

constexpr const char* kDylibName = "/core.dylib";

std::string dylibPath() {
  return platform::NSBundle::mainBundle().privateFrameworksPath().value_or("") + kDylibName;
}

}  // namespace

VPNPlugin::VPNPlugin(InitToken) : xpcService(), remote(), hasUpdate(), dylib(dylibPath()) {}

std::shared_ptr<VPNPlugin> VPNPlugin::init() { return std::make_shared<VPNPlugin>(InitToken{}); }

void VPNPlugin::registerWithRegistrar(platform::FlutterPluginRegistrar& registrar) {
  auto messenger = registrar.messenger();
  auto channel = platform::FlutterMethodChannel::methodChannelWithName(kChannelName, messenger);
  auto instance = init();
  registrar.addMethodCallDelegate(instance, channel);
}

void VPNPlugin::linkConnectionInvalidated(const platform::NSXPCConnection* connection) {
  auto* proxy = dynamic_cast<helper_link::HelperProxy*>(remote.get());
  if (proxy != nullptr && proxy->connection() == connection) remote.reset();
}

}  // namespace vpn_bridge
