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

void VPNPlugin::helperInterrupted() {
  if (vpnOn && remote) accessThenReplay(remote);
}

void VPNPlugin::helperInvalidated(const std::shared_ptr<VLTHelperProtocol>& proxy) {
  if (remote != proxy) return;
  remote.reset();
  replayOwed = true;
}

}  // namespace vpn_bridge
