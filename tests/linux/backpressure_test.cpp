// What the host's outputs and messengers do when their reader does not read: a
// writer never makes its caller wait and holds a bounded amount, and a messenger
// stops handing requests on at its bound, goes on at half of it, and still closes a
// client that sends a malformed frame meanwhile. The messengers' main queue is run
// by the test, so what is handed on waits there until the test answers it.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/linux/channel_socket_messenger.h"
#include "platform/linux/console_messenger.h"
#include "platform/linux/line_writer.h"
#include "platform/linux/main_queue.h"

namespace linux_test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace platform;
using namespace platform::linux_backend;

struct Pipe {
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
  }
  UniqueFd readEnd, writeEnd;
};

// The lines read from |fd| until one holding |last|; fails the test when it does not
// come within ten seconds.
std::vector<std::string> linesUntil(int fd, const std::string& last) {
  std::vector<std::string> lines;
  std::string pending;
  pollfd ready{fd, POLLIN, 0};
  while (std::none_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(last) != l.npos; })) {
    char buffer[65536];
    if (::poll(&ready, 1, 10000) != 1) {
      ADD_FAILURE() << "no line with \"" << last << "\" in ten seconds";
      break;
    }
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
      lines.push_back(pending.substr(0, end));
    }
  }
  return lines;
}

TEST(BackpressureTest, AWriterWhoseReaderDoesNotReadNeverWaitsAndDropsOnlyDiagnosticsPastItsLimit) {
  Pipe pipe;
  constexpr std::size_t kBound = 64 * 1024, kDropLimit = 256 * 1024;
  LineWriter writer(pipe.writeEnd.get(), {.bound = kBound, .dropLimit = kDropLimit});
  const std::string line(999, 'x');
  std::size_t accepted = 0, dropped = 0;
  for (int i = 0; i < 1000; ++i) ++(writer.writeLine(line) ? accepted : dropped);
  EXPECT_FALSE(writer.room().isOpen()) << "more than the bound waits";
  // What the pipe holds (64 KiB), the drop limit and the line that crossed it.
  EXPECT_LE(accepted * 1000, 64 * 1024 + kDropLimit + 1000);
  EXPECT_GT(dropped, 0u);
  EXPECT_TRUE(writer.writeLine("an answer", LineWriter::Kind::kEssential)) << "past the drop limit";
  EXPECT_FALSE(writer.flush(50ms)) << "the pipe took nothing";

  // Once read: every line taken, in order, then the count of those dropped.
  const std::string report = std::to_string(dropped) + " diagnostic lines were dropped: this output was not being read";
  std::vector<std::string> expected(accepted, line);
  expected.push_back("an answer");
  expected.push_back(report);
  EXPECT_EQ(linesUntil(pipe.readEnd.get(), report), expected);
  EXPECT_TRUE(writer.room().isOpen());
  EXPECT_TRUE(writer.flush(10s));
}

// Both messengers write their diagnostics here.
struct DevNull {
  UniqueFd fd{::open("/dev/null", O_WRONLY | O_CLOEXEC)};
  LineWriter writer{fd.get()};
};

TEST(BackpressureTest, TheConsoleHandsOnNoCallPastItsBoundAndGoesOnAtHalf) {
  MainRunLoop queue;
  queue.keepAlive();  // waits for what the reader posts
  DevNull output;
  Pipe input;
  std::vector<FlutterBinaryReply> owed;
  ConsoleMessenger::Options options;
  options.inputFd = input.readEnd.get();
  options.limits.owedCalls = 4;
  ConsoleMessenger console(queue, output.writer, output.writer, options);
  console.setMessageHandlerOnChannel("c", [&](FlutterMessageView, FlutterBinaryReply reply) {
    owed.push_back(std::move(reply));
  });
  bool finished = false;
  console.start([&] { finished = true; });
  const std::string lines = "m\nm\nm\nm\nm\nm\nm\nm\nm\nm\n";
  ASSERT_EQ(::write(input.writeEnd.get(), lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
  input.writeEnd.reset();

  const auto handedOn = [&](std::size_t count) {
    while (owed.size() < count && queue.runOneFor(10s)) {
    }
    return owed.size();
  };
  EXPECT_EQ(handedOn(4), 4u);
  EXPECT_FALSE(queue.runOneFor(100ms)) << "a fifth call while four are owed";
  std::move(owed[0])({});
  EXPECT_FALSE(queue.runOneFor(100ms)) << "a call while three are owed";
  std::move(owed[1])({});  // two owed: half the bound
  EXPECT_EQ(handedOn(6), 6u);

  // Answered as they come, the rest go through and the end of input finishes it.
  std::size_t answered = 2;
  do {
    for (; answered < owed.size(); ++answered) std::move(owed[answered])({});
  } while (!finished && queue.runOneFor(10s));
  EXPECT_TRUE(finished);
  EXPECT_EQ(owed.size(), 10u);
}

TEST(BackpressureTest, AChannelClientHeldBackIsStillClosedAtOnceByAMalformedFrame) {
  MainRunLoop queue;
  queue.keepAlive();
  DevNull output;
  std::string folder = (fs::temp_directory_path() / "backpressure-XXXXXX").string();
  ASSERT_NE(::mkdtemp(folder.data()), nullptr);
  const fs::path path = fs::path(folder) / "host.sock";
  std::vector<FlutterBinaryReply> owed;
  {
    MessengerLimits limits;
    limits.owedCalls = 2;
    ChannelSocketMessenger messenger(queue, output.writer, path, limits);
    messenger.setMessageHandlerOnChannel("c", [&](FlutterMessageView, FlutterBinaryReply reply) {
      owed.push_back(std::move(reply));
    });
    messenger.start([] {});
    UniqueFd client(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    path.native().copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    // Five requests on "c", each a 7-byte frame with an empty message, then a length
    // that cannot hold a request.
    std::vector<std::uint8_t> bytes;
    for (std::uint8_t id = 1; id <= 5; ++id) bytes.insert(bytes.end(), {7, 0, 0, 0, id, 0, 0, 0, 1, 0, 'c'});
    bytes.insert(bytes.end(), {5, 0, 0, 0, 6, 0, 0, 0, 0});
    ASSERT_EQ(::send(client.get(), bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));

    // Two are handed on and owed; the fault behind the rest closes the client all the same.
    pollfd closed{client.get(), POLLIN, 0};
    std::uint8_t byte = 0;
    ASSERT_EQ(::poll(&closed, 1, 10000), 1) << "waited ten seconds for the client to be closed";
    EXPECT_EQ(::recv(client.get(), &byte, 1, 0), 0);
    // What came before the fault is handed on, as it always was.
    while (owed.size() < 5 && queue.runOneFor(10s)) {
    }
    EXPECT_EQ(owed.size(), 5u);
  }
  owed.clear();
  fs::remove_all(folder);
}

}  // namespace
}  // namespace linux_test
