#include "platform/testing/fake_services.h"

#include <algorithm>
#include <utility>

namespace platform::testing {
namespace {

std::string firstKeyword(const std::string& selector) { return selector.substr(0, selector.find(':')); }

std::string opName(const std::string& selector) {
  std::string op = firstKeyword(selector);
  // getVersionWithCompletion: is the version query.
  if (op == "getVersionWithCompletion") return "getVersion";
  return op;
}

NSError interrupted() { return NSError{"NSCocoaErrorDomain", 4097, "Couldn't communicate with a helper application."}; }

NSError invalid(const std::string& label) {
  return NSError{"NSCocoaErrorDomain", 4099, "The connection to service named " + label + " was invalidated."};
}

}  // namespace

std::vector<std::string> ReceivedMessage::strings() const {
  std::vector<std::string> out;
  for (const auto& v : arguments) {
    if (auto s = std::get_if<std::string>(&v)) {
      out.push_back(*s);
    } else if (auto b = std::get_if<bool>(&v)) {
      out.push_back(*b ? "true" : "false");
    } else {
      out.push_back("<nil>");
    }
  }
  return out;
}

void FakeHelper::setVersion(std::string version, std::string build) {
  runningVersion_ = installedVersion_ = std::move(version);
  runningBuild_ = installedBuild_ = std::move(build);
}

void FakeHelper::installBuild(std::string version, std::string build) {
  installedVersion_ = std::move(version);
  installedBuild_ = std::move(build);
}

void FakeHelper::failAccess(std::string code, std::string name) {
  accessFailure_ = std::make_pair(std::move(code), std::move(name));
}

std::vector<std::string> FakeHelper::ops() const {
  std::vector<std::string> out;
  for (const auto& m : received_) out.push_back(m.op);
  return out;
}

std::vector<ReceivedMessage> FakeHelper::receivedBy(int process) const {
  std::vector<ReceivedMessage> out;
  for (const auto& m : received_) {
    if (m.process == process) out.push_back(m);
  }
  return out;
}

void FakeHelper::start() {
  running_ = true;
  ++process_;
  runningVersion_ = installedVersion_;
  runningBuild_ = installedBuild_;
}

FakeHelper::Decision FakeHelper::receive(const XPCMessage& message) {
  const std::string op = opName(message.selector);
  received_.push_back(ReceivedMessage{process_, op, message.arguments});
  Decision decision;
  auto timing = timing_.find(op);
  decision.delay = timing == timing_.end() ? std::optional(std::chrono::milliseconds(0)) : timing->second;
  if (auto raw = rawReplies_.find(op); raw != rawReplies_.end()) {
    decision.values = raw->second;
  } else if (op == "getVersion") {
    decision.values = {runningVersion_, runningBuild_};
  } else if (op == "access") {
    if (accessFailure_) {
      decision.values = {false, accessFailure_->first, accessFailure_->second};
    } else {
      decision.values = {true, std::string(), std::string()};
    }
  } else if (op == "getTunnelVersion") {
    decision.values = {tunnelVersion_ ? XPCValue(*tunnelVersion_) : XPCValue()};
  }
  return decision;
}

struct FakeServiceNamespace::TransportState {
  std::string label;
  std::unique_ptr<VirtualQueue> queue;
  XPCTransport::Events events;
  bool invalidated = false;
  bool closed = false;
  int process = 0;  // the helper run this connection talks to
  struct Pending {
    XPCReplyHandler reply;
    XPCErrorHandler failure;
  };
  std::map<std::uint64_t, Pending> pending;
  std::uint64_t nextCall = 1;

  // Fails every reply still awaited, on the connection's queue.
  void failPending(const NSError& error) {
    for (auto& [id, p] : pending) {
      auto failure = std::move(p.failure);
      queue->async([failure, error] { failure(error); });
    }
    pending.clear();
  }
};

class FakeTransport final : public XPCTransport {
 public:
  FakeTransport(FakeServiceNamespace& ns, std::shared_ptr<FakeServiceNamespace::TransportState> state)
      : ns_(ns), state_(std::move(state)) {}
  // The portable connection lets go only once nothing is awaited; what was sent has
  // been delivered to the helper already.
  ~FakeTransport() override {
    state_->closed = true;
    state_->events = {};
  }
  void resume(Events events) override { state_->events = std::move(events); }
  void send(XPCMessage message, XPCReplyHandler reply, XPCErrorHandler failure) override {
    ns_.deliver(state_, std::move(message), std::move(reply), std::move(failure));
  }

 private:
  FakeServiceNamespace& ns_;
  std::shared_ptr<FakeServiceNamespace::TransportState> state_;
};

// What is still awaited then is dropped, as at the end of a process: the handlers
// keep their connection alive, and nothing would ever answer them.
FakeServiceNamespace::~FakeServiceNamespace() {
  for (auto& weak : transports_) {
    if (auto t = weak.lock()) std::exchange(t->pending, {});
  }
}

std::size_t FakeServiceNamespace::liveTransports() const {
  return static_cast<std::size_t>(
      std::count_if(transports_.begin(), transports_.end(), [](const auto& weak) { return !weak.expired(); }));
}

FakeHelper& FakeServiceNamespace::registerHelper(const std::string& label) {
  auto& job = jobs_[label];
  if (!job) job = std::make_unique<FakeHelper>();
  registered_.insert(label);
  return *job;
}

FakeHelper* FakeServiceNamespace::helper(const std::string& label) {
  auto it = jobs_.find(label);
  return it == jobs_.end() ? nullptr : it->second.get();
}

std::unique_ptr<XPCTransport> FakeServiceNamespace::connect(const std::string& serviceName, std::uint64_t options) {
  ++connectionsMade_;
  options_.push_back(options);
  auto state = std::make_shared<TransportState>();
  state->label = serviceName;
  state->queue = std::make_unique<VirtualQueue>(loop_, "xpc." + serviceName + "." + std::to_string(connectionsMade_));
  transports_.erase(std::remove_if(transports_.begin(), transports_.end(), [](auto& w) { return w.expired(); }),
                    transports_.end());
  transports_.push_back(state);
  return std::make_unique<FakeTransport>(*this, state);
}

void FakeServiceNamespace::invalidate(const std::shared_ptr<TransportState>& transport) {
  if (transport->invalidated) return;
  transport->invalidated = true;
  transport->failPending(invalid(transport->label));
  std::weak_ptr<TransportState> weak = transport;
  transport->queue->async([weak] {
    auto t = weak.lock();
    if (t && !t->closed && t->events.invalidated) t->events.invalidated();
  });
}

void FakeServiceNamespace::deliver(const std::shared_ptr<TransportState>& transport, XPCMessage message,
                                   XPCReplyHandler reply, XPCErrorHandler failure) {
  if (transport->closed) return;
  const bool registered = registered_.count(transport->label) != 0;
  if (!transport->invalidated && !registered) invalidate(transport);
  if (transport->invalidated) {
    if (failure) {
      NSError error = invalid(transport->label);
      transport->queue->async([failure, error] { failure(error); });
    }
    return;
  }
  FakeHelper& helper = *jobs_.at(transport->label);
  if (!helper.running()) helper.start();
  transport->process = helper.process();
  const bool exits = message.selector == "exitHelper";
  FakeHelper::Decision decision = helper.receive(message);
  if (reply) {
    const std::uint64_t id = transport->nextCall++;
    transport->pending.emplace(id, TransportState::Pending{std::move(reply), std::move(failure)});
    if (decision.delay) {
      std::weak_ptr<TransportState> weak = transport;
      transport->queue->asyncAfter(*decision.delay, [weak, id, values = std::move(decision.values)] {
        auto t = weak.lock();
        if (!t) return;
        auto it = t->pending.find(id);
        if (it == t->pending.end()) return;
        auto handler = std::move(it->second.reply);
        t->pending.erase(it);
        handler(values);
      });
    }
  }
  if (exits) processEnded(transport->label);
}

void FakeServiceNamespace::processEnded(const std::string& label) {
  FakeHelper* h = helper(label);
  if (h == nullptr || !h->running()) return;
  h->running_ = false;
  const int process = h->process();
  for (auto& weak : transports_) {
    auto t = weak.lock();
    if (!t || t->invalidated || t->label != label || t->process != process) continue;
    t->failPending(interrupted());
    std::weak_ptr<TransportState> w = t;
    t->queue->async([w] {
      auto s = w.lock();
      if (s && !s->closed && s->events.interrupted) s->events.interrupted();
    });
  }
}

void FakeServiceNamespace::kill(const std::string& label) { processEnded(label); }

void FakeServiceNamespace::unregister(const std::string& label) {
  if (FakeHelper* h = helper(label)) h->running_ = false;
  registered_.erase(label);
  for (auto& weak : transports_) {
    auto t = weak.lock();
    if (t && t->label == label) invalidate(t);
  }
}

}  // namespace platform::testing
