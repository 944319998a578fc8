#include "platform/linux/detached_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <set>

#include "platform/linux/private_log.h"
#include "platform/linux/unique_fd.h"

extern char** environ;

namespace platform::linux_backend {
namespace {

// Only async-signal-safe calls may run between fork and exec, so everything the
// child needs is prepared before it. Writes |value| in decimal at |out|, which has
// room for it and a terminator.
void formatNumber(long value, char* out) {
  char digits[24];
  int count = 0;
  unsigned long v = value < 0 ? 0 : static_cast<unsigned long>(value);
  do {
    digits[count++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0 && count < 23);
  for (int i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
  out[count] = '\0';
}

std::string variableName(const std::string& entry) { return entry.substr(0, entry.find('=')); }

UniqueFd highCopy(int fd) { return UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 10)); }

}  // namespace

Expected<pid_t> startDetached(const DetachedLaunch& launch) {
  if (launch.arguments.empty() || launch.arguments.front().empty()) {
    return fail("no program to start");
  }
  std::vector<std::string> arguments = launch.arguments;
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (auto& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::set<std::string> replaced = {"LISTEN_FDS", "LISTEN_PID", "LISTEN_FDNAMES"};
  for (const auto& entry : launch.environment) replaced.insert(variableName(entry));
  std::vector<std::string> environment;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string entry(*e);
    if (replaced.count(variableName(entry)) == 0) environment.push_back(std::move(entry));
  }
  environment.insert(environment.end(), launch.environment.begin(), launch.environment.end());
  environment.emplace_back("LISTEN_FDS=1");
  std::vector<char*> envp;
  envp.reserve(environment.size() + 2);
  for (auto& entry : environment) envp.push_back(entry.data());
  // LISTEN_PID names the program's own process, known only in the child.
  std::array<char, 40> listenPid{};
  std::memcpy(listenPid.data(), "LISTEN_PID=", 11);
  envp.push_back(listenPid.data());
  envp.push_back(nullptr);

  // High copies, so that placing them at 0 to 3 in the child cannot clobber one another.
  UniqueFd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
  UniqueFd log = openPrivateLog(launch.logFile);
  if (!log) {
    return fail("Couldn't open the log " + launch.logFile.string() + ": " + std::strerror(errno));
  }
  UniqueFd in = devNull ? highCopy(devNull.get()) : UniqueFd();
  UniqueFd out = highCopy(log.get());
  UniqueFd socket = highCopy(launch.listeningSocket);
  if (!out || !socket) {
    return fail(std::string("Couldn't prepare the descriptors for the program: ") + std::strerror(errno));
  }

  // The intermediate process reports the program's id through this pipe, and the
  // program, when it cannot be executed, the error number through the second one,
  // whose writing end its exec closes otherwise.
  int report[2];
  int execution[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    return fail(std::string("Couldn't start the program: ") + std::strerror(errno));
  }
  UniqueFd reportRead(report[0]), reportWrite(report[1]);
  if (::pipe2(execution, O_CLOEXEC) != 0) {
    return fail(std::string("Couldn't start the program: ") + std::strerror(errno));
  }
  UniqueFd executionRead(execution[0]);
  UniqueFd executionWrite = highCopy(execution[1]);
  ::close(execution[1]);
  if (!executionWrite) return fail(std::string("Couldn't start the program: ") + std::strerror(errno));

  const pid_t intermediate = ::fork();
  if (intermediate < 0) {
    return fail(std::string("Couldn't start the program: ") + std::strerror(errno));
  }
  if (intermediate == 0) {
    // A session of its own, then a second fork: the program is reparented away and
    // is nobody's zombie here.
    ::setsid();
    const pid_t child = ::fork();
    if (child != 0) {
      if (child > 0 && ::write(reportWrite.get(), &child, sizeof(child)) != static_cast<ssize_t>(sizeof(child))) ::_exit(1);
      ::_exit(child < 0 ? 1 : 0);
    }

    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    ::sigaction(SIGPIPE, &defaults, nullptr);
    ::sigaction(SIGCHLD, &defaults, nullptr);

    if (in) ::dup2(in.get(), 0);
    ::dup2(out.get(), 1);
    ::dup2(out.get(), 2);
    ::dup2(socket.get(), 3);
    ::dup3(executionWrite.get(), 4, O_CLOEXEC);
    // Nothing else of the starter's leaks into the program.
    if (::close_range(5, ~0U, 0) != 0) {
      for (int fd = 5; fd < 4096; ++fd) ::close(fd);
    }
    formatNumber(::getpid(), listenPid.data() + 11);
    if (::chdir("/") != 0) {
      // Stays where it was started; harmless.
    }
    ::execve(argv[0], argv.data(), envp.data());
    const int failure = errno;
    if (::write(4, &failure, sizeof(failure)) != static_cast<ssize_t>(sizeof(failure))) {
      // The starter sees the program end at once instead.
    }
    ::_exit(127);
  }

  reportWrite.reset();
  executionWrite.reset();
  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(intermediate, &status, 0);
  } while (waited < 0 && errno == EINTR);
  // ECHILD: someone else reaped it (SIGCHLD ignored or a reaper of its own).
  if (waited == intermediate && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
    return fail("Couldn't start the program " + launch.arguments.front());
  }
  pid_t reported = 0;
  ssize_t n;
  do {
    n = ::read(reportRead.get(), &reported, sizeof(reported));
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(sizeof(reported)) || reported <= 0) {
    return fail("Couldn't start the program " + launch.arguments.front());
  }
  // Nothing comes once the program runs: the pipe's last writer went with the exec.
  int failure = 0;
  do {
    n = ::read(executionRead.get(), &failure, sizeof(failure));
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof(failure))) {
    return fail("Couldn't execute " + launch.arguments.front() + ": " + std::strerror(failure));
  }
  return reported;
}

}  // namespace platform::linux_backend
