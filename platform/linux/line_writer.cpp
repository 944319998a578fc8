#include "platform/linux/line_writer.h"

#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace platform::linux_backend {
namespace {

// Room the waiting bytes keep once written, so that a queue that grew large once is
// given back rather than held for the rest of the run.
constexpr std::size_t kKeptCapacity = std::size_t{64} * 1024;

std::string droppedReport(std::uint64_t count) {
  return std::to_string(count) + (count == 1 ? " diagnostic line was" : " diagnostic lines were") +
         " dropped: this output was not being read";
}

}  // namespace

LineWriter::LineWriter(int fd, OutputLimits limits) : fd_(fd), limits_(limits) {
  struct stat status {};
  const mode_t type = ::fstat(fd, &status) == 0 ? status.st_mode & S_IFMT : 0;
  if (type == S_IFREG || type == S_IFBLK) {
    access_ = Access::kBlocking;  // a file takes what it is given without a reader
  } else if (type == S_IFSOCK) {
    access_ = Access::kSocket;
  } else {
    // A pipe or a terminal, whose flags other processes share: the descriptor is
    // left blocking, and written only as much as poll() says it takes at once.
    access_ = Access::kPolled;
  }
}

LineWriter::~LineWriter() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  kick_.wake();
  if (thread_.joinable()) thread_.join();
}

LineWriter::Written LineWriter::writeSome(std::string_view data) const {
  std::size_t done = 0;
  while (done < data.size()) {
    std::size_t piece = data.size() - done;
    ssize_t n = 0;
    if (access_ == Access::kSocket) {
      n = ::send(fd_, data.data() + done, piece, MSG_DONTWAIT | MSG_NOSIGNAL);
    } else {
      if (access_ == Access::kPolled) {
        // A pipe that poll() finds writable has a page free, and a write of at most
        // PIPE_BUF bytes then neither waits nor splits.
        pollfd ready{fd_, POLLOUT, 0};
        if (::poll(&ready, 1, 0) == 0) return {done, Outcome::kWouldBlock};
        piece = std::min<std::size_t>(piece, PIPE_BUF);
      }
      n = ::write(fd_, data.data() + done, piece);
    }
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return {done, Outcome::kWouldBlock};
    } else {
      // Zero never comes from a pipe, file or terminal: do not spin on it.
      return {done, n < 0 && errno == EPIPE ? Outcome::kGone : Outcome::kFailed};
    }
  }
  return {done, Outcome::kAll};
}

void LineWriter::consume(std::size_t bytes) {
  queueStart_ += bytes;
  if (queueStart_ == queue_.size()) {
    if (queue_.capacity() > kKeptCapacity) {
      std::string().swap(queue_);
    } else {
      queue_.clear();
    }
    queueStart_ = 0;
  } else if (queueStart_ >= kKeptCapacity && queueStart_ * 2 >= queue_.size()) {
    queue_.erase(0, queueStart_);
    queueStart_ = 0;
  }
}

void LineWriter::updateRoom() {
  if (room_.isOpen() && waiting() >= limits_.bound) {
    room_.set(false);
  } else if (!room_.isOpen() && waiting() <= limits_.bound / 2) {
    room_.set(true);
  }
  // Said once the descriptor takes data again, after what was waiting before it.
  if (dropped_ > 0 && waiting() <= limits_.bound / 2) {
    queue_ += droppedReport(std::exchange(dropped_, 0));
    queue_ += '\n';
  }
}

std::function<void()> LineWriter::readerGone() {
  gone_ = true;
  consume(waiting());
  room_.set(true);
  progress_.notify_all();
  if (!goneHandler_) return nullptr;
  handlerRunning_ = true;
  return [this, handler = std::exchange(goneHandler_, nullptr)] {
    handler();
    std::lock_guard lock(mutex_);
    handlerRunning_ = false;
    progress_.notify_all();
  };
}

bool LineWriter::writeLine(std::string_view line, Kind kind) {
  std::string buffer;
  buffer.reserve(line.size() + 1);
  // Whatever the line holds, it stays one line: nothing in it can forge another.
  appendAsOneLine(buffer, line);
  buffer.push_back('\n');

  std::function<void()> gone;
  {
    std::lock_guard lock(mutex_);
    if (gone_) return false;
    if (kind == Kind::kDiagnostic && waiting() >= limits_.dropLimit) {
      ++dropped_;
      return false;
    }
    if (waiting() > 0) {
      queue_ += buffer;  // the writer's thread is on it
      updateRoom();
      return true;
    }
    const Written written = writeSome(buffer);
    if (written.outcome == Outcome::kAll) return true;
    if (written.outcome == Outcome::kFailed) return false;
    if (written.outcome == Outcome::kWouldBlock) {
      queue_.append(buffer, written.bytes);
      updateRoom();
      if (thread_.joinable()) {
        kick_.wake();
      } else {
        thread_ = std::thread([this] { run(); });
      }
      return true;
    }
    gone = readerGone();
  }
  if (gone) gone();
  return false;
}

void LineWriter::run() {
  for (;;) {
    bool lines = false;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      lines = waiting() > 0;
    }
    pollfd fds[2] = {{kick_.readEnd(), POLLIN, 0}, {lines ? fd_ : -1, POLLOUT, 0}};
    if (::poll(fds, 2, -1) < 0) continue;  // EINTR; nothing else can fail here
    if (fds[0].revents != 0) kick_.drain();
    if (fds[1].revents != 0) writeWaiting();
  }
}

void LineWriter::writeWaiting() {
  std::function<void()> gone;
  {
    std::lock_guard lock(mutex_);
    const Written written = writeSome(std::string_view(queue_).substr(queueStart_));
    consume(written.bytes);
    written_ += written.bytes;
    if (written.outcome == Outcome::kGone) {
      gone = readerGone();
    } else {
      // A descriptor that failed loses what waited, as a line written to it straight
      // away would be; the next lines try it again.
      if (written.outcome == Outcome::kFailed) consume(waiting());
      updateRoom();
      progress_.notify_all();
    }
  }
  if (gone) gone();
}

void LineWriter::onReaderGone(std::function<void()> handler) {
  std::unique_lock lock(mutex_);
  // Whoever replaces the handler may then free what it uses.
  progress_.wait(lock, [&] { return !handlerRunning_; });
  goneHandler_ = std::move(handler);
}

bool LineWriter::flush(std::optional<std::chrono::milliseconds> patience) {
  std::unique_lock lock(mutex_);
  while (waiting() > 0 && !gone_) {
    if (!patience) {
      progress_.wait(lock);
      continue;
    }
    const std::uint64_t before = written_;
    if (!progress_.wait_for(lock, *patience, [&] { return waiting() == 0 || gone_ || written_ != before; })) {
      return false;
    }
  }
  return waiting() == 0;
}

LineWriter& LineWriter::standardOutput() {
  static LineWriter& writer = *new LineWriter(STDOUT_FILENO);
  return writer;
}

LineWriter& LineWriter::standardError() {
  static LineWriter& writer = *new LineWriter(STDERR_FILENO);
  return writer;
}

}  // namespace platform::linux_backend
