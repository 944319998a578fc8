// The method table of the channel: which fields each call writes, and which command
// it starts. A call that is refused (arguments that are not a map of strings, or a
// value its command needs left out) is answered with an error and leaves the session
// and vpnOn exactly as they were, so the replay after a restart still sends the last
// session that was accepted.
#include <array>
#include <string_view>
#include <utility>

#include "platform/output.h"
#include "vpn_bridge/vpn_plugin.h"

namespace vpn_bridge {
namespace {

using platform::EncodableMap;
using platform::EncodableValue;
using platform::FlutterError;
using platform::FlutterMethodNotImplemented;
using Field = std::optional<std::string> VPNPlugin::*;

constexpr const char* kInvalidArguments = "invalid_arguments";
constexpr const char* kMissingArguments = "missing_arguments";

struct Key {
  const char* name;
  Field field;
  // The command cannot be sent without it.
  bool required = false;
};

struct Row {
  std::string_view method;
  std::vector<Key> keys;
  bool readsArguments;
  void (VPNPlugin::*command)(FlutterResult);
};

// The arguments as a map of strings to strings, or none when they are anything else.
// Absent arguments (null) are a map with no keys, as the platform reads a missing map.
std::optional<std::vector<std::pair<std::string_view, const std::string*>>> stringMap(const EncodableValue& value) {
  if (std::holds_alternative<std::monostate>(value)) return std::vector<std::pair<std::string_view, const std::string*>>{};
  const auto* map = std::get_if<EncodableMap>(&value);
  if (map == nullptr) return std::nullopt;
  std::vector<std::pair<std::string_view, const std::string*>> entries;
  entries.reserve(map->size());
  for (const auto& [key, val] : *map) {
    const auto* k = std::get_if<std::string>(&key);
    const auto* v = std::get_if<std::string>(&val);
    if (k == nullptr || v == nullptr) return std::nullopt;
    entries.emplace_back(*k, v);
  }
  return entries;
}

// The value of |key|; when a map repeats a key, the last one counts.
const std::string* lookup(const std::vector<std::pair<std::string_view, const std::string*>>& entries,
                          std::string_view key) {
  const std::string* found = nullptr;
  for (const auto& [k, v] : entries) {
    if (k == key) found = v;
  }
  return found;
}

}  // namespace

void VPNPlugin::handleMethodCall(const FlutterMethodCall& call, FlutterResult result) {
  static const std::array<Row, 10> table{{
      {"print", {}, true, nullptr},
      {"access", {}, false, &VPNPlugin::access},
      {"get_tunnel_version", {}, false, &VPNPlugin::getTunnelVersion},
      {"get_status", {}, false, nullptr},
      {"on", {{"tlsMode", &VPNPlugin::tlsMode}}, true, &VPNPlugin::iosOn},
      {"off", {}, false, &VPNPlugin::iosOff},
      {"set_hive",
       {{"ip", &VPNPlugin::ip, true},
        {"port", &VPNPlugin::port, true},
        {"hive", &VPNPlugin::hive, true},
        {"ipv6Enable", &VPNPlugin::ipv6Enable}},
       true,
       &VPNPlugin::setHive},
      {"set_token",
       {{"app", &VPNPlugin::app, true},
        {"uid", &VPNPlugin::uid, true},
        {"token", &VPNPlugin::token, true},
        {"device", &VPNPlugin::device, true},
        {"version", &VPNPlugin::version, true}},
       true,
       &VPNPlugin::setToken},
      {"set_force_routing", {{"state", &VPNPlugin::state, true}}, true, &VPNPlugin::setForce},
      {"set_rules", {{"rules", &VPNPlugin::rules, true}}, true, &VPNPlugin::setRule},
  }};

  const std::string& method = call.method();
  const Row* row = nullptr;
  for (const auto& candidate : table) {
    if (candidate.method == method) {
      row = &candidate;
      break;
    }
  }
  if (row == nullptr || row->method == "get_status") {
    std::move(result)(FlutterMethodNotImplemented);
    return;
  }

  if (!row->readsArguments) {
    if (row->method == "off") vpnOn = false;
    (this->*row->command)(std::move(result));
    return;
  }

  auto entries = stringMap(call.arguments());
  if (!entries) {
    std::move(result)(FlutterError::errorWithCode(kInvalidArguments, "\"" + method + "\" expects a map of strings to strings"));
    return;
  }
  if (row->method == "print") {
    const std::string* message = lookup(*entries, "message");
    // The interface's own words: nothing of the host's to go with them.
    platform::print({}, message != nullptr ? std::string_view(*message) : std::string_view());
    std::move(result)(nullptr);
    return;
  }

  // The values the call brings, checked before any of them is stored.
  std::vector<const std::string*> values;
  std::string absent;
  for (const Key& key : row->keys) {
    values.push_back(lookup(*entries, key.name));
    if (key.required && values.back() == nullptr) absent += (absent.empty() ? "" : ", ") + std::string(key.name);
  }
  if (!absent.empty()) {
    // The helper is reached first, as for every command, so a connection failure is
    // what the interface hears when there is one; either way nothing is stored.
    if (!obtainRemote(result)) return;
    std::move(result)(FlutterError::errorWithCode(kMissingArguments, "\"" + method + "\" is missing: " + absent));
    return;
  }

  if (row->method == "on") vpnOn = true;
  for (std::size_t i = 0; i < row->keys.size(); ++i) {
    this->*row->keys[i].field = values[i] != nullptr ? std::optional<std::string>(*values[i]) : std::nullopt;
  }
  (this->*row->command)(std::move(result));
}

}  // namespace vpn_bridge
