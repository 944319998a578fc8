// Standard output, where the host writes its diagnostic lines.
#pragma once

#include <string_view>

namespace platform {

class StandardOutput {
 public:
  virtual ~StandardOutput() = default;
  // Writes |line| and one line feed as one indivisible write.
  virtual void writeLine(std::string_view line) = 0;
};

// Writes one item followed by a line feed, as the platform's print does.
void print(std::string_view item);

}  // namespace platform
