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

// What the link reports of the connections it makes; the plug-in decides what
// follows. Reports arrive on the main queue.
class HelperLinkEvents {
 public:
  virtual ~HelperLinkEvents() = default;
  // The helper behind a connection went away. The connection stays usable: its next
  // message starts the helper again, which knows nothing of what came before.
  virtual void helperInterrupted() = 0;
  // The connection behind |proxy| is invalidated: that proxy never gets through again.
  virtual void helperInvalidated(const std::shared_ptr<VLTHelperProtocol>& proxy) = 0;
};

using UpdateResultHandler = std::function<void(std::optional<bool> outcome)>;

struct VLTXPC {
  // Reads the two helper keys of the main bundle's Info.plist; never fails.
  VLTXPC();

  const std::string ver;
  const std::string bld;

  // A proxy to the helper, installing the helper first when its file is missing. What
  // becomes of its connection is reported to |events|, which it does not keep alive.
  // Throws XPCError.
  std::shared_ptr<VLTHelperProtocol> connectHelper(const std::shared_ptr<HelperLinkEvents>& events) const;
  // Throws XPCError.
  void installHelper() const;
  // Asks the helper for its build and reinstalls it when it is older than |bld|. The
  // outcome reaches |handler| on the main queue: true after an installation, false
  // when the helper is current, none when there was no answer in time or the
  // installation failed. Without a proxy nothing is asked: the outcome is none, at once.
  void checkHelperUpdate(std::shared_ptr<VLTHelperProtocol> proxy, UpdateResultHandler handler) const;
  static platform::NSComparisonResult compareVersions(const std::string& a, const std::string& b);
};

}  // namespace helper_link
