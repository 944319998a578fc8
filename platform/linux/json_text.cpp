#include "platform/linux/json_text.h"

#include <charconv>
#include <nlohmann/json.hpp>

namespace platform::linux_backend::json_text {

void appendString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  // Text other than ASCII is rare here, and replacing bad UTF-8 exactly as the library
  // does is the library's business: such strings are left to it.
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      out += nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
      return;
    }
  }
  out.reserve(out.size() + text.size() + 2);
  out.push_back('"');
  std::size_t plain = 0;  // start of the run not yet copied
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
    out.append(text.data() + plain, i - plain);
    plain = i + 1;
    out.push_back('\\');
    switch (byte) {
      case '"': out.push_back('"'); break;
      case '\\': out.push_back('\\'); break;
      case '\b': out.push_back('b'); break;
      case '\f': out.push_back('f'); break;
      case '\n': out.push_back('n'); break;
      case '\r': out.push_back('r'); break;
      case '\t': out.push_back('t'); break;
      default:
        out += "u00";
        out.push_back(kHex[byte >> 4]);
        out.push_back(kHex[byte & 0xf]);
        break;
    }
  }
  out.append(text.data() + plain, text.size() - plain);
  out.push_back('"');
}

void appendUnsigned(std::string& out, std::uint64_t value) {
  char digits[20];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

}  // namespace platform::linux_backend::json_text
