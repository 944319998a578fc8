// The host as a process that cleans up after itself: started with standard
// descriptors closed, ended by a signal, left by its output's reader, or given a
// system root too long for its sockets. Each ends on its own, with its status.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host_process.h"

extern char** environ;

namespace e2e {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

const std::string kLabel = "com.veltrino.mac.helper";

// A host whose standard descriptors are ours to close: each one not in |closed| is a
// pipe whose other end we hold.
class RawHost {
 public:
  RawHost(const fs::path& root, const std::set<int>& closed) {
    int pipes[3][2];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd < 3; ++fd) {
      if (closed.count(fd) != 0) {
        posix_spawn_file_actions_addclose(&actions, fd);
        continue;
      }
      if (::pipe2(pipes[fd], O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
      const int child = fd == 0 ? pipes[fd][0] : pipes[fd][1];
      ours_[fd] = fd == 0 ? pipes[fd][1] : pipes[fd][0];
      theirs_.push_back(child);
      posix_spawn_file_actions_adddup2(&actions, child, fd);
    }
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry(*e);
      if (!entry.starts_with("VELTRINO_")) env.push_back(entry);
    }
    std::vector<std::string> args = {VELTRINO_HOST_PATH, "--system-root", root.string(), "--bundle",
                                     VELTRINO_BUNDLE_PATH};
    auto pointers = [](std::vector<std::string>& strings) {
      std::vector<char*> out;
      for (auto& s : strings) out.push_back(s.data());
      out.push_back(nullptr);
      return out;
    };
    auto argv = pointers(args);
    auto envp = pointers(env);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : theirs_) ::close(fd);
    if (rc != 0) throw std::runtime_error("cannot start the host");
  }
  ~RawHost() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : ours_) {
      if (fd >= 0) ::close(fd);
    }
  }

  pid_t pid() const { return pid_; }
  void send(const std::string& text) { ASSERT_EQ(::write(ours_[0], text.data(), text.size()), ssize_t(text.size())); }
  void close(int fd) {
    ::close(ours_[fd]);
    ours_[fd] = -1;
  }
  // Everything on |fd| until it ends, or what came within |timeout|.
  std::string readAll(int fd, std::chrono::milliseconds timeout = 20s) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd ready{ours_[fd], POLLIN, 0};
      if (::poll(&ready, 1, 100) <= 0) continue;
      const ssize_t n = ::read(ours_[fd], buffer, sizeof buffer);
      if (n <= 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }
  // The exit status (128 + the signal when one ended it), or -1 when it is still
  // running after |timeout|.
  int wait(std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) != pid_) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(10ms);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int ours_[3] = {-1, -1, -1};
  std::vector<int> theirs_;
};

const std::string kPrint = "print {\"message\":\"hello\"}\n";

TEST(HostLifecycle, ClosedStandardDescriptorsAreReservedAndTheHostStillEnds) {
  struct Row {
    std::set<int> closed;
    const char* expectedOutput;  // on standard output when it is open
  };
  const Row rows[] = {
      {{0}, ""},  // input ends at once: nothing is called
      {{1}, nullptr},
      {{2}, "=> {\"id\":1,\"method\":\"print\",\"result\":null}\nhello\n"},
      {{1, 2}, nullptr},
      {{0, 1, 2}, nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.closed));
    TempRoot root;
    RawHost host(root.path(), row.closed);
    if (row.closed.count(0) == 0) {
      host.send(kPrint);
      host.close(0);
    }
    std::string output, error;
    if (row.closed.count(1) == 0) output = host.readAll(1);
    if (row.closed.count(2) == 0) error = host.readAll(2);
    EXPECT_EQ(host.wait(), 0);
    if (row.expectedOutput != nullptr) {
      // Lines of the answer and the print may come in either order.
      std::vector<std::string> lines, expected;
      for (std::string_view rest = output; !rest.empty();) {
        const auto end = rest.find('\n');
        lines.emplace_back(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
      }
      for (std::string_view rest = row.expectedOutput; !rest.empty();) {
        const auto end = rest.find('\n');
        expected.emplace_back(rest.substr(0, end));
        rest.remove_prefix(end + 1);
      }
      EXPECT_THAT(lines, ::testing::UnorderedElementsAreArray(expected));
    }
    // Whatever was written to a closed output went nowhere, least of all into another.
    EXPECT_THAT(error, Not(HasSubstr("=> ")));
  }
}

std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> out;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    out.push_back(it->path().filename().string());
  }
  return out;
}

TEST(HostLifecycle, ASignalEndsTheHostCleanlyEvenMidInstallation) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(::strsignal(signal));
    TempRoot root;
    RawHost host(root.path(), {});
    // The installation starts with the first call; the signal comes while it is
    // under way or just after.
    host.send("access\n");
    ASSERT_EQ(::kill(host.pid(), signal), 0);
    EXPECT_EQ(host.wait(), 128 + signal);
    for (const char* folder : {"Library/PrivilegedHelperTools", "Library/LaunchDaemons"}) {
      for (const auto& name : namesIn(root.path() / folder)) EXPECT_FALSE(name.starts_with(".")) << name;
    }
    root.killHelpers();
  }
  // Idle, after an answer: the same.
  TempRoot root;
  RawHost host(root.path(), {});
  host.send(kPrint);
  std::string output;
  while (output.find("\"print\"") == std::string::npos) {
    const std::string more = host.readAll(1, 200ms);
    ASSERT_TRUE(host.wait(0ms) == -1) << "the host ended before the signal";
    output += more;
  }
  ASSERT_EQ(::kill(host.pid(), SIGTERM), 0);
  EXPECT_EQ(host.wait(), 128 + SIGTERM);
}

TEST(HostLifecycle, AReaderThatClosedStandardOutputEndsTheHost) {
  TempRoot root;
  RawHost host(root.path(), {});
  host.close(1);
  // Input stays open: only the answer's failed write can end the host.
  host.send(kPrint);
  EXPECT_EQ(host.wait(), 0);
}

TEST(HostLifecycle, ASystemRootTooLongForItsSocketIsRefusedAtStart) {
  // The socket is <root>/var/run/<label>.sock; a Unix socket's path takes 107 bytes.
  const std::size_t suffix = std::string("/var/run/" + kLabel + ".sock").size();
  for (const std::size_t length : {std::size_t{107}, std::size_t{108}}) {
    SCOPED_TRACE(length);
    TempRoot base;
    const std::size_t room = length - suffix - base.path().string().size() - 1;
    const fs::path root = base.path() / std::string(room, 'r');
    RawHost host(root, {});
    host.close(0);
    const std::string error = host.readAll(2);
    if (length <= 107) {
      EXPECT_EQ(host.wait(), 0);
      EXPECT_THAT(error, Not(HasSubstr("too long")));
    } else {
      EXPECT_EQ(host.wait(), 2);
      EXPECT_THAT(error, HasSubstr("is too long"));
      EXPECT_THAT(namesIn(root), IsEmpty());
    }
  }
}

}  // namespace
}  // namespace e2e
