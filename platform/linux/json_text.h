// JSON text written by hand where a parse tree would cost more than the text itself:
// wire frames, answer lines and the helper's log. The bytes are the ones that
// nlohmann-json's dump (no indentation, UTF-8 kept, bad bytes replaced) writes for the
// same value, so readers see no difference.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform::linux_backend::json_text {

// Appends |text| as a quoted JSON string. Bytes that are not valid UTF-8 become
// U+FFFD.
void appendString(std::string& out, std::string_view text);

// Appends |value| in decimal.
void appendUnsigned(std::string& out, std::uint64_t value);

}  // namespace platform::linux_backend::json_text
