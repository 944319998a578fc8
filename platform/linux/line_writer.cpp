#include "platform/linux/line_writer.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/output.h"

namespace platform::linux_backend {

bool LineWriter::writeLine(std::string_view line) {
  std::string buffer;
  buffer.reserve(line.size() + 1);
  // Whatever the line holds, it stays one line: nothing in it can forge another.
  appendAsOneLine(buffer, line);
  buffer.push_back('\n');

  std::function<void()> gone;
  {
    std::lock_guard lock(mutex_);
    if (gone_) return false;
    std::string_view rest = buffer;
    while (!rest.empty()) {
      const ssize_t written = ::write(fd_, rest.data(), rest.size());
      if (written < 0) {
        if (errno == EINTR) continue;
        if (errno != EPIPE) return false;
        gone_ = true;
        gone = std::move(goneHandler_);
        break;
      }
      if (written == 0) return false;  // never for a pipe, file or terminal; do not spin
      rest.remove_prefix(static_cast<std::size_t>(written));
    }
    if (!gone_) return true;
  }
  if (gone) gone();
  return false;
}

void LineWriter::onReaderGone(std::function<void()> handler) {
  std::lock_guard lock(mutex_);
  goneHandler_ = std::move(handler);
}

LineWriter& LineWriter::standardOutput() {
  static LineWriter writer(STDOUT_FILENO);
  return writer;
}

LineWriter& LineWriter::standardError() {
  static LineWriter writer(STDERR_FILENO);
  return writer;
}

}  // namespace platform::linux_backend
