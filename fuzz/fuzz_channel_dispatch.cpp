// Arbitrary bytes as one message on the interface's channel, through the method
// codec into a VPNPlugin on the test backend, whose helper is installed and answers.
//
// Once the clock has run past every time-out, aborts, as a finding, unless the
// message was answered exactly once, on the main queue, within 5 seconds, with an
// empty reply (not implemented) or an envelope that decodes; bytes that are not a
// method call must be answered with the malformed_method_call error, and only they.
// No authorization reference may be left open.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <variant>

#include "helper_link/helper_paths.h"
#include "platform/flutter/standard_codec.h"
#include "platform/testing/test_platform.h"
#include "vpn_bridge/vpn_plugin.h"

namespace {

using namespace std::chrono_literals;

// Longer than any delay of the plug-in's, so every reply and time-out falls due.
constexpr auto kSettleStep = 6s;
constexpr int kMaxSettleSteps = 20;
constexpr std::chrono::milliseconds kAnswerWithin = 5s;

[[noreturn]] void finding(const char* what) {
  // The message itself is in the crash artifact.
  std::fprintf(stderr, "fuzz_channel_dispatch: %s\n", what);
  std::abort();
}

bool isMalformedCallError(const platform::DecodedEnvelope& envelope) {
  const auto* error = std::get_if<platform::EnvelopeError>(&envelope);
  return error != nullptr && error->code == platform::kMalformedMethodCall;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  platform::testing::TestPlatform tp;
  tp.bundleHelper("1.4", "140");
  tp.files.files.insert(helper_link::helperPath());
  tp.services.registerHelper(helper_link::helperLabel()).setVersion("1.4", "140");
  auto registrar = std::make_shared<platform::FlutterPluginRegistrar>(tp.messenger);
  vpn_bridge::VPNPlugin::registerWithRegistrar(*registrar);

  const platform::FlutterMessage message(data, data + size);
  const auto sentAt = tp.loop.now();
  const std::size_t index = tp.messenger->sendMessage(vpn_bridge::kChannelName, message);
  for (int i = 0; tp.loop.pending() != 0; ++i) {
    if (i == kMaxSettleSteps) finding("work keeps falling due long after the message");
    tp.advance(kSettleStep);
  }

  const auto& answers = tp.messenger->answers(index);
  if (answers.empty()) finding("never answered");
  if (answers.size() > 1) finding("answered more than once");
  const auto& answer = answers.front();
  if (!answer.onMainQueue) finding("answered off the main queue");
  if (answer.at - sentAt > kAnswerWithin) finding("answered later than the time-out");
  if (!answer.reply.empty()) {
    const auto envelope = platform::decodeEnvelope(answer.reply);
    if (std::holds_alternative<platform::CodecError>(envelope)) finding("the reply is not an envelope");
    const bool isCall = std::holds_alternative<platform::FlutterMethodCall>(platform::decodeMethodCall(message));
    if (isCall == isMalformedCallError(envelope)) {
      finding(isCall ? "a method call was answered as malformed" : "bytes that are no call were not refused");
    }
  } else if (!std::holds_alternative<platform::FlutterMethodCall>(platform::decodeMethodCall(message))) {
    finding("bytes that are no call were answered not-implemented");
  }

  if (tp.security.liveReferences() != 0) finding("an authorization reference was left open");
  // The plug-in goes before the backend it talks to.
  registrar.reset();
  return 0;
}
