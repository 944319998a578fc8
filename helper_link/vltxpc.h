// VLTXPC: the plug-in's value for the helper link. It carries the version and build of
// the helper copy that the application bundles, and the link's operations: connect,
// install, and the once-per-run version check.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "helper_link/helper_protocol.h"
#include "platform/foundation.h"
#include "platform/xpc.h"

namespace helper_link {

// What the link needs from the plug-in it serves. Every call is made on the main
// queue, where the plug-in keeps its state.
class HelperLinkClient {
 public:
  virtual ~HelperLinkClient() = default;
  virtual bool linkVpnOn() const = 0;
  virtual std::shared_ptr<VLTHelperProtocol> linkRemote() const = 0;
  virtual const std::string& linkDylib() const = 0;
  virtual void linkSetHasUpdate(std::optional<bool> outcome) = 0;
  // Sends access through |proxy| and, when it answers, replays the session to it.
  virtual void linkAccessThenReplay(std::shared_ptr<VLTHelperProtocol> proxy) = 0;
  // The connection behind a proxy was invalidated; a cached proxy on it is dead.
  virtual void linkConnectionInvalidated(const platform::NSXPCConnection* connection) = 0;
};

using UpdateResultHandler = std::function<void(std::optional<bool> outcome)>;

struct VLTXPC {
  // Reads the two helper keys of the main bundle's Info.plist; never fails.
  VLTXPC();

  const std::string ver;
  const std::string bld;

  std::shared_ptr<platform::NSXPCConnection> makeConnection(const std::shared_ptr<HelperLinkClient>& plugin) const;
  // A proxy to the helper, installing the helper first when its file is missing.
  // Throws XPCError.
  std::shared_ptr<VLTHelperProtocol> connectHelper(const std::shared_ptr<HelperLinkClient>& plugin) const;
  // Throws XPCError.
  void installHelper() const;
  // Asks the helper for its build and reinstalls it when it is older than |bld|. The
  // outcome reaches |handler| on the main queue: true after an installation, false
  // when the helper is current, none when there was no answer in time or the
  // installation failed.
  void checkHelperUpdate(std::shared_ptr<VLTHelperProtocol> proxy, std::shared_ptr<HelperLinkClient> plugin,
                         UpdateResultHandler handler) const;
  static platform::NSComparisonResult compareVersions(const std::string& a, const std::string& b);
};

}  // namespace helper_link
