// Preloaded into a host under test to tell how many bytes its allocator has handed
// out and not had back. Resident memory cannot tell that: glibc keeps a burst's
// pages, and where the next burst's blocks land (arena, heap top, a fresh mapping)
// moves it by megabytes from run to run.
//
// HEAP_PROBE_FD names a socket the host inherited. For every byte read from it, one
// line goes back: the bytes in use, in decimal. The probe answers from a
// thread of its own, so a question never waits for the host's threads; mallinfo2
// takes the allocator's locks like any allocation would.
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

int probe = -1;

void* answerLoop(void*) {
  char request;
  for (ssize_t n; (n = ::read(probe, &request, 1)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return nullptr;
    const struct mallinfo2 info = ::mallinfo2();
    char line[32];
    const int length = std::snprintf(line, sizeof line, "%zu\n", info.uordblks + info.hblkhd);
    // A line this short goes whole into a stream socket's buffer.
    if (::send(probe, line, static_cast<std::size_t>(length), MSG_NOSIGNAL) != length) return nullptr;
  }
  return nullptr;  // the test has gone
}

__attribute__((constructor)) void startProbe() {
  const char* fd = std::getenv("HEAP_PROBE_FD");
  if (fd == nullptr || std::sscanf(fd, "%d", &probe) != 1) return;
  // Neither the programs the host starts nor their environment get the probe.
  ::unsetenv("HEAP_PROBE_FD");
  ::unsetenv("LD_PRELOAD");
  if (::fcntl(probe, F_SETFD, FD_CLOEXEC) != 0) return;
  pthread_t thread;
  if (::pthread_create(&thread, nullptr, answerLoop, nullptr) == 0) ::pthread_detach(thread);
}

}  // namespace
