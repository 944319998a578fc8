// Bringing a new or restarted helper up to date, and the reaction to a helper update.
#include <chrono>

#include "helper_link/xpc_error.h"
#include "platform/dispatch.h"
#include "platform/output.h"
#include "vpn_bridge/vpn_plugin.h"

namespace vpn_bridge {
namespace {

using namespace std::chrono_literals;

constexpr const char* kReplayIpv6Enable = "off";
constexpr const char* kReplayForceState = "on";
constexpr const char* kReplayTlsMode = "0";
constexpr const char* kReconnectFailed = "New XPC connection after update error. ";
constexpr std::chrono::seconds kReconnectDelay = 2s;

}  // namespace

void VPNPlugin::replaySession(bool accessOk, std::shared_ptr<VLTHelperProtocol> proxy) {
  if (!accessOk || !proxy) return;
  if (!app || !uid || !token || !device || !version || !ip || !port || !hive) return;
  auto ignore = [] {};
  proxy->setToken(dylib, *app, *uid, *token, *device, *version, ignore);
  proxy->setHive(dylib, *ip, *port, *hive, ipv6Enable.value_or(kReplayIpv6Enable), ignore);
  proxy->setForce(dylib, state.value_or(kReplayForceState), ignore);
  if (rules) proxy->setRule(dylib, *rules, ignore);
  // An "off" that came while the access was on its way wins: the settings go to the
  // helper, but the tunnel is not turned on against the user.
  if (vpnOn) proxy->iosOn(dylib, tlsMode.value_or(kReplayTlsMode), ignore);
}

void VPNPlugin::accessThenReplay(std::shared_ptr<VLTHelperProtocol> proxy) {
  if (!proxy) return;
  std::weak_ptr<VPNPlugin> weakSelf = shared_from_this();
  std::weak_ptr<VLTHelperProtocol> weakProxy = proxy;
  // The reply holds the proxy weakly: a helper that never answers must not keep its
  // own connection alive.
  proxy->access(dylib, [weakSelf, weakProxy](bool success, std::string, std::string) {
    platform::mainQueue().async([weakSelf, weakProxy, success] {
      auto self = weakSelf.lock();
      auto target = weakProxy.lock();
      if (self && target) self->replaySession(success, std::move(target));
    });
  });
}

void VPNPlugin::applyUpdateResult(std::optional<bool> outcome) {
  hasUpdate = outcome;
  if (outcome != true || !remote) return;
  remote->exitHelper();
  remote.reset();
  std::weak_ptr<VPNPlugin> weak = shared_from_this();
  platform::mainQueue().asyncAfter(kReconnectDelay, [weak] {
    if (auto self = weak.lock()) self->reconnectAfterUpdate();
  });
}

void VPNPlugin::reconnectAfterUpdate() {
  if (!vpnOn) return;
  // The new helper gets this one replay, whatever the connection before it owed.
  replayOwed = false;
  if (!remote) {
    try {
      remote = xpcService.connectHelper(shared_from_this());
    } catch (const helper_link::XPCError& error) {
      platform::print(kReconnectFailed, error.localizedDescription());
      return;
    }
  }
  accessThenReplay(remote);
}

}  // namespace vpn_bridge
