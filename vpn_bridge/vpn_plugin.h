// VPNPlugin: the application's own Flutter plug-in. It owns the channel
// "com.veltrino.app/vpn", caches the session the interface last sent, and carries
// every VPN command to the privileged helper.
//
// All state lives on the main queue: method calls arrive there, and whatever the
// helper link reports from a connection's queue is moved there before it touches a
// field. Only the one-shot flag of a pending call is shared across threads.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "helper_link/helper_protocol.h"
#include "helper_link/vltxpc.h"
#include "platform/flutter.h"

namespace vpn_bridge {

using helper_link::VLTHelperProtocol;
using platform::FlutterMethodCall;
using platform::FlutterResult;

inline constexpr const char* kChannelName = "com.veltrino.app/vpn";

class VPNPlugin final : public platform::FlutterPlugin,
                        public helper_link::HelperLinkEvents,
                        public std::enable_shared_from_this<VPNPlugin> {
 public:
  static void registerWithRegistrar(platform::FlutterPluginRegistrar& registrar);
  // The plug-in's init: reads the bundle, contacts nothing.
  static std::shared_ptr<VPNPlugin> init();

  void handleMethodCall(const FlutterMethodCall& call, FlutterResult result) override;

  // Update reaction.
  void applyUpdateResult(std::optional<bool> outcome);
  void reconnectAfterUpdate();
  // Sends the cached session to |proxy| after an access reply.
  void replaySession(bool accessOk, std::shared_ptr<VLTHelperProtocol> proxy);
  // Sends access through |proxy|, with no time limit, and replays the session when
  // the reply comes.
  void accessThenReplay(std::shared_ptr<VLTHelperProtocol> proxy);
  // The cached proxy, or a new one; on failure answers |result| with the connection
  // error at once, which uses it up, and gives none.
  std::shared_ptr<VLTHelperProtocol> obtainRemote(FlutterResult& result);

  // Fields, in declaration order.
  const helper_link::VLTXPC xpcService;
  std::shared_ptr<VLTHelperProtocol> remote;
  std::optional<bool> hasUpdate;
  const std::string dylib;
  bool vpnOn = false;
  std::optional<std::string> tlsMode;
  std::optional<std::string> ip;
  std::optional<std::string> port;
  std::optional<std::string> hive;
  std::optional<std::string> ipv6Enable;
  std::optional<std::string> app;
  std::optional<std::string> uid;
  std::optional<std::string> token;
  std::optional<std::string> device;
  std::optional<std::string> version;
  std::optional<std::string> state;
  std::optional<std::string> rules;
  // Set when the cached proxy was dropped for an invalidated connection: the next new
  // connection replays the session (while the tunnel is on) before anything else.
  bool replayOwed = false;

  // Only for init(): use VPNPlugin::init().
  struct InitToken {};
  explicit VPNPlugin(InitToken);

  // What the helper link reports, on the main queue. A restarted helper knows
  // nothing of the session: while the tunnel is on, it is replayed to the cached
  // proxy. A proxy whose connection was invalidated is dropped if it is the cached
  // one, so the next command connects anew, and the helper it reaches then (started
  // again, or installed again) is owed the same replay.
  void helperInterrupted() override;
  void helperInvalidated(const std::shared_ptr<VLTHelperProtocol>& proxy) override;

 private:
  // Commands, one per helper operation; each answers |result| exactly once.
  void access(FlutterResult result);
  void getTunnelVersion(FlutterResult result);
  void iosOn(FlutterResult result);
  void iosOff(FlutterResult result);
  void setHive(FlutterResult result);
  void setToken(FlutterResult result);
  void setForce(FlutterResult result);
  void setRule(FlutterResult result);
};

}  // namespace vpn_bridge
