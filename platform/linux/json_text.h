// JSON text written by hand where a parse tree would cost more than the text itself:
// wire frames, answer lines and the helper's log. The bytes are the ones that
// nlohmann-json's dump (no indentation, UTF-8 kept, bad bytes replaced) writes for the
// same value, so readers see no difference: only '"', '\\' and control characters are
// escaped (the short forms where JSON has one, else \u00xx in lower case), other bytes
// stay as they are, and ill-formed UTF-8 becomes U+FFFD.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/xpc.h"

namespace platform::linux_backend::json_text {

// Bytes that a string copies as they are: printable ASCII but '"' and '\\'.
inline constexpr std::array<bool, 256> kPlain = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x80; ++c) plain[c] = c != '"' && c != '\\';
  return plain;
}();

// The sequence that starts with the non-ASCII byte p[0], of |n| bytes available:
// its length when it is well formed (RFC 3629: no overlong forms, no surrogates,
// nothing past U+10FFFF). Otherwise minus the length of its longest prefix that could
// still have begun one, at least 1: nlohmann's replacing dump puts one U+FFFD for
// exactly those bytes and reads on from the first one that did not fit.
int utf8Sequence(const unsigned char* p, std::size_t n);

// Appends |text| as a quoted JSON string.
void appendString(std::string& out, std::string_view text);

// Appends |value| in decimal.
void appendUnsigned(std::string& out, std::uint64_t value);

// Appends |values| as an array: booleans, strings, and null for no value.
void appendValues(std::string& out, const XPCValues& values);

}  // namespace platform::linux_backend::json_text
