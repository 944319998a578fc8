// The guard that gives every helper call of the interface exactly one answer: the
// helper's reply or, 5 seconds after the send, the time-out's null, whichever comes
// first.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <variant>

#include "platform/flutter.h"
#include "platform/once.h"

namespace vpn_bridge {

// An answer for the interface: absent (null), a string, or an error.
using AnswerValue = std::variant<std::monostate, std::string, platform::FlutterError>;
// Hands one answer to the guard; callable from any thread, any number of times: only
// the first answer of the reply or the time-out goes through.
using Answer = platform::OnceHalf<AnswerValue>;

inline constexpr std::chrono::seconds kHelperCallTimeout{5};

// Answers |result| with |value|, on the calling thread.
void deliverResult(platform::FlutterResult&& result, const AnswerValue& value);

// Runs |send|, which sends one helper operation and calls the Answer it is given
// from the operation's reply; then schedules the time-out on the main queue. The
// side that claims the call first answers it, on the main queue; the other side
// does nothing.
void guardedSend(platform::FlutterResult result, const std::function<void(Answer)>& send);

}  // namespace vpn_bridge
