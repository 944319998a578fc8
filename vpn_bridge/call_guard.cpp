#include "vpn_bridge/call_guard.h"

#include <memory>
#include <utility>

#include "helper_link/xpc_error.h"
#include "platform/dispatch.h"
#include "vpn_bridge/vpn_plugin.h"

namespace vpn_bridge {
namespace {

constexpr const char* kConnectionErrorCode = "xpc_connection_error";

}  // namespace

void deliverResult(platform::FlutterResult&& result, const AnswerValue& value) {
  std::visit(
      [&result](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          std::move(result)(nullptr);
        } else {
          std::move(result)(v);
        }
      },
      value);
}

void guardedSend(platform::FlutterResult result, const std::function<void(Answer)>& send) {
  // Dispatched work is copied, so the result travels in a shared cell.
  auto cell = std::make_shared<platform::FlutterResult>(std::move(result));
  auto halves = platform::splitOnce<AnswerValue>([cell](AnswerValue value) {
    // The time-out answers where it runs, on the main queue; a reply moves there.
    if (platform::mainQueue().isCurrent()) {
      deliverResult(std::move(*cell), value);
      return;
    }
    platform::mainQueue().async([cell, value = std::move(value)] { deliverResult(std::move(*cell), value); });
  });
  send(halves.first);
  // Counted from after the send returned. The timer is never cancelled; it does
  // nothing when the reply came first.
  platform::mainQueue().asyncAfter(kHelperCallTimeout, [timedOut = halves.second] { timedOut(std::monostate{}); });
}

std::shared_ptr<VLTHelperProtocol> VPNPlugin::obtainRemote(FlutterResult& result) {
  if (remote) return remote;
  try {
    remote = xpcService.connectHelper(shared_from_this());
    // Its access goes out before the command's own message, so the restored session
    // is in place before the user's next change reaches the helper.
    if (std::exchange(replayOwed, false) && vpnOn) accessThenReplay(remote);
    return remote;
  } catch (const helper_link::XPCError& error) {
    deliverResult(std::move(result),
                  platform::FlutterError::errorWithCode(kConnectionErrorCode, error.localizedDescription()));
    return nullptr;
  }
}

}  // namespace vpn_bridge
