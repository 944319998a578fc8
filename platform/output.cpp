#include "platform/output.h"

namespace platform {

void appendAsOneLine(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.reserve(out.size() + text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) {
      out.push_back(c);
      continue;
    }
    switch (byte) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        out += "\\u00";
        out.push_back(kHex[byte >> 4]);
        out.push_back(kHex[byte & 0xf]);
    }
  }
}

void StandardOutput::writeDiagnostic(std::string_view text, std::string_view detail) {
  std::string line(text);
  line += detail;
  writeLine(line);
}

std::string asOneLine(std::string_view text) {
  std::string line;
  appendAsOneLine(line, text);
  return line;
}

}  // namespace platform
