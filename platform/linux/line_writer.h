// Whole lines to a file descriptor. Diagnostics and console answers are written from
// several threads; each line goes out in one write under one lock, so no two lines
// ever interleave mid-line.
#pragma once

#include <functional>
#include <mutex>
#include <string_view>

#include "platform/output.h"

namespace platform::linux_backend {

class LineWriter {
 public:
  // Writes to |fd|, which stays open and owned by the caller.
  explicit LineWriter(int fd) : fd_(fd) {}
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Writes |line| and a line feed. False when the descriptor no longer takes data;
  // the line is then lost, as a print to a closed stdout is.
  bool writeLine(std::string_view line);

  // |handler| runs once, on the writing thread and outside the lock, when the
  // descriptor's reader has gone (EPIPE: SIGPIPE must be ignored). Lines after that
  // are dropped without a write.
  void onReaderGone(std::function<void()> handler);

  // The process-wide writers of standard output and standard error.
  static LineWriter& standardOutput();
  static LineWriter& standardError();

 private:
  const int fd_;
  std::mutex mutex_;
  bool gone_ = false;
  std::function<void()> goneHandler_;
};

class LinuxStandardOutput final : public StandardOutput {
 public:
  explicit LinuxStandardOutput(LineWriter& writer = LineWriter::standardOutput()) : writer_(writer) {}
  void writeLine(std::string_view line) override { writer_.writeLine(line); }

 private:
  LineWriter& writer_;
};

}  // namespace platform::linux_backend
