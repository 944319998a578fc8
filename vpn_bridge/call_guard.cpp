#include "vpn_bridge/call_guard.h"

#include <atomic>
#include <memory>

#include "helper_link/xpc_error.h"
#include "platform/dispatch.h"
#include "vpn_bridge/vpn_plugin.h"

namespace vpn_bridge {
namespace {

constexpr const char* kConnectionErrorCode = "xpc_connection_error";

// One pending call, shared by its reply and its time-out. Whoever exchanges the
// flag first owns the answer.
struct PendingCall {
  explicit PendingCall(platform::FlutterResult r) : result(std::move(r)) {}
  bool claim() { return !answered.exchange(true, std::memory_order_acq_rel); }
  platform::FlutterResult result;
  std::atomic<bool> answered{false};
};

}  // namespace

void deliverResult(const platform::FlutterResult& result, const AnswerValue& value) {
  std::visit(
      [&result](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          result(nullptr);
        } else {
          result(v);
        }
      },
      value);
}

void guardedSend(platform::FlutterResult result, const std::function<void(Answer)>& send) {
  auto pending = std::make_shared<PendingCall>(std::move(result));
  send([pending](AnswerValue value) {
    if (!pending->claim()) return;
    platform::mainQueue().async([pending, value = std::move(value)] { deliverResult(pending->result, value); });
  });
  // Counted from after the send returned. The timer is never cancelled; it finds the
  // call claimed when the reply came first.
  platform::mainQueue().asyncAfter(kHelperCallTimeout, [pending] {
    if (pending->claim()) deliverResult(pending->result, std::monostate{});
  });
}

std::shared_ptr<VLTHelperProtocol> VPNPlugin::obtainRemote(const FlutterResult& result) {
  if (remote) return remote;
  try {
    remote = xpcService.connectHelper(shared_from_this());
    return remote;
  } catch (const helper_link::XPCError& error) {
    deliverResult(result, platform::FlutterError::errorWithCode(kConnectionErrorCode, error.localizedDescription()));
    return nullptr;
  }
}

}  // namespace vpn_bridge
