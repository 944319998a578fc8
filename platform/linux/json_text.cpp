#include "platform/linux/json_text.h"

#include <charconv>
#include <limits>

namespace platform::linux_backend::json_text {

int utf8Sequence(const unsigned char* p, std::size_t n) {
  const unsigned char lead = p[0];
  std::size_t need = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    need = 1;
  } else if (lead == 0xe0) {
    need = 2;
    low = 0xa0;
  } else if (lead == 0xed) {
    need = 2;
    high = 0x9f;
  } else if (lead >= 0xe1 && lead <= 0xef) {
    need = 2;
  } else if (lead == 0xf0) {
    need = 3;
    low = 0x90;
  } else if (lead == 0xf4) {
    need = 3;
    high = 0x8f;
  } else if (lead >= 0xf1 && lead <= 0xf3) {
    need = 3;
  } else {
    return -1;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (k >= n || p[k] < low || p[k] > high) return -static_cast<int>(k);
    low = 0x80;
    high = 0xbf;
  }
  return static_cast<int>(need + 1);
}

void appendString(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  out.push_back('"');
  std::size_t plain = 0;  // start of the bytes not yet copied
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (kPlain[c]) {
      ++i;
      continue;
    }
    if (c >= 0x80) {
      const int length = utf8Sequence(p + i, n - i);
      if (length > 0) {
        i += static_cast<std::size_t>(length);
        continue;
      }
      out.append(s.data() + plain, i - plain);
      out.append("\xef\xbf\xbd");
      i += static_cast<std::size_t>(-length);
      plain = i;
      continue;
    }
    out.append(s.data() + plain, i - plain);
    switch (c) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\b': out.append("\\b"); break;
      case '\f': out.append("\\f"); break;
      case '\n': out.append("\\n"); break;
      case '\r': out.append("\\r"); break;
      case '\t': out.append("\\t"); break;
      default: {
        const char escaped[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xf]};
        out.append(escaped, sizeof escaped);
      }
    }
    plain = ++i;
  }
  out.append(s.data() + plain, n - plain);
  out.push_back('"');
}

void appendUnsigned(std::string& out, std::uint64_t value) {
  char digits[std::numeric_limits<std::uint64_t>::digits10 + 1];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, static_cast<std::size_t>(end - digits));
}

void appendValues(std::string& out, const XPCValues& values) {
  out.push_back('[');
  bool first = true;
  for (const auto& value : values) {
    if (!first) out.push_back(',');
    first = false;
    if (auto b = std::get_if<bool>(&value)) {
      out.append(*b ? "true" : "false");
    } else if (auto s = std::get_if<std::string>(&value)) {
      appendString(out, *s);
    } else {
      out.append("null");
    }
  }
  out.push_back(']');
}

}  // namespace platform::linux_backend::json_text
