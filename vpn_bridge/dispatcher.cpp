// The method table of the channel: which fields each call writes, and which command
// it starts.
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

struct Key {
  const char* name;
  Field field;
};

struct Row {
  std::string_view method;
  std::vector<Key> keys;
  bool readsArguments;
  void (VPNPlugin::*command)(FlutterResult);
};

// The arguments as a map of strings to strings, or none when they are anything else.
std::optional<std::vector<std::pair<std::string_view, const std::string*>>> stringMap(const EncodableValue& value) {
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
       {{"ip", &VPNPlugin::ip}, {"port", &VPNPlugin::port}, {"hive", &VPNPlugin::hive},
        {"ipv6Enable", &VPNPlugin::ipv6Enable}},
       true,
       &VPNPlugin::setHive},
      {"set_token",
       {{"app", &VPNPlugin::app},
        {"uid", &VPNPlugin::uid},
        {"token", &VPNPlugin::token},
        {"device", &VPNPlugin::device},
        {"version", &VPNPlugin::version}},
       true,
       &VPNPlugin::setToken},
      {"set_force_routing", {{"state", &VPNPlugin::state}}, true, &VPNPlugin::setForce},
      {"set_rules", {{"rules", &VPNPlugin::rules}}, true, &VPNPlugin::setRule},
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
    result(FlutterMethodNotImplemented);
    return;
  }

  if (row->method == "on") vpnOn = true;
  if (row->method == "off") vpnOn = false;

  if (row->readsArguments) {
    auto entries = stringMap(call.arguments());
    if (!entries) {
      result(FlutterError::errorWithCode(kInvalidArguments,
                                         "\"" + method + "\" expects a map of strings to strings"));
      return;
    }
    if (row->method == "print") {
      const std::string* message = lookup(*entries, "message");
      platform::print(message != nullptr ? std::string_view(*message) : std::string_view());
      result(nullptr);
      return;
    }
    for (const Key& key : row->keys) {
      const std::string* value = lookup(*entries, key.name);
      this->*key.field = value != nullptr ? std::optional<std::string>(*value) : std::nullopt;
    }
  }
  (this->*row->command)(std::move(result));
}

}  // namespace vpn_bridge
