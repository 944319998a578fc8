// The eight commands: each obtains the helper, checks the values it needs, and sends
// its one operation through the call guard.
#include <dlfcn.h>

#include <initializer_list>
#include <utility>

#include "vpn_bridge/call_guard.h"
#include "vpn_bridge/vpn_plugin.h"

namespace vpn_bridge {
namespace {

using platform::FlutterError;

constexpr const char* kMissingArguments = "missing_arguments";
constexpr const char* kDefaultTlsMode = "0";
constexpr const char* kDefaultIpv6Enable = "off";

struct Required {
  const char* key;
  const std::optional<std::string>& value;
};

// Answers a FlutterError naming the absent keys, in table order, and reports whether
// any was absent. Sending without them would report a failure as a success.
bool answeredMissing(const FlutterResult& result, const char* method, std::initializer_list<Required> required) {
  std::string absent;
  for (const auto& r : required) {
    if (r.value) continue;
    if (!absent.empty()) absent += ", ";
    absent += r.key;
  }
  if (absent.empty()) return false;
  deliverResult(result,
                FlutterError::errorWithCode(kMissingArguments, "\"" + std::string(method) + "\" is missing: " + absent));
  return true;
}

// The message of a failed access: what the dynamic loader last reported in this
// thread, or which symbol the helper could not find.
std::string accessFailureMessage(const std::string& name) {
  if (const char* loaderError = dlerror()) return loaderError;
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
    xpcService.checkHelperUpdate(remote, shared_from_this(), [weak](std::optional<bool> outcome) {
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
  if (answeredMissing(result, "set_hive", {{"ip", ip}, {"port", port}, {"hive", hive}})) return;
  guardedSend(std::move(result), [&](Answer answer) {
    proxy->setHive(dylib, *ip, *port, *hive, ipv6Enable.value_or(kDefaultIpv6Enable),
                   [answer] { answer(std::monostate{}); });
  });
}

void VPNPlugin::setToken(FlutterResult result) {
  auto proxy = obtainRemote(result);
  if (!proxy) return;
  if (answeredMissing(result, "set_token",
                      {{"app", app}, {"uid", uid}, {"token", token}, {"device", device}, {"version", version}})) {
    return;
  }
  guardedSend(std::move(result), [&](Answer answer) {
    proxy->setToken(dylib, *app, *uid, *token, *device, *version, [answer] { answer(std::monostate{}); });
  });
}

void VPNPlugin::setForce(FlutterResult result) {
  auto proxy = obtainRemote(result);
  if (!proxy) return;
  if (answeredMissing(result, "set_force_routing", {{"state", state}})) return;
  guardedSend(std::move(result),
              [&](Answer answer) { proxy->setForce(dylib, *state, [answer] { answer(std::monostate{}); }); });
}

void VPNPlugin::setRule(FlutterResult result) {
  auto proxy = obtainRemote(result);
  if (!proxy) return;
  if (answeredMissing(result, "set_rules", {{"rules", rules}})) return;
  guardedSend(std::move(result),
              [&](Answer answer) { proxy->setRule(dylib, *rules, [answer] { answer(std::monostate{}); }); });
}

}  // namespace vpn_bridge
