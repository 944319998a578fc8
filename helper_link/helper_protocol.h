// The privileged helper's remote protocol, and the proxy that speaks it over one
// connection. Every operation returns at once; a reply block runs at most once.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/xpc.h"

namespace helper_link {

using VersionReply = std::function<void(std::string version, std::string build)>;
using AccessReply = std::function<void(bool success, std::string code, std::string name)>;
using TunnelVersionReply = std::function<void(std::optional<std::string> version)>;
using EmptyReply = std::function<void()>;

class VLTHelperProtocol {
 public:
  virtual ~VLTHelperProtocol() = default;
  virtual void exitHelper() = 0;
  virtual void getVersion(VersionReply completion) = 0;
  virtual void access(const std::string& dylib, AccessReply completion) = 0;
  virtual void getTunnelVersion(const std::string& dylib, TunnelVersionReply completion) = 0;
  virtual void iosOn(const std::string& dylib, const std::string& tlsMode, EmptyReply completion) = 0;
  virtual void iosOff(const std::string& dylib, EmptyReply completion) = 0;
  virtual void setHive(const std::string& dylib, const std::string& ip, const std::string& port,
                       const std::string& hive, const std::string& ipv6Enable, EmptyReply completion) = 0;
  virtual void setToken(const std::string& dylib, const std::string& app, const std::string& uid,
                        const std::string& token, const std::string& device, const std::string& version,
                        EmptyReply completion) = 0;
  virtual void setForce(const std::string& dylib, const std::string& state, EmptyReply completion) = 0;
  virtual void setRule(const std::string& dylib, const std::string& rules, EmptyReply completion) = 0;
};

// The protocol's selectors, in declaration order. A backend that speaks the protocol
// through the platform's own declaration of it (platform/macos) checks its messages
// against these when it compiles.
inline constexpr std::array<std::string_view, 10> kHelperSelectors = {
    "exitHelper",
    "getVersionWithCompletion:",
    "access:completion:",
    "getTunnelVersion:completion:",
    "iosOn::completion:",
    "iosOff:completion:",
    "setHive:ip:port:hive:ipv6Enable:completion:",
    "setToken:app:uid:token:device:version:completion:",
    "setForce:state:completion:",
    "setRule:rules:completion:",
};

// The protocol as the connection's remote object interface describes it: selectors
// in declaration order, argument counts and reply shapes.
const platform::XPCProtocolDescription& VLTHelperProtocolDescription();

// Forwards each operation as one message over the connection behind |proxy|, which
// it keeps alive.
class HelperProxy final : public VLTHelperProtocol {
 public:
  explicit HelperProxy(std::shared_ptr<platform::NSXPCRemoteProxy> proxy) : proxy_(std::move(proxy)) {}

  void exitHelper() override;
  void getVersion(VersionReply completion) override;
  void access(const std::string& dylib, AccessReply completion) override;
  void getTunnelVersion(const std::string& dylib, TunnelVersionReply completion) override;
  void iosOn(const std::string& dylib, const std::string& tlsMode, EmptyReply completion) override;
  void iosOff(const std::string& dylib, EmptyReply completion) override;
  void setHive(const std::string& dylib, const std::string& ip, const std::string& port, const std::string& hive,
               const std::string& ipv6Enable, EmptyReply completion) override;
  void setToken(const std::string& dylib, const std::string& app, const std::string& uid, const std::string& token,
                const std::string& device, const std::string& version, EmptyReply completion) override;
  void setForce(const std::string& dylib, const std::string& state, EmptyReply completion) override;
  void setRule(const std::string& dylib, const std::string& rules, EmptyReply completion) override;

 private:
  void sendEmpty(const std::string& selector, platform::XPCValues arguments, EmptyReply completion);
  std::shared_ptr<platform::NSXPCRemoteProxy> proxy_;
};

}  // namespace helper_link
