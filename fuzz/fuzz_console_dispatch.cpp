// Console lines through the dispatcher into a VPNPlugin on the test backend.
//
// Each input line is read as the console bridge reads it and, when it is a call,
// sent on the channel. A line starting with '!' is not a call but a step that
// scripts the helper or moves the virtual clock (see Session::step), so one input
// can interleave calls with slow, silent, dying or misbehaving helpers.
//
// Whatever the lines say, once the clock has run past every time-out each call must
// have been answered exactly once, on the main queue, within 5 seconds of being
// sent, as something the console can print on one line; and no authorization
// reference may be left open. Anything else aborts: that is a finding.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "helper_link/helper_paths.h"
#include "platform/linux/console_messenger.h"
#include "platform/testing/test_platform.h"
#include "vpn_bridge/vpn_plugin.h"

namespace {

using namespace std::chrono_literals;
using platform::EncodableValue;
using platform::testing::FakeHelper;
using platform::testing::FakeSecurity;

// Longer than any delay a step can ask for, so every reply and time-out falls due.
constexpr auto kSettleStep = 6s;
constexpr int kMaxSettleSteps = 20;
constexpr std::chrono::milliseconds kMaxStepDelay = 20s;
constexpr std::chrono::milliseconds kAnswerWithin = 5s;

[[noreturn]] void finding(const char* what, std::size_t call) {
  // Only the call's index: the input itself is in the crash artifact.
  std::fprintf(stderr, "fuzz_console_dispatch: call %zu: %s\n", call, what);
  std::abort();
}

std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> out;
  while (!text.empty()) {
    const auto start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    text.remove_prefix(start);
    const auto end = text.find(' ');
    out.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end);
  }
  return out;
}

std::chrono::milliseconds delayOf(std::string_view text) {
  long value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  if (value < 0) value = 0;
  return std::min(std::chrono::milliseconds(value), kMaxStepDelay);
}

int depthOf(const EncodableValue& value) {
  int deepest = 0;
  if (const auto* list = std::get_if<platform::EncodableList>(&value)) {
    for (const auto& item : *list) deepest = std::max(deepest, depthOf(item));
    return deepest + 1;
  }
  if (const auto* map = std::get_if<platform::EncodableMap>(&value)) {
    for (const auto& [key, item] : *map) deepest = std::max({deepest, depthOf(key), depthOf(item)});
    return deepest + 1;
  }
  return 0;
}

// A helper reply of any shape, from a JSON array: strings, booleans, and nil for the rest.
platform::XPCValues replyValues(std::string_view text) {
  const auto json = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
  platform::XPCValues values;
  if (!json.is_array()) return values;
  for (const auto& item : json) {
    if (item.is_string()) {
      values.emplace_back(item.get<std::string>());
    } else if (item.is_boolean()) {
      values.emplace_back(item.get<bool>());
    } else {
      values.emplace_back(std::monostate{});
    }
  }
  return values;
}

class Session {
 public:
  Session() {
    tp.bundleHelper("1.4", "140");
    tp.files.files.insert(helper_link::helperPath());
    tp.services.registerHelper(helper_link::helperLabel()).setVersion("1.4", "140");
    registrar_ = std::make_shared<platform::FlutterPluginRegistrar>(tp.messenger);
    vpn_bridge::VPNPlugin::registerWithRegistrar(*registrar_);
  }
  ~Session() {
    // The plug-in goes before the backend it talks to.
    registrar_.reset();
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void line(std::string_view text) {
    if (text.starts_with('!')) {
      step(words(text.substr(1)), text);
      return;
    }
    auto parsed = platform::linux_backend::parseConsoleLine(text);
    auto* call = std::get_if<platform::linux_backend::ConsoleCall>(&parsed);
    if (call == nullptr) return;
    if (call->method.empty() || call->method.find_first_of(" \t") != std::string::npos) {
      finding("a call read with an empty or blank-holding method name", sent_.size());
    }
    if (depthOf(call->arguments) > platform::kMaxEncodableDepth) {
      finding("arguments handed on nested deeper than a codec delivers", sent_.size());
    }
    sent_.push_back(Sent{call->method, tp.loop.now()});
    const std::size_t index = tp.messenger->send(vpn_bridge::kChannelName, call->method, std::move(call->arguments));
    if (index + 1 != sent_.size()) finding("the messenger counted calls differently", index);
  }

  // Runs the clock past every time-out, then checks every call's answers.
  void finish() {
    for (int i = 0; tp.loop.pending() != 0; ++i) {
      if (i == kMaxSettleSteps) finding("work keeps falling due long after the last call", sent_.size());
      tp.advance(kSettleStep);
    }
    for (std::size_t i = 0; i < sent_.size(); ++i) {
      const auto& answers = tp.messenger->answers(i);
      if (answers.empty()) finding("never answered", i);
      if (answers.size() > 1) finding("answered more than once", i);
      const auto& answer = answers.front();
      if (!answer.onMainQueue) finding("answered off the main queue", i);
      if (answer.at - sent_[i].at > kAnswerWithin) finding("answered later than the time-out", i);
      const std::string printed = platform::linux_backend::formatAnswerLine(i + 1, sent_[i].method, answer.value);
      if (printed.find('\n') != std::string::npos || !printed.starts_with("=> ") ||
          !nlohmann::json::accept(std::string_view(printed).substr(3))) {
        finding("the answer does not print as one JSON line", i);
      }
    }
    if (tp.security.liveReferences() != 0) finding("an authorization reference was left open", sent_.size());
  }

 private:
  struct Sent {
    std::string method;
    std::chrono::milliseconds at;
  };

  // The job made at the start; kept for scripting while unregistered.
  FakeHelper& helper() { return *tp.services.helper(helper_link::helperLabel()); }

  // !advance MS      moves the clock, running what falls due
  // !never OP        the helper stops replying to OP ("access", "setHive", ...)
  // !delay OP MS     ... replies to OP after MS
  // !now OP          ... replies to OP at once again
  // !raw OP [...]    ... replies to OP with these values, whatever the shape
  // !failaccess C N  ... fails "access" with code C and missing symbol N
  // !tunnel [V]      ... reports tunnel version V, or none
  // !version V B     the running and installed helper are V, build B
  // !install V B     a helper file of V, build B, is what the next run reports
  // !kill            the helper process dies
  // !unregister / !register   the job goes away / comes back
  // !uninstall       the helper file is removed
  // !deny            the next authorization is denied
  // !blessfail / !blessok     blessing fails / succeeds
  void step(const std::vector<std::string_view>& w, std::string_view text) {
    if (w.empty()) return;
    const std::string_view verb = w[0];
    auto arg = [&w](std::size_t i) { return i < w.size() ? std::string(w[i]) : std::string(); };
    if (verb == "advance") {
      tp.advance(delayOf(arg(1)));
    } else if (verb == "never") {
      helper().neverReply(arg(1));
    } else if (verb == "delay") {
      helper().replyAfter(arg(1), delayOf(arg(2)));
    } else if (verb == "now") {
      helper().replyNow(arg(1));
    } else if (verb == "raw") {
      const auto start = text.find('[');
      helper().setRawReply(arg(1), replyValues(start == std::string_view::npos ? "" : text.substr(start)));
    } else if (verb == "failaccess") {
      helper().failAccess(arg(1), arg(2));
    } else if (verb == "tunnel") {
      helper().setTunnelVersion(w.size() > 1 ? std::optional(arg(1)) : std::nullopt);
    } else if (verb == "version") {
      helper().setVersion(arg(1), arg(2));
    } else if (verb == "install") {
      helper().installBuild(arg(1), arg(2));
    } else if (verb == "kill") {
      tp.services.kill(helper_link::helperLabel());
    } else if (verb == "unregister") {
      tp.services.unregister(helper_link::helperLabel());
    } else if (verb == "register") {
      tp.services.registerHelper(helper_link::helperLabel());
    } else if (verb == "uninstall") {
      tp.files.files.erase(helper_link::helperPath());
    } else if (verb == "deny") {
      tp.security.createStatuses.push_back(platform::errAuthorizationDenied);
    } else if (verb == "blessfail") {
      tp.security.blessOutcome = FakeSecurity::BlessOutcome::FailWithError;
    } else if (verb == "blessok") {
      tp.security.blessOutcome = FakeSecurity::BlessOutcome::Succeed;
    }
  }

  platform::testing::TestPlatform tp;
  std::shared_ptr<platform::FlutterPluginRegistrar> registrar_;
  std::vector<Sent> sent_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  Session session;
  while (!input.empty()) {
    const auto end = input.find('\n');
    session.line(input.substr(0, end));
    if (end == std::string_view::npos) break;
    input.remove_prefix(end + 1);
  }
  session.finish();
  return 0;
}
