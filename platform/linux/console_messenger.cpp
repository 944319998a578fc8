#include "platform/linux/console_messenger.h"

#include "platform/flutter/standard_codec.h"

#include <poll.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace platform::linux_backend {
namespace {

using Json = nlohmann::json;

constexpr std::string_view kBlanks = " \t\r\f\v";
// Long enough to say what went wrong, short enough to stay one readable line.
constexpr std::size_t kMaxReasonLength = 200;

std::string_view trim(std::string_view s) {
  const auto first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(kBlanks);
  return s.substr(first, last - first + 1);
}

// What kind of fault the parser met, in its own fixed words and never with any of
// the text it read: that text may be part of a token. A number too large is the one
// fault whose message quotes the input in full.
std::string faultKind(const Json::exception& error) {
  if (dynamic_cast<const Json::out_of_range*>(&error) != nullptr) return "number out of range";
  std::string message = error.what();
  // "[json.exception.parse_error.101] parse error at line 1, column 4: syntax error
  // while parsing value - invalid literal; last read: 'nul'"
  const auto syntax = message.find("syntax error");
  if (dynamic_cast<const Json::parse_error*>(&error) == nullptr || syntax == std::string::npos) {
    return "error " + std::to_string(error.id);
  }
  message.erase(0, syntax);
  const auto lastRead = message.find("; last read:");
  if (lastRead != std::string::npos) message.erase(lastRead);
  if (message.size() > kMaxReasonLength) {
    message.resize(kMaxReasonLength);
    message += "...";
  }
  return message;
}

// Builds the EncodableValue straight from the parser's events, so that input nested
// too deeply is refused at the first container past the limit: nothing that deep is
// ever built, copied or freed.
class EncodableBuilder {
 public:
  bool null() { return add(EncodableValue()); }
  bool boolean(bool value) { return add(EncodableValue(value)); }
  bool number_integer(Json::number_integer_t value) { return add(EncodableValue(std::int64_t{value})); }
  bool number_unsigned(Json::number_unsigned_t value) {
    if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return add(EncodableValue(static_cast<std::int64_t>(value)));
    }
    return add(EncodableValue(static_cast<double>(value)));
  }
  bool number_float(Json::number_float_t value, const Json::string_t& /*text*/) {
    return add(EncodableValue(double{value}));
  }
  bool string(Json::string_t& value) { return add(EncodableValue(std::move(value))); }
  bool binary(Json::binary_t& /*value*/) { return false; }  // JSON text has none
  bool start_object(std::size_t /*elements*/) { return open(EncodableMap()); }
  bool key(Json::string_t& key) {
    frames_.back().key = std::move(key);
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t /*elements*/) { return open(EncodableList()); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t position, const std::string& /*lastToken*/, const Json::exception& error) {
    error_ = faultKind(error) + " at byte " + std::to_string(position);
    return false;
  }

  bool tooDeep() const { return tooDeep_; }
  const std::string& error() const { return error_; }
  EncodableValue takeRoot() { return std::move(root_); }

 private:
  struct Frame {
    EncodableValue container;
    std::string key;
    // Where each key of a map sits, so a repeated key is found without a scan.
    std::unordered_map<std::string, std::size_t> keyIndex;
  };

  bool open(EncodableValue container) {
    if (frames_.size() >= static_cast<std::size_t>(kMaxEncodableDepth)) {
      tooDeep_ = true;
      return false;
    }
    frames_.push_back(Frame{std::move(container), {}, {}});
    return true;
  }

  bool close() {
    EncodableValue done = std::move(frames_.back().container);
    frames_.pop_back();
    return add(std::move(done));
  }

  bool add(EncodableValue value) {
    if (frames_.empty()) {
      root_ = std::move(value);
      return true;
    }
    Frame& frame = frames_.back();
    if (auto* list = std::get_if<EncodableList>(&frame.container)) {
      list->push_back(std::move(value));
      return true;
    }
    auto& map = std::get<EncodableMap>(frame.container);
    if (auto* existing = findKey(frame, map)) {
      *existing = std::move(value);
      return true;
    }
    if (!frame.keyIndex.empty()) frame.keyIndex.emplace(frame.key, map.size());
    map.emplace_back(EncodableValue(std::move(frame.key)), std::move(value));
    return true;
  }

  // The value already under the frame's current key, if any. A small map is scanned;
  // a large one gets an index, so that many keys are not quadratic.
  static EncodableValue* findKey(Frame& frame, EncodableMap& map) {
    static constexpr std::size_t kScannedKeys = 16;
    if (frame.keyIndex.empty() && map.size() >= kScannedKeys) {
      for (std::size_t i = 0; i < map.size(); ++i) frame.keyIndex.emplace(std::get<std::string>(map[i].first), i);
    }
    if (!frame.keyIndex.empty()) {
      auto at = frame.keyIndex.find(frame.key);
      return at == frame.keyIndex.end() ? nullptr : &map[at->second].second;
    }
    for (auto& [key, existing] : map) {
      if (std::get<std::string>(key) == frame.key) return &existing;
    }
    return nullptr;
  }

  std::vector<Frame> frames_;
  EncodableValue root_;
  bool tooDeep_ = false;
  std::string error_;
};

ConsoleLine parseArguments(std::string method, std::string_view text) {
  EncodableBuilder builder;
  const bool parsed = Json::sax_parse(text.begin(), text.end(), &builder);
  if (builder.tooDeep()) {
    return ConsoleLineError{"arguments nested deeper than " + std::to_string(kMaxEncodableDepth) + " levels"};
  }
  if (!parsed) {
    std::string reason = "arguments are not one JSON value";
    if (!builder.error().empty()) reason += ": " + builder.error();
    return ConsoleLineError{std::move(reason)};
  }
  return ConsoleCall{std::move(method), builder.takeRoot()};
}

std::string errnoText(int error) { return std::strerror(error); }

}  // namespace

ConsoleLine parseConsoleLine(std::string_view line) {
  line = trim(line);
  if (line.empty() || line.front() == '#') return ConsoleSkippedLine{};
  const auto split = line.find_first_of(kBlanks);
  std::string method(line.substr(0, split));
  if (split == std::string_view::npos) return ConsoleCall{std::move(method), EncodableValue()};
  return parseArguments(std::move(method), trim(line.substr(split)));
}

std::string formatAnswerLine(std::uint64_t id, std::string_view method, const FlutterResultValue& value) {
  // {"id":N,"method":"...", then one of "result", "error" or "notImplemented"}
  using OrderedJson = nlohmann::ordered_json;
  // Key by key into room for all three: an initializer list would build and copy a
  // tree for every pair.
  OrderedJson answer = OrderedJson::object();
  answer.get_ref<OrderedJson::object_t&>().reserve(3);
  answer["id"] = id;
  answer["method"] = shortened(method);
  if (std::holds_alternative<std::nullptr_t>(value)) {
    answer["result"] = nullptr;
  } else if (const auto* text = std::get_if<std::string>(&value)) {
    answer["result"] = *text;
  } else if (const auto* error = std::get_if<FlutterError>(&value)) {
    answer["error"] = {{"code", error->code},
                       {"message", error->message ? OrderedJson(*error->message) : OrderedJson(nullptr)}};
  } else {
    answer["notImplemented"] = true;
  }
  return "=> " + answer.dump(-1, ' ', false, OrderedJson::error_handler_t::replace);
}

// What the reader thread, the main queue and every pending result share; results
// may outlive the messenger.
struct ConsoleMessenger::Core : MessengerCore, std::enable_shared_from_this<ConsoleMessenger::Core> {
  Core(DispatchQueue& mainQueue, LineWriter& answers, LineWriter& diagnostics, Options options)
      : MessengerCore(mainQueue, options.limits),
        answers(answers),
        diagnostics(diagnostics),
        options(std::move(options)) {}

  // One call's pending answer: answering writes the answer line.
  struct PendingAnswer {
    void operator()(const FlutterMessage& reply) const {
      // Never dropped: the answers that can wait are bounded by the calls let in.
      core->answers.writeLine(formatAnswerLine(id, method, decodeResult(reply)), LineWriter::Kind::kEssential);
    }
    void dropped() const {
      core->diagnostics.writeLine("call " + std::to_string(id) + " (" + method + ") was dropped without an answer");
    }

    std::shared_ptr<Core> core;
    std::uint64_t id;
    std::string method;  // shortened: all that the answer line echoes
  };

  // Main queue. |bytes|: the length of the call's line.
  void deliver(std::uint64_t id, ConsoleCall call, std::size_t bytes) {
    // The call crosses as the bytes an engine would send, and the answer line is read
    // back from the reply's bytes.
    FlutterBinaryReply reply =
        owedReply(shared_from_this(), PendingAnswer{shared_from_this(), id, shortened(call.method)}, bytes);
    // The interface speaks on the one channel the host listens on.
    FlutterBinaryMessageHandler handler = options.channel.empty() ? onlyHandler() : this->handler(options.channel);
    if (!handler) {
      std::move(reply)({});
      return;
    }
    handler(encodeMethodCall(FlutterMethodCall(std::move(call.method), std::move(call.arguments))), std::move(reply));
  }

  // Main queue.
  void endInput() {
    diagnostics.writeLine("input ended");
    MessengerCore::endInput();
  }

  LineWriter& answers;
  LineWriter& diagnostics;
  const Options options;
};

// Reads on a thread of its own, which a pipe wakes to stop: a blocking read of a
// terminal could not be interrupted otherwise, and an event loop cannot watch a
// regular file given as standard input. It hands a line on only while the calls owed
// and both outputs are within their bounds; otherwise it leaves the rest of what it
// read, and the input, unread until they are back under half.
class ConsoleMessenger::Reader {
 public:
  explicit Reader(std::shared_ptr<Core> core) : core_(std::move(core)), thread_([this] { run(); }) {}

  ~Reader() {
    wake_.wake();
    thread_.join();
  }

  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

 private:
  void run() {
    const int input = core_->options.inputFd;
    const ReadingGates gates{&core_->owedRoom(), &core_->answers.room(), &core_->diagnostics.room()};
    while (true) {
      const bool caughtUp = handOn(gates);
      std::vector<pollfd> fds = {{wake_.readEnd(), POLLIN, 0}};
      if (caughtUp && gates.open()) {
        fds.push_back({input, POLLIN, 0});
      } else {
        gates.addClosed(fds);
        if (fds.size() == 1) continue;  // they opened meanwhile
      }
      if (::poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        core_->diagnostics.writeLine("cannot wait for input: " + errnoText(errno));
        break;
      }
      if (fds[0].revents != 0) return;  // the messenger is going away
      if (fds[1].fd != input || fds[1].revents == 0) continue;  // a gate opened
      const ssize_t count = ::read(input, chunk_.data(), chunk_.size());
      if (count < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        core_->diagnostics.writeLine("cannot read input: " + errnoText(errno));
        break;
      }
      if (count == 0) break;
      rest_ = std::string_view(chunk_.data(), static_cast<std::size_t>(count));
    }
    if (!discarding_ && !line_.empty()) handleLine(++lineNumber_, line_);
    core_->mainQueue().async([core = core_] { core->endInput(); });
  }

  // Hands on the lines of what was read; true once it is all taken, false when the
  // gates closed before a whole line.
  bool handOn(const ReadingGates& gates) {
    const std::size_t maxLength = core_->options.maxLineLength;
    while (!rest_.empty()) {
      const auto newline = rest_.find('\n');
      if (newline != std::string_view::npos && !gates.open()) return false;
      const auto piece = rest_.substr(0, newline);
      if (!discarding_) {
        if (line_.size() + piece.size() > maxLength) {
          discarding_ = true;
          line_.clear();
          core_->diagnostics.writeLine("line " + std::to_string(lineNumber_ + 1) + ": longer than " +
                                       std::to_string(maxLength) + " bytes; skipped");
        } else {
          line_.append(piece);
        }
      }
      if (newline == std::string_view::npos) {
        rest_ = {};
        break;
      }
      ++lineNumber_;
      if (!discarding_) handleLine(lineNumber_, line_);
      line_.clear();
      discarding_ = false;
      rest_.remove_prefix(newline + 1);
    }
    return true;
  }

  void handleLine(std::uint64_t lineNumber, std::string_view text) {
    ConsoleLine parsed = parseConsoleLine(text);
    if (auto* error = std::get_if<ConsoleLineError>(&parsed)) {
      core_->diagnostics.writeLine("line " + std::to_string(lineNumber) + ": " + error->reason);
    } else if (auto* call = std::get_if<ConsoleCall>(&parsed)) {
      const std::size_t bytes = text.size();
      const std::uint64_t id = core_->countMessage(bytes);
      core_->mainQueue().async([core = core_, id, call = std::move(*call), bytes]() mutable {
        core->deliver(id, std::move(call), bytes);
      });
    }
  }

  std::shared_ptr<Core> core_;
  std::vector<char> chunk_ = std::vector<char>(std::size_t{64} * 1024);
  std::string_view rest_;  // what was read and not yet handed on, in |chunk_|
  std::string line_;       // the line being read, without its line feed
  bool discarding_ = false;  // the line being read is too long: it is skipped
  std::uint64_t lineNumber_ = 0;
  WakePipe wake_;
  std::thread thread_;  // last: it starts running once everything above is in place
};

ConsoleMessenger::ConsoleMessenger(DispatchQueue& mainQueue, LineWriter& answers, LineWriter& diagnostics,
                                   Options options)
    : core_(std::make_shared<Core>(mainQueue, answers, diagnostics, std::move(options))) {}

ConsoleMessenger::~ConsoleMessenger() = default;

void ConsoleMessenger::setMessageHandlerOnChannel(const std::string& channel, FlutterBinaryMessageHandler handler) {
  core_->setHandler(channel, std::move(handler));
}

void ConsoleMessenger::start(std::function<void()> finished) {
  if (reader_) return;
  core_->setFinished(std::move(finished));
  reader_ = std::make_unique<Reader>(core_);
}

}  // namespace platform::linux_backend
