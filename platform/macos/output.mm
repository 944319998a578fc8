// Standard output: each diagnostic line, escaped to one line as platform::print does
// (escaping twice changes nothing), goes out in one write under one lock, so lines
// written from several queues never interleave.
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "platform/macos/cocoa.h"
#include "platform/output.h"

namespace macos_backend {
namespace {

class StandardOutputLines final : public platform::StandardOutput {
 public:
  void writeLine(std::string_view line) override {
    std::string out;
    platform::appendAsOneLine(out, line);
    out.push_back('\n');
    std::lock_guard lock(mutex_);
    const char* next = out.data();
    std::size_t left = out.size();
    while (left > 0) {
      const ssize_t written = ::write(STDOUT_FILENO, next, left);
      if (written < 0 && errno == EINTR) continue;
      // The reader is gone: the line is lost, as a print to a closed stdout is.
      if (written <= 0) return;
      next += written;
      left -= static_cast<std::size_t>(written);
    }
  }

 private:
  std::mutex mutex_;
};

}  // namespace

platform::StandardOutput& standardOutput() {
  static StandardOutputLines* const output = new StandardOutputLines;
  return *output;
}

}  // namespace macos_backend
