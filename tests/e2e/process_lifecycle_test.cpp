// The host as a process that cleans up after itself: started with standard
// descriptors closed, ended by a signal, left by its output's reader, its output not
// read at all, or given a system root too long for its sockets. Each ends on its own,
// with its status.
#include <limits.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "expectations.h"

namespace e2e {
namespace {

std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> out;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    out.push_back(it->path().filename().string());
  }
  return out;
}

TEST(HostLifecycle, ClosedStandardDescriptorsAreReservedAndTheHostStillEnds) {
  for (const std::set<int>& closed : {std::set<int>{0}, {1}, {2}, {1, 2}, {0, 1, 2}}) {
    SCOPED_TRACE(::testing::PrintToString(closed));
    TempRoot root;
    HostProcess host(root, {.closed = closed});
    std::vector<std::string> expected;  // input ends at once when it is closed: nothing is called
    if (closed.count(0) == 0) {
      host.call("print", {{"message", "hello"}});
      expected = {"=> " + nullResult(1, "print").dump(), "hello"};
    }
    EXPECT_EQ(host.finish(), 0);
    // Lines of the answer and the print may come in either order.
    if (closed.count(1) == 0) {
      EXPECT_THAT(host.standardOutput(), ::testing::UnorderedElementsAreArray(expected));
    }
    // Whatever was written to a closed output went nowhere, least of all into another.
    EXPECT_THAT(host.standardError(), Not(HasSubstr("=> ")));
  }
}

// Core files allowed while it lives, as a user who wants them would start the host;
// whether this machine writes them into a process's working folder at all.
class CoreFilesAllowed {
 public:
  CoreFilesAllowed() {
    ::getrlimit(RLIMIT_CORE, &previous_);
    const rlimit raised{previous_.rlim_max, previous_.rlim_max};
    ::setrlimit(RLIMIT_CORE, &raised);
    // A small program that aborts in a folder of its own shows where cores go.
    const TempRoot probe;
    const pid_t child = ::fork();
    if (child == 0) {
      if (::chdir(probe.outside().c_str()) == 0) ::execl("/bin/sh", "sh", "-c", "kill -ABRT $$", nullptr);
      ::_exit(1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    land_ = !probe.writtenOutside().empty();
  }
  ~CoreFilesAllowed() { ::setrlimit(RLIMIT_CORE, &previous_); }
  CoreFilesAllowed(const CoreFilesAllowed&) = delete;
  CoreFilesAllowed& operator=(const CoreFilesAllowed&) = delete;
  bool landInWorkingFolder() const { return land_; }

 private:
  rlimit previous_{};
  bool land_ = false;
};

// The host's working folder is the root's outside folder: a core file would land there.
void expectNoCoreFile(const TempRoot& root, const CoreFilesAllowed& cores) {
  if (cores.landInWorkingFolder()) {
    EXPECT_THAT(root.writtenOutside(), IsEmpty()) << "a core file";
  }
}

// The first access installs the helper, starts it and checks its build, with the
// version reply coming back on the connection's queue: a signal at any moment of it
// quits the host as its Quit does, and so does one while a reply is still on its way.
TEST(HostLifecycle, ASignalAtAnyMomentOfTheFirstInstallationEndsTheHostCleanly) {
  const CoreFilesAllowed cores;
  for (const int signal : {SIGTERM, SIGINT}) {
    for (int delay = 0; delay <= 100; delay += signal == SIGTERM ? 5 : 50) {
      SCOPED_TRACE(std::string(::strsignal(signal)) + " after " + std::to_string(delay) + " ms");
      TempRoot root;
      HostProcess host(root);
      host.call("access");
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      ASSERT_EQ(::kill(host.pid(), signal), 0);
      // Its input ends as it goes, too.
      EXPECT_EQ(host.finish(), 128 + signal);
      EXPECT_THAT(host.standardError(), Not(HasSubstr("platform:")));
      for (const char* folder : {"Library/PrivilegedHelperTools", "Library/LaunchDaemons"}) {
        for (const auto& name : namesIn(root.path() / folder)) EXPECT_FALSE(name.starts_with(".")) << name;
      }
      expectNoCoreFile(root, cores);
    }
  }
  // The version reply arrives after the signal, while the host is going.
  TempRoot root;
  root.installHelper({"--reply-delay-ms", "300", "--late-reply", "getVersion"});
  HostProcess host(root);
  host.call("access");
  ASSERT_TRUE(root.waitForOps(1)) << "the helper never got the version query";
  ASSERT_EQ(::kill(host.pid(), SIGTERM), 0);
  EXPECT_EQ(host.wait(), 128 + SIGTERM);
  EXPECT_THAT(host.standardError(), Not(HasSubstr("platform:")));
  expectNoCoreFile(root, cores);
}

// Idle, after an answer, its input still open: the same. And a host that holds a
// token and crashes all the same leaves no core file with it.
TEST(HostLifecycle, AnIdleHostEndsOnASignalAndACrashedOneLeavesNoCore) {
  const CoreFilesAllowed cores;
  TempRoot root;
  HostProcess host(root);
  EXPECT_EQ(host.answer(host.call("print", {{"message", "hello"}})), nullResult(1, "print"));
  ASSERT_EQ(::kill(host.pid(), SIGTERM), 0);
  EXPECT_EQ(host.wait(), 128 + SIGTERM);

  TempRoot crashing;
  HostProcess holder(crashing);
  const int id = holder.call("set_token", kToken);
  EXPECT_EQ(holder.answer(id), nullResult(id, "set_token"));
  ASSERT_EQ(::kill(holder.pid(), SIGABRT), 0);
  EXPECT_EQ(holder.wait(), 128 + SIGABRT);
  expectNoCoreFile(crashing, cores);
}

// A sanitizer's own work at exit (the leak check, say) is not the host's.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr auto kPromptExit = 1000ms;
#else
constexpr auto kPromptExit = 100ms;
#endif

// With a helper reached and a reply still awaited, a signal ends the host at once:
// the answers owed are dropped, and nothing waits for a helper that answers late or
// never. The helper got what was sent before.
TEST(HostLifecycle, ASignalWithAHelperConnectedEndsTheHostAtOnce) {
  TempRoot root;
  root.installHelper({"--reply-delay-ms", "3000"});
  HostProcess host(root);
  host.call("set_rules", kRules);
  ASSERT_TRUE(root.waitForOps(1)) << "waited for the helper to get the call";
  const auto signalled = std::chrono::steady_clock::now();
  ASSERT_EQ(::kill(host.pid(), SIGTERM), 0);
  EXPECT_EQ(host.wait(), 128 + SIGTERM);
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, kPromptExit);
  EXPECT_THAT(root.opNames(), ElementsAre("#1 setRule"));
}

TEST(HostLifecycle, AReaderThatClosedStandardOutputEndsTheHost) {
  TempRoot root;
  HostProcess host(root, {.outputUnread = true});
  // Input stays open: only the answer's failed write can end the host.
  host.call("print", {{"message", "hello"}});
  EXPECT_EQ(host.wait(), 0);
}

// Calls for ten seconds, and standard output a pipe that nobody reads: the host stops
// reading its input rather than hold more and more, and a signal still ends it.
TEST(HostLifecycle, AConsoleWhoseOutputNobodyReadsStaysBoundedAndASignalEndsIt) {
  TempRoot root;
  HostProcess host(root, {.outputHeld = true});
  std::string prints;  // as many calls as the input takes whole in one write
  while (prints.size() + 6 <= PIPE_BUF) prints += "print\n";
  offerFor(10s, [&] { return host.trySend(prints); });
  const Memory memory = host.memory();
  const auto [status, took] = sigterm(host);
  std::printf("[ figures  ] %d calls sent in 10 s; the host peaked at %ld kB resident; SIGTERM ended it in %lld ms\n",
              host.callsSent(), memory.hwmKb, static_cast<long long>(took.count()));
  EXPECT_EQ(status, 128 + SIGTERM) << "waited 10 s for the host to end after SIGTERM";
  EXPECT_LT(took, 3s);
  if (!kSanitized) {
    EXPECT_LT(memory.hwmKb, kUnreadHostPeakKb) << "peak resident memory, kB";
  }
}

TEST(HostLifecycle, ASystemRootTooLongForItsSocketIsRefusedAtStart) {
  // The socket is <root>/var/run/<label>.sock; a Unix socket's path takes 107 bytes.
  for (const std::size_t length : {std::size_t{107}, std::size_t{108}}) {
    SCOPED_TRACE(length);
    TempRoot base;
    const std::size_t room = length - base.serviceSocket().string().size() - 1;
    const fs::path root = base.path() / std::string(room, 'r');
    HostProcess host(base, {.systemRoot = root});
    if (length <= 107) {
      EXPECT_EQ(host.finish(), 0);
      EXPECT_THAT(host.standardError(), Not(HasSubstr("too long")));
    } else {
      EXPECT_EQ(host.finish(), 2);
      EXPECT_THAT(host.standardError(), HasSubstr("is too long"));
      EXPECT_THAT(namesIn(root), IsEmpty());
    }
  }
}

}  // namespace
}  // namespace e2e
