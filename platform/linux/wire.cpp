#include "platform/linux/wire.h"

#include <array>
#include <charconv>
#include <cstring>
#include <limits>

#include <nlohmann/json.hpp>

#include "platform/linux/json_text.h"

namespace platform::linux_backend::wire {
namespace {

using nlohmann::json;

// ---- The nlohmann::json codec ---------------------------------------------------

json toJson(const XPCValues& values) {
  json array = json::array();
  for (const auto& value : values) {
    if (auto b = std::get_if<bool>(&value)) {
      array.push_back(*b);
    } else if (auto s = std::get_if<std::string>(&value)) {
      array.push_back(*s);
    } else {
      array.push_back(nullptr);
    }
  }
  return array;
}

bool fail(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
  return false;
}

bool readValues(const json& array, const char* key, XPCValues& out, std::string* error) {
  if (!array.is_array()) return fail(error, std::string("\"") + key + "\" is not an array");
  out.reserve(array.size());
  for (const auto& item : array) {
    if (item.is_null()) {
      out.emplace_back(std::monostate{});
    } else if (item.is_boolean()) {
      out.emplace_back(item.get<bool>());
    } else if (item.is_string()) {
      out.emplace_back(item.get<std::string>());
    } else {
      return fail(error, std::string("\"") + key + "\" holds a value that is not null, a boolean or a string");
    }
  }
  return true;
}

bool readId(const json& object, std::uint64_t& out, std::string* error) {
  const json& id = object.at("id");
  if (!id.is_number_unsigned()) return fail(error, "\"id\" is not an unsigned integer");
  out = id.get<std::uint64_t>();
  return true;
}

bool onlyKeys(const json& object, std::initializer_list<std::string_view> allowed, std::string* error) {
  for (const auto& [key, value] : object.items()) {
    bool known = false;
    for (auto name : allowed) known = known || key == name;
    if (!known) return fail(error, "unexpected key \"" + key + "\"");
  }
  return true;
}

std::optional<Message> readRequest(const json& object, std::string* error) {
  if (!onlyKeys(object, {"selector", "arguments", "id"}, error)) return std::nullopt;
  Request request;
  const json& selector = object.at("selector");
  if (!selector.is_string() || selector.get_ref<const std::string&>().empty()) {
    fail(error, "\"selector\" is not a non-empty string");
    return std::nullopt;
  }
  request.selector = selector.get<std::string>();
  if (!object.contains("arguments")) {
    fail(error, "a request without \"arguments\"");
    return std::nullopt;
  }
  if (!readValues(object.at("arguments"), "arguments", request.arguments, error)) return std::nullopt;
  if (object.contains("id")) {
    std::uint64_t id = 0;
    if (!readId(object, id, error)) return std::nullopt;
    request.id = id;
  }
  return Message(std::move(request));
}

std::optional<Message> readReply(const json& object, std::string* error) {
  if (!onlyKeys(object, {"id", "values"}, error)) return std::nullopt;
  Reply reply;
  if (!object.contains("id")) {
    fail(error, "a reply without \"id\"");
    return std::nullopt;
  }
  if (!readId(object, reply.id, error)) return std::nullopt;
  if (!readValues(object.at("values"), "values", reply.values, error)) return std::nullopt;
  return Message(std::move(reply));
}

// ---- The encoder ------------------------------------------------------------------
//
// Writes what nlohmann's dump(-1, ' ', false, error_handler_t::replace) writes for the
// same tree: keys in std::map order, no spaces; strings as json_text writes them.

using json_text::appendString;
using json_text::appendValues;
using json_text::kPlain;
using json_text::utf8Sequence;
constexpr auto appendNumber = json_text::appendUnsigned;

// The body's length when nothing needs escaping, near enough to reserve once.
std::size_t estimatedValues(const XPCValues& values) {
  std::size_t size = 64;  // keys, punctuation and the id
  for (const auto& value : values) {
    auto s = std::get_if<std::string>(&value);
    size += s != nullptr ? s->size() + 3 : 6;
  }
  return size;
}

std::size_t estimatedBody(const Request& request) { return request.selector.size() + estimatedValues(request.arguments); }
std::size_t estimatedBody(const Reply& reply) { return estimatedValues(reply.values); }

void appendBody(std::string& out, const Request& request) {
  out.append("{\"arguments\":");
  appendValues(out, request.arguments);
  if (request.id) {
    out.append(",\"id\":");
    appendNumber(out, *request.id);
  }
  out.append(",\"selector\":");
  appendString(out, request.selector);
  out.push_back('}');
}

void appendBody(std::string& out, const Reply& reply) {
  out.append("{\"id\":");
  appendNumber(out, reply.id);
  out.append(",\"values\":");
  appendValues(out, reply.values);
  out.push_back('}');
}

void putHeader(char* out, std::uint32_t length) {
  out[0] = static_cast<char>((length >> 24) & 0xff);
  out[1] = static_cast<char>((length >> 16) & 0xff);
  out[2] = static_cast<char>((length >> 8) & 0xff);
  out[3] = static_cast<char>(length & 0xff);
}

// ---- The reader for the common shapes ---------------------------------------------
//
// Takes one object whose keys are among "selector", "arguments", "id" and "values",
// each at most once, in any order and spelled without escapes, with a string
// selector, an id of plain digits that fits in 64 bits and flat arrays of null,
// booleans and strings; whitespace as JSON allows it. It accepts only what also
// decodes, with the same result, through nlohmann: anything else, errors included,
// it leaves to the nlohmann reader, which also words the error. It never recurses.

class Reader {
 public:
  explicit Reader(std::string_view body) : p_(body.data()), end_(body.data() + body.size()) {}

  std::optional<Message> message() {
    std::optional<std::string> selector;
    std::optional<XPCValues> arguments;
    std::optional<XPCValues> values;
    std::optional<std::uint64_t> id;
    skipSpace();
    if (!eat('{')) return std::nullopt;
    do {
      skipSpace();
      if (!eat('"')) return std::nullopt;
      if (known("selector\"")) {
        if (selector) return std::nullopt;
        if (!colon() || !string(selector.emplace())) return std::nullopt;
      } else if (known("arguments\"")) {
        if (arguments) return std::nullopt;
        if (!colon() || !array(arguments.emplace())) return std::nullopt;
      } else if (known("values\"")) {
        if (values) return std::nullopt;
        if (!colon() || !array(values.emplace())) return std::nullopt;
      } else if (known("id\"")) {
        if (id) return std::nullopt;
        if (!colon() || !number(id.emplace())) return std::nullopt;
      } else {
        return std::nullopt;
      }
      skipSpace();
    } while (eat(','));
    if (!eat('}')) return std::nullopt;
    skipSpace();
    if (p_ != end_) return std::nullopt;

    if (selector) {
      if (selector->empty() || !arguments || values) return std::nullopt;
      return Message(Request{std::move(*selector), std::move(*arguments), id});
    }
    if (!values || !id || arguments) return std::nullopt;
    return Message(Reply{*id, std::move(*values)});
  }

 private:
  void skipSpace() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  bool eat(char c) {
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }

  // Takes |text| when the input goes on with it: the rest of a key (closing quote
  // included), or a literal.
  bool known(std::string_view text) {
    if (static_cast<std::size_t>(end_ - p_) < text.size() || std::memcmp(p_, text.data(), text.size()) != 0) {
      return false;
    }
    p_ += text.size();
    return true;
  }

  bool colon() {
    skipSpace();
    if (!eat(':')) return false;
    skipSpace();
    return true;
  }

  bool number(std::uint64_t& out) {
    if (p_ == end_ || *p_ < '0' || *p_ > '9') return false;
    if (*p_ == '0') {
      ++p_;
      out = 0;
      return true;  // a digit after it is not JSON, and fails at the next token
    }
    std::uint64_t value = 0;
    constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
    while (p_ != end_ && *p_ >= '0' && *p_ <= '9') {
      const auto digit = static_cast<std::uint64_t>(*p_ - '0');
      if (value > (kMax - digit) / 10) return false;  // nlohmann makes it a float
      value = value * 10 + digit;
      ++p_;
    }
    out = value;
    return true;
  }

  static int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  // \uXXXX outside the surrogates; a pair is left to nlohmann.
  bool unicodeEscape(std::string& out) {
    if (end_ - p_ < 4) return false;
    std::uint32_t code = 0;
    for (int k = 0; k < 4; ++k) {
      const int digit = hexDigit(p_[k]);
      if (digit < 0) return false;
      code = (code << 4) | static_cast<std::uint32_t>(digit);
    }
    if (code >= 0xd800 && code <= 0xdfff) return false;
    p_ += 4;
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xc0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3f)));
    } else {
      out.push_back(static_cast<char>(0xe0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3f)));
    }
    return true;
  }

  // A string, opening quote included.
  bool string(std::string& out) {
    if (!eat('"')) return false;
    const char* plain = p_;
    while (p_ != end_) {
      const auto c = static_cast<unsigned char>(*p_);
      if (kPlain[c]) {
        ++p_;
        continue;
      }
      if (c == '"') {
        out.append(plain, p_);
        ++p_;
        return true;
      }
      if (c < 0x20) return false;
      if (c >= 0x80) {
        const int length = utf8Sequence(reinterpret_cast<const unsigned char*>(p_), static_cast<std::size_t>(end_ - p_));
        if (length < 0) return false;
        p_ += length;
        continue;
      }
      out.append(plain, p_);
      if (++p_ == end_) return false;
      switch (*p_++) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case '/': out.push_back('/'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u':
          if (!unicodeEscape(out)) return false;
          break;
        default: return false;
      }
      plain = p_;
    }
    return false;
  }

  bool array(XPCValues& out) {
    if (!eat('[')) return false;
    skipSpace();
    if (eat(']')) return true;
    out.reserve(8);  // helper calls carry a handful of values: one allocation
    do {
      skipSpace();
      if (p_ == end_) return false;
      switch (*p_) {
        case '"':
          if (!string(std::get<std::string>(out.emplace_back(std::in_place_type<std::string>)))) return false;
          break;
        case 'n':
          if (!known("null")) return false;
          out.emplace_back(std::monostate{});
          break;
        case 't':
          if (!known("true")) return false;
          out.emplace_back(true);
          break;
        case 'f':
          if (!known("false")) return false;
          out.emplace_back(false);
          break;
        default: return false;
      }
      skipSpace();
    } while (eat(','));
    return eat(']');
  }

  const char* p_;
  const char* end_;
};

}  // namespace

namespace reference {

std::string encodeBody(const Message& message) {
  json object = json::object();
  if (auto request = std::get_if<Request>(&message)) {
    object["selector"] = request->selector;
    object["arguments"] = toJson(request->arguments);
    if (request->id) object["id"] = *request->id;
  } else {
    const auto& reply = std::get<Reply>(message);
    object["id"] = reply.id;
    object["values"] = toJson(reply.values);
  }
  return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<Message> decodeBody(std::string_view body, std::string* error) {
  // The parser keeps its own stack, so deeply nested input cannot exhaust ours.
  json object = json::parse(body.begin(), body.end(), nullptr, false);
  if (object.is_discarded()) {
    fail(error, "the frame is not valid JSON");
    return std::nullopt;
  }
  if (!object.is_object()) {
    fail(error, "the frame is not a JSON object");
    return std::nullopt;
  }
  if (object.contains("selector")) return readRequest(object, error);
  if (object.contains("values")) return readReply(object, error);
  fail(error, "the frame is neither a request nor a reply");
  return std::nullopt;
}

}  // namespace reference

namespace {

template <typename Shape>
std::string bodyOf(const Shape& message) {
  std::string body;
  body.reserve(estimatedBody(message));
  appendBody(body, message);
  return body;
}

template <typename Shape>
std::optional<std::string> frameOf(const Shape& message) {
  std::string frame;
  frame.reserve(kHeaderBytes + estimatedBody(message));
  frame.append(kHeaderBytes, '\0');
  appendBody(frame, message);
  const std::size_t length = frame.size() - kHeaderBytes;
  if (length > kMaxFrameBytes) return std::nullopt;
  putHeader(frame.data(), static_cast<std::uint32_t>(length));
  return frame;
}

}  // namespace

std::string encodeBody(const Message& message) {
  return std::visit([](const auto& shape) { return bodyOf(shape); }, message);
}
std::string encodeBody(const Request& request) { return bodyOf(request); }
std::string encodeBody(const Reply& reply) { return bodyOf(reply); }

std::string frameHeader(std::uint32_t length) {
  std::string header(kHeaderBytes, '\0');
  putHeader(header.data(), length);
  return header;
}

std::optional<std::string> encodeFrame(const Message& message) {
  return std::visit([](const auto& shape) { return frameOf(shape); }, message);
}
std::optional<std::string> encodeFrame(const Request& request) { return frameOf(request); }
std::optional<std::string> encodeFrame(const Reply& reply) { return frameOf(reply); }

std::optional<Message> decodeBody(std::string_view body, std::string* error) {
  if (auto message = Reader(body).message()) return message;
  return reference::decodeBody(body, error);
}

void FrameDecoder::feed(std::string_view bytes) {
  if (failed()) return;
  if (head_ == buffer_.size()) {
    // Nothing held: decode straight from |bytes| and keep only an unfinished tail.
    buffer_.clear();
    head_ = 0;
    const std::size_t used = parseFrames(bytes);
    if (!failed()) buffer_.assign(bytes.substr(used));
  } else {
    // Moving the held bytes costs no more than the frames already taken from before them.
    if (head_ >= buffer_.size() - head_) {
      buffer_.erase(0, head_);
      head_ = 0;
    }
    buffer_.append(bytes);
    head_ += parseFrames(std::string_view(buffer_).substr(head_));
  }
  if (failed()) {
    buffer_.clear();
    buffer_.shrink_to_fit();
    head_ = 0;
  }
}

std::size_t FrameDecoder::parseFrames(std::string_view bytes) {
  std::size_t offset = 0;
  while (bytes.size() - offset >= kHeaderBytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + offset);
    const std::uint32_t length = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                                 (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
    if (length > kMaxFrameBytes) {
      error_ = "a frame of " + std::to_string(length) + " bytes is over the limit";
      break;
    }
    if (bytes.size() - offset - kHeaderBytes < length) break;
    std::string error;
    auto message = decodeBody(bytes.substr(offset + kHeaderBytes, length), &error);
    if (!message) {
      error_ = std::move(error);
      break;
    }
    ready_.push_back(std::move(*message));
    offset += kHeaderBytes + length;
  }
  return offset;
}

std::optional<Message> FrameDecoder::next() {
  if (ready_.empty()) return std::nullopt;
  Message message = std::move(ready_.front());
  ready_.pop_front();
  return message;
}

}  // namespace platform::linux_backend::wire
