// The host as a process that cleans up after itself: started with standard
// descriptors closed, ended by a signal, left by its output's reader, its output not
// read at all, or given a system root too long for its sockets. Each ends on its own,
// with its status.
#include <limits.h>
#include <signal.h>

#include <cstdio>
#include <cstring>

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

TEST(HostLifecycle, ASignalEndsTheHostCleanlyEvenMidInstallation) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(::strsignal(signal));
    TempRoot root;
    HostProcess host(root);
    // The installation starts with the first call; the signal comes while it is
    // under way or just after.
    host.call("access");
    ASSERT_EQ(::kill(host.pid(), signal), 0);
    EXPECT_EQ(host.wait(), 128 + signal);
    for (const char* folder : {"Library/PrivilegedHelperTools", "Library/LaunchDaemons"}) {
      for (const auto& name : namesIn(root.path() / folder)) EXPECT_FALSE(name.starts_with(".")) << name;
    }
  }
  // Idle, after an answer, its input still open: the same.
  TempRoot root;
  HostProcess host(root);
  EXPECT_EQ(host.answer(host.call("print", {{"message", "hello"}})), nullResult(1, "print"));
  ASSERT_EQ(::kill(host.pid(), SIGTERM), 0);
  EXPECT_EQ(host.wait(), 128 + SIGTERM);
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
