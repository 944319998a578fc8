#include "vpn_bridge/vpn_plugin.h"

namespace vpn_bridge {

// Placeholders until the commands reach the helper.
void VPNPlugin::access(FlutterResult result) { result(platform::FlutterMethodNotImplemented); }
void VPNPlugin::getTunnelVersion(FlutterResult result) { result(platform::FlutterMethodNotImplemented); }
void VPNPlugin::iosOn(FlutterResult result) { result(platform::FlutterMethodNotImplemented); }
void VPNPlugin::iosOff(FlutterResult result) { result(platform::FlutterMethodNotImplemented); }
void VPNPlugin::setHive(FlutterResult result) { result(platform::FlutterMethodNotImplemented); }
void VPNPlugin::setToken(FlutterResult result) { result(platform::FlutterMethodNotImplemented); }
void VPNPlugin::setForce(FlutterResult result) { result(platform::FlutterMethodNotImplemented); }
void VPNPlugin::setRule(FlutterResult result) { result(platform::FlutterMethodNotImplemented); }
void VPNPlugin::applyUpdateResult(std::optional<bool>) {}
void VPNPlugin::reconnectAfterUpdate() {}
void VPNPlugin::replaySession(bool, std::shared_ptr<VLTHelperProtocol>) {}

}  // namespace vpn_bridge
