#include "helper_link/helper_protocol.h"

namespace helper_link {
namespace {

using platform::XPCValue;
using platform::XPCValues;
using platform::XPCValueType;

const std::string kExitHelper{kHelperSelectors[0]};
const std::string kGetVersion{kHelperSelectors[1]};
const std::string kAccess{kHelperSelectors[2]};
const std::string kGetTunnelVersion{kHelperSelectors[3]};
const std::string kIosOn{kHelperSelectors[4]};
const std::string kIosOff{kHelperSelectors[5]};
const std::string kSetHive{kHelperSelectors[6]};
const std::string kSetToken{kHelperSelectors[7]};
const std::string kSetForce{kHelperSelectors[8]};
const std::string kSetRule{kHelperSelectors[9]};

// A string object that the helper left out reads as nothing.
std::optional<std::string> optionalString(const XPCValue& value) {
  if (auto s = std::get_if<std::string>(&value)) return *s;
  return std::nullopt;
}

}  // namespace

const platform::XPCProtocolDescription& VLTHelperProtocolDescription() {
  static const platform::XPCProtocolDescription description{
      "VLTHelperProtocol",
      {
          {kExitHelper, 0, std::nullopt},
          {kGetVersion, 0, std::vector{XPCValueType::String, XPCValueType::String}},
          {kAccess, 1, std::vector{XPCValueType::Bool, XPCValueType::String, XPCValueType::String}},
          {kGetTunnelVersion, 1, std::vector{XPCValueType::String}},
          {kIosOn, 2, std::vector<XPCValueType>{}},
          {kIosOff, 1, std::vector<XPCValueType>{}},
          {kSetHive, 5, std::vector<XPCValueType>{}},
          {kSetToken, 6, std::vector<XPCValueType>{}},
          {kSetForce, 2, std::vector<XPCValueType>{}},
          {kSetRule, 2, std::vector<XPCValueType>{}},
      }};
  return description;
}

void HelperProxy::exitHelper() { proxy_->send(kExitHelper, {}); }

void HelperProxy::getVersion(VersionReply completion) {
  proxy_->send(kGetVersion, {}, [completion = std::move(completion)](XPCValues values) {
    completion(optionalString(values[0]).value_or(""), optionalString(values[1]).value_or(""));
  });
}

void HelperProxy::access(const std::string& dylib, AccessReply completion) {
  proxy_->send(kAccess, {dylib}, [completion = std::move(completion)](XPCValues values) {
    completion(std::get<bool>(values[0]), optionalString(values[1]).value_or(""),
               optionalString(values[2]).value_or(""));
  });
}

void HelperProxy::getTunnelVersion(const std::string& dylib, TunnelVersionReply completion) {
  proxy_->send(kGetTunnelVersion, {dylib},
               [completion = std::move(completion)](XPCValues values) { completion(optionalString(values[0])); });
}

void HelperProxy::sendEmpty(const std::string& selector, XPCValues arguments, EmptyReply completion) {
  proxy_->send(selector, std::move(arguments), [completion = std::move(completion)](XPCValues) {
    if (completion) completion();
  });
}

void HelperProxy::iosOn(const std::string& dylib, const std::string& tlsMode, EmptyReply completion) {
  sendEmpty(kIosOn, {dylib, tlsMode}, std::move(completion));
}

void HelperProxy::iosOff(const std::string& dylib, EmptyReply completion) {
  sendEmpty(kIosOff, {dylib}, std::move(completion));
}

void HelperProxy::setHive(const std::string& dylib, const std::string& ip, const std::string& port,
                          const std::string& hive, const std::string& ipv6Enable, EmptyReply completion) {
  sendEmpty(kSetHive, {dylib, ip, port, hive, ipv6Enable}, std::move(completion));
}

void HelperProxy::setToken(const std::string& dylib, const std::string& app, const std::string& uid,
                           const std::string& token, const std::string& device, const std::string& version,
                           EmptyReply completion) {
  sendEmpty(kSetToken, {dylib, app, uid, token, device, version}, std::move(completion));
}

void HelperProxy::setForce(const std::string& dylib, const std::string& state, EmptyReply completion) {
  sendEmpty(kSetForce, {dylib, state}, std::move(completion));
}

void HelperProxy::setRule(const std::string& dylib, const std::string& rules, EmptyReply completion) {
  sendEmpty(kSetRule, {dylib, rules}, std::move(completion));
}

}  // namespace helper_link
