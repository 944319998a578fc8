#include "platform/linux/wire.h"

#include <nlohmann/json.hpp>

namespace platform::linux_backend::wire {
namespace {

using nlohmann::json;

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

}  // namespace

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

std::string frameHeader(std::uint32_t length) {
  std::string header(kHeaderBytes, '\0');
  header[0] = static_cast<char>((length >> 24) & 0xff);
  header[1] = static_cast<char>((length >> 16) & 0xff);
  header[2] = static_cast<char>((length >> 8) & 0xff);
  header[3] = static_cast<char>(length & 0xff);
  return header;
}

std::optional<std::string> encodeFrame(const Message& message) {
  std::string body = encodeBody(message);
  if (body.size() > kMaxFrameBytes) return std::nullopt;
  return frameHeader(static_cast<std::uint32_t>(body.size())) + body;
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

void FrameDecoder::feed(std::string_view bytes) {
  if (failed()) return;
  buffer_.append(bytes);
  parseFrames();
}

void FrameDecoder::parseFrames() {
  std::size_t offset = 0;
  while (!failed() && buffer_.size() - offset >= kHeaderBytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(buffer_.data() + offset);
    const std::uint32_t length = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                                 (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
    if (length > kMaxFrameBytes) {
      error_ = "a frame of " + std::to_string(length) + " bytes is over the limit";
      break;
    }
    if (buffer_.size() - offset - kHeaderBytes < length) break;
    std::string error;
    auto message = decodeBody(std::string_view(buffer_).substr(offset + kHeaderBytes, length), &error);
    if (!message) {
      error_ = std::move(error);
      break;
    }
    ready_.push_back(std::move(*message));
    offset += kHeaderBytes + length;
  }
  if (failed()) {
    buffer_.clear();
    buffer_.shrink_to_fit();
  } else {
    buffer_.erase(0, offset);
  }
}

std::optional<Message> FrameDecoder::next() {
  if (ready_.empty()) return std::nullopt;
  Message message = std::move(ready_.front());
  ready_.pop_front();
  return message;
}

}  // namespace platform::linux_backend::wire
