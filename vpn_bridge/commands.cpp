// The eight commands: each obtains the helper and sends its one operation through the
// call guard. The dispatcher starts a command only when the values it needs are
// present.
#include <utility>

#include "platform/dynamic_loader.h"
#include "vpn_bridge/call_guard.h"
#include "vpn_bridge/vpn_plugin.h"

namespace vpn_bridge {
namespace {

using platform::FlutterError;

constexpr const char* kDefaultTlsMode = "0";
constexpr const char* kDefaultIpv6Enable = "off";

// The message of a failed access: what the dynamic loader last reported in this
// thread, or which symbol the helper could not find.
std::string accessFailureMessage(const std::string& name) {
  if (auto loaderError = platform::dlerror()) return *loaderError;
  return "Failed to lookup '" + name + "'";
}

}  // namespace

void VPNPlugin::access(FlutterResult result) {
  auto proxy = obtainRemote(result);
  if (!proxy) return;
  if (!hasUpdate) {
    // Once per run: the version request goes out before the access itself.
    hasUpdate = false;
    std::weak_ptr<VPNPlugin> weak = shared_from_this();
    xpcService.checkHelperUpdate(remote, [weak](std::optional<bool> outcome) {
      if (auto self = weak.lock()) self->applyUpdateResult(outcome);
    });
  }
  guardedSend(std::move(result), [&](Answer answer) {
    proxy->access(dylib, [answer](bool success, std::string code, const std::string& name) {
      if (success) {
        answer(std::monostate{});
      } else {
        answer(FlutterError::errorWithCode(std::move(code), accessFailureMessage(name)));
      }
    });
  });
}

void VPNPlugin::getTunnelVersion(FlutterResult result) {
  auto proxy = obtainRemote(result);
  if (!proxy) return;
  guardedSend(std::move(result), [&](Answer answer) {
    proxy->getTunnelVersion(dylib, [answer](std::optional<std::string> version) {
      if (version) {
        answer(std::move(*version));
      } else {
        answer(std::monostate{});
      }
    });
  });
}

void VPNPlugin::iosOn(FlutterResult result) {
  auto proxy = obtainRemote(result);
  if (!proxy) return;
  guardedSend(std::move(result), [&](Answer answer) {
    proxy->iosOn(dylib, tlsMode.value_or(kDefaultTlsMode), [answer] { answer(std::monostate{}); });
  });
}

void VPNPlugin::iosOff(FlutterResult result) {
  auto proxy = obtainRemote(result);
  if (!proxy) return;
  guardedSend(std::move(result),
              [&](Answer answer) { proxy->iosOff(dylib, [answer] { answer(std::monostate{}); }); });
}

void VPNPlugin::setHive(FlutterResult result) {
  auto proxy = obtainRemote(result);
  if (!proxy) return;
  guardedSend(std::move(result), [&](Answer answer) {
    proxy->setHive(dylib, *ip, *port, *hive, ipv6Enable.value_or(kDefaultIpv6Enable),
                   [answer] { answer(std::monostate{}); });
  });
}

void VPNPlugin::setToken(FlutterResult result) {
  auto proxy = obtainRemote(result);
  if (!proxy) return;
  guardedSend(std::move(result), [&](Answer answer) {
    proxy->setToken(dylib, *app, *uid, *token, *device, *version, [answer] { answer(std::monostate{}); });
  });
}

void VPNPlugin::setForce(FlutterResult result) {
  auto proxy = obtainRemote(result);
  if (!proxy) return;
  guardedSend(std::move(result),
              [&](Answer answer) { proxy->setForce(dylib, *state, [answer] { answer(std::monostate{}); }); });
}

void VPNPlugin::setRule(FlutterResult result) {
  auto proxy = obtainRemote(result);
  if (!proxy) return;
  guardedSend(std::move(result),
              [&](Answer answer) { proxy->setRule(dylib, *rules, [answer] { answer(std::monostate{}); }); });
}

}  // namespace vpn_bridge
