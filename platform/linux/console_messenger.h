// The Flutter view's messenger on Linux, where no Flutter engine runs: method calls
// come one per line from standard input, and each answer goes out as one line on
// standard output.
//
// Input lines are `METHOD` or `METHOD ARGUMENTS`, ARGUMENTS being one JSON value.
// Empty lines and lines starting with '#' are skipped. Answers read
//   => {"id":N,"method":"M","result":null}
//   => {"id":N,"method":"M","result":"text"}
//   => {"id":N,"method":"M","error":{"code":"C","message":"T"}}
//   => {"id":N,"method":"M","notImplemented":true}
// with N counting the calls read, from 1; a method name longer than kMaxEchoedName
// bytes is echoed shortened. Complaints about the input and the end of input go to
// standard error, never to standard output.
//
// No answer, and no line of the host's, ever waits for standard output's reader: the
// lines wait in the LineWriters instead, and the console reads no further line while
// either output is over its bound or too many calls are owed (MessengerLimits).
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "platform/dispatch.h"
#include "platform/flutter.h"
#include "platform/linux/line_writer.h"
#include "platform/linux/messenger_core.h"

namespace platform::linux_backend {

inline constexpr std::size_t kMaxConsoleLineLength = std::size_t{8} * 1024 * 1024;

struct ConsoleCall {
  std::string method;
  EncodableValue arguments;
};
struct ConsoleSkippedLine {};
struct ConsoleLineError {
  std::string reason;
};
using ConsoleLine = std::variant<ConsoleSkippedLine, ConsoleCall, ConsoleLineError>;

// Parses one input line (without its line feed; a trailing carriage return is
// ignored). JSON objects become maps with string keys in document order (a repeated
// key keeps its first place and its last value); integers that fit become int64,
// other numbers double. Nesting deeper than kMaxEncodableDepth containers is an
// error, found before anything that deep is built.
ConsoleLine parseConsoleLine(std::string_view line);

// The answer line for call |id|, without its line feed. Bytes that are not UTF-8
// come out as U+FFFD, so the line is always valid JSON.
std::string formatAnswerLine(std::uint64_t id, std::string_view method, const FlutterResultValue& value);

class ConsoleMessenger final : public HostMessenger {
 public:
  struct Options {
    // The channel that every call read is sent on; empty: the one channel that has a
    // handler (with none or several, calls are not implemented).
    std::string channel;
    // Read from here; stays open and owned by the caller.
    int inputFd = STDIN_FILENO;
    std::size_t maxLineLength = kMaxConsoleLineLength;
    MessengerLimits limits{};
  };

  // |mainQueue| runs the handlers; |answers| and |diagnostics| must outlive every
  // call's result callback.
  ConsoleMessenger(DispatchQueue& mainQueue, LineWriter& answers, LineWriter& diagnostics, Options options);
  // Stops reading. Calls already handed to the main queue stay there.
  ~ConsoleMessenger() override;
  ConsoleMessenger(const ConsoleMessenger&) = delete;
  ConsoleMessenger& operator=(const ConsoleMessenger&) = delete;

  void setMessageHandlerOnChannel(const std::string& channel, FlutterBinaryMessageHandler handler) override;

  // Starts reading on a thread of its own. Once input has ended and every call read
  // has been answered, |finished| runs once on the main queue. Call at most once.
  void start(std::function<void()> finished) override;

 private:
  struct Core;
  class Reader;

  std::shared_ptr<Core> core_;
  std::unique_ptr<Reader> reader_;
};

}  // namespace platform::linux_backend
