// The floor of a start-up: a process that reads one line on standard input and
// answers it with one line on standard output, "=> " and the line it read, then ends.
// Nothing but the C library's read and write: what any program pays to be spawned,
// loaded and scheduled, and nothing the host does of its own.
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

int main() {
  static constexpr char kPrefix[] = "=> ";
  constexpr std::size_t kPrefixSize = sizeof kPrefix - 1;
  char answer[4096];
  std::memcpy(answer, kPrefix, kPrefixSize);
  std::size_t size = kPrefixSize;
  bool complete = false;
  while (!complete && size < sizeof answer) {
    const ssize_t n = ::read(STDIN_FILENO, answer + size, sizeof answer - size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 1;
    complete = std::memchr(answer + size, '\n', static_cast<std::size_t>(n)) != nullptr;
    size += static_cast<std::size_t>(n);
  }
  if (!complete) return 1;
  // Up to the first line feed only: the answer is one line.
  size = static_cast<std::size_t>(static_cast<char*>(std::memchr(answer, '\n', size)) - answer) + 1;
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::write(STDOUT_FILENO, answer + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 1;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}
