// Whole lines to a file descriptor, without ever waiting for its reader.
// Diagnostics and console answers are written from several threads; each line goes
// out whole and no two lines interleave. A caller that finds the descriptor ready
// writes at once; otherwise the line waits in memory and a thread of the writer's
// own writes it as the descriptor takes data. So no caller, the main queue least of
// all, ever waits on a reader that has stopped reading.
//
// What waits is kept bounded in two ways. The host's readers of requests stop
// reading while more than |bound| bytes wait (room() is closed) and go on once the
// descriptor has taken all but half of it. And a diagnostic line offered while more
// than |dropLimit| bytes wait is dropped and counted; once the descriptor has taken
// data again, one line says how many were dropped. An essential line (a console
// answer) is never dropped: the host bounds those by the calls it lets wait.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/linux/wake_pipe.h"
#include "platform/output.h"

namespace platform::linux_backend {

struct OutputLimits {
  std::size_t bound = std::size_t{1} * 1024 * 1024;
  std::size_t dropLimit = std::size_t{32} * 1024 * 1024;
};

class LineWriter {
 public:
  enum class Kind { kDiagnostic, kEssential };

  // Writes to |fd|, which stays open and owned by the caller.
  explicit LineWriter(int fd, OutputLimits limits = {});
  // Stops the writer's thread; lines still waiting are dropped.
  ~LineWriter();
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Writes |line| and a line feed, or leaves them waiting; never waits itself. False
  // when the line will not be written: the descriptor's reader has gone, the
  // descriptor failed (the line is lost, as a print to a broken output is), or a
  // diagnostic was dropped.
  bool writeLine(std::string_view line, Kind kind = Kind::kDiagnostic);

  // Open while fewer than |bound| bytes wait, and again once the waiting bytes are
  // down to half of it: a reader of requests polls it while it is closed.
  const Gate& room() const { return room_; }

  // |handler| runs once, outside the lock, on whichever thread met EPIPE (SIGPIPE
  // must be ignored), when the descriptor's reader has gone. Lines after that, and
  // those waiting, are dropped without a write. Waits for a handler that is running.
  void onReaderGone(std::function<void()> handler);

  // Waits until every waiting line is written or the reader has gone; with
  // |patience|, gives up once the descriptor has taken nothing for that long. True
  // when nothing is left waiting.
  bool flush(std::optional<std::chrono::milliseconds> patience = std::nullopt);

  // The process-wide writers of standard output and standard error. Never destroyed:
  // a thread may still be waiting on a reader that never reads when the process ends.
  static LineWriter& standardOutput();
  static LineWriter& standardError();

 private:
  enum class Outcome { kAll, kWouldBlock, kGone, kFailed };
  struct Written {
    std::size_t bytes;
    Outcome outcome;
  };

  // The rest of these run under |mutex_|.
  Written writeSome(std::string_view data) const;
  std::size_t waiting() const { return queue_.size() - queueStart_; }
  void consume(std::size_t bytes);
  void updateRoom();
  std::function<void()> readerGone();
  // On the writer's thread.
  void run();
  void writeWaiting();

  const int fd_;
  const OutputLimits limits_;
  enum class Access { kBlocking, kPolled, kSocket } access_;
  Gate room_{true};
  WakePipe kick_;  // wakes the writer's thread: lines wait, or it is to stop
  std::mutex mutex_;
  std::condition_variable progress_;
  std::string queue_;  // waiting bytes from queueStart_ on
  std::size_t queueStart_ = 0;
  std::uint64_t written_ = 0;  // bytes the writer's thread wrote, for flush's patience
  std::uint64_t dropped_ = 0;  // diagnostic lines dropped and not yet reported
  bool gone_ = false;
  bool stopping_ = false;
  std::function<void()> goneHandler_;
  bool handlerRunning_ = false;
  std::thread thread_;  // started the first time a line has to wait
};

class LinuxStandardOutput final : public StandardOutput {
 public:
  explicit LinuxStandardOutput(LineWriter& writer = LineWriter::standardOutput()) : writer_(writer) {}
  void writeLine(std::string_view line) override { writer_.writeLine(line); }

 private:
  LineWriter& writer_;
};

}  // namespace platform::linux_backend
