// Standard output, where the host writes its diagnostic lines.
#pragma once

#include <string>
#include <string_view>

namespace platform {

class StandardOutput {
 public:
  virtual ~StandardOutput() = default;
  // Writes |line| and one line feed as one indivisible write.
  virtual void writeLine(std::string_view line) = 0;
  // The same for a line made of the host's own |text| followed by |detail|, a text
  // that is not the host's (an error description, the interface's message). A
  // backend that also keeps the line in a log outliving the process keeps |detail|
  // private there; by default the two are written as one line.
  virtual void writeDiagnostic(std::string_view text, std::string_view detail);
};

// Writes one item followed by a line feed, as the platform's print does. The item is
// written as one line, whatever it holds: see appendAsOneLine.
void print(std::string_view item);
// The same for the host's own |text| followed by |reported|, an error description or
// the interface's own message, which is not the host's to publish (writeDiagnostic).
void print(std::string_view text, std::string_view reported);

// Appends |text| so that it cannot start a new line or move the terminal: a line
// feed, carriage return, NUL or other control character (DEL included) is written as
// the escape a JSON string uses for it (\n, \r, \t, \b, \f, else \u00xx). Every
// other byte, a backslash included, is copied as it is, so a plain text is unchanged
// and escaping twice changes nothing more.
void appendAsOneLine(std::string& out, std::string_view text);
std::string asOneLine(std::string_view text);

}  // namespace platform
