// A fake service namespace with scriptable helpers, standing in for launchd and the
// helper processes it runs. Each connection gets its own queue on the virtual loop,
// so replies, interruptions and time-outs interleave in a fixed, chosen order.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/testing/virtual_loop.h"
#include "platform/xpc.h"

namespace platform::testing {

struct ReceivedMessage {
  int process;      // which run of the helper received it, from 1
  std::string op;   // the selector's first keyword: "setHive", "getVersion", ...
  XPCValues arguments;
  std::vector<std::string> strings() const;  // the arguments as text, nil as "<nil>"
};

class FakeHelper {
 public:
  void replyNow(const std::string& op) { timing_.erase(op); }
  void replyAfter(const std::string& op, std::chrono::milliseconds delay) { timing_[op] = delay; }
  void neverReply(const std::string& op) { timing_[op] = std::nullopt; }
  // The version and build of the running helper and of the installed file alike.
  void setVersion(std::string version, std::string build);
  // A new helper file: what the next run of the helper reports.
  void installBuild(std::string version, std::string build);
  void failAccess(std::string code, std::string name);
  void setTunnelVersion(std::optional<std::string> version) { tunnelVersion_ = std::move(version); }
  // Replies to |op| with exactly these values, whatever the interface expects.
  void setRawReply(const std::string& op, XPCValues values) { rawReplies_[op] = std::move(values); }

  const std::vector<ReceivedMessage>& received() const { return received_; }
  void forgetReceived() { received_.clear(); }
  std::vector<std::string> ops() const;
  std::vector<ReceivedMessage> receivedBy(int process) const;
  bool running() const { return running_; }
  int process() const { return process_; }

 private:
  friend class FakeServiceNamespace;
  struct Decision {
    std::optional<std::chrono::milliseconds> delay;  // none: never replies
    XPCValues values;
  };
  void start();
  Decision receive(const XPCMessage& message);

  std::map<std::string, std::optional<std::chrono::milliseconds>> timing_;
  std::map<std::string, XPCValues> rawReplies_;
  std::string runningVersion_ = "1.0", runningBuild_ = "1";
  std::string installedVersion_ = "1.0", installedBuild_ = "1";
  std::optional<std::pair<std::string, std::string>> accessFailure_;
  std::optional<std::string> tunnelVersion_ = std::string("1.0.0");
  std::vector<ReceivedMessage> received_;
  bool running_ = false;
  int process_ = 0;
};

class FakeServiceNamespace final : public XPCTransportFactory {
 public:
  explicit FakeServiceNamespace(VirtualLoop& loop) : loop_(loop) {}
  ~FakeServiceNamespace() override;

  // Registers a job under |label| (or returns the one there, registering it again).
  FakeHelper& registerHelper(const std::string& label);
  FakeHelper* helper(const std::string& label);
  // Removes the job: its connections are invalidated.
  void unregister(const std::string& label);
  // The helper process dies: its connections are interrupted and stay usable.
  void kill(const std::string& label);

  std::size_t connectionsMade() const { return connectionsMade_; }
  // Transports whose connections have not let them go yet.
  std::size_t liveTransports() const;
  std::vector<std::uint64_t> lastOptions() const { return options_; }

  std::unique_ptr<XPCTransport> connect(const std::string& serviceName, std::uint64_t options) override;

  struct TransportState;

 private:
  friend class FakeTransport;
  void deliver(const std::shared_ptr<TransportState>& transport, XPCMessage message, XPCReplyHandler reply,
               XPCErrorHandler failure);
  void processEnded(const std::string& label);
  void invalidate(const std::shared_ptr<TransportState>& transport);

  VirtualLoop& loop_;
  std::map<std::string, std::unique_ptr<FakeHelper>> jobs_;  // kept after unregistering, for reading
  std::set<std::string> registered_;
  std::vector<std::weak_ptr<TransportState>> transports_;
  std::size_t connectionsMade_ = 0;
  std::vector<std::uint64_t> options_;
};

}  // namespace platform::testing
