// Standard output, and the unified log beside it. Each diagnostic line, escaped to
// one line as platform::print does (escaping twice changes nothing), goes out in one
// write under one lock, so lines written from several queues never interleave.
//
// An app started from the Finder or the Dock writes its standard output nowhere, so
// every line goes to the unified log as well (subsystem com.veltrino.app), where
// `log stream --predicate 'subsystem == "com.veltrino.app"'` shows it. The host's own
// texts are public there; an error description or the interface's message is
// private, redacted unless a developer enables private data.
#include <fcntl.h>
#include <os/log.h>
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
  // A reader that went away (the app run from a terminal into `head`, say) turns a
  // write into EPIPE, not into SIGPIPE, which would end the app.
  StandardOutputLines() : log_(os_log_create("com.veltrino.app", "host")) {
    ::fcntl(STDOUT_FILENO, F_SETNOSIGPIPE, 1);
  }

  void writeLine(std::string_view line) override {
    const std::string text = platform::asOneLine(line);
    os_log(log_, "%{public}s", text.c_str());
    write(text);
  }

  void writeDiagnostic(std::string_view text, std::string_view detail) override {
    const std::string own = platform::asOneLine(text);
    const std::string reported = platform::asOneLine(detail);
    os_log(log_, "%{public}s%{private}s", own.c_str(), reported.c_str());
    write(own + reported);
  }

 private:
  void write(std::string out) {
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

  os_log_t log_;
  std::mutex mutex_;
};

}  // namespace

platform::StandardOutput& standardOutput() {
  static StandardOutputLines* const output = new StandardOutputLines;
  return *output;
}

}  // namespace macos_backend
