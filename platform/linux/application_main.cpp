// The Linux runtime's NSApplicationMain: reads the command line, installs the
// runtime backend (Asio loops, the rooted file system, the service namespace, the
// console or the channel socket that stands in for the Flutter view), loads the main
// nib and runs the main queue until the application terminates, which it does once
// the input has ended and every call read has been answered.
//
// As a process it cleans up after itself: it never writes a core file; descriptors
// 0, 1 and 2 that came closed are opened on /dev/null before anything else is opened;
// SIGTERM and SIGINT, at any moment from its start, quit the application as its Quit
// command does (the runtime is torn down, answers still owed are dropped, an
// installation under way finishes or removes its temporary file) and the process
// then exits with 128 + the signal's number, as a shell shows a process a signal
// ended (a second signal ends it at once); a reader that closed
// standard output quits it as an application whose window went away, with status 0;
// and a system root whose service sockets could not be bound (a Unix socket's path
// is at most 107 bytes), or that another user could have arranged, is refused at
// start with status 2.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/appkit.h"
#include "platform/linux/channel_socket_messenger.h"
#include "platform/linux/console_messenger.h"
#include "platform/linux/launch_ownership.h"
#include "platform/linux/line_writer.h"
#include "platform/linux/runtime.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSystemRootVariable = "VELTRINO_SYSTEM_ROOT";

// Standard input, output and error keep their numbers whatever the host opens: one
// that came closed is opened on /dev/null first, so no socket or file of the host's
// ever takes its number and gets answers written into it.
void reserveStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", O_RDWR);  // the lowest free number: |fd|
    if (opened < 0) ::_exit(2);                      // nowhere to say so
    if (opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

// SIGTERM and SIGINT, turned into a quit on the main queue. Taken up from the first
// thing the host does: the handler only writes the signal's number to a pipe, and a
// signal that comes before there is an application to quit waits there until start()
// hands it on. A thread of its own posts the quit.
class TerminationSignals {
 public:
  TerminationSignals() {
    if (::pipe2(pipe_, O_CLOEXEC) == 0) writeEnd_.store(pipe_[1]);
    struct sigaction action {};
    action.sa_handler = &TerminationSignals::handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
  }
  template <typename Quit>
  void start(Quit quit) {
    if (pipe_[0] < 0 || reader_.joinable()) return;
    reader_ = std::thread([this, quit] {
      unsigned char signal = 0;
      for (;;) {
        const ssize_t n = ::read(pipe_[0], &signal, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || signal == 0) return;  // 0: the host is done
        quit();
      }
    });
  }
  ~TerminationSignals() {
    if (!reader_.joinable()) return;
    const unsigned char done = 0;
    while (::write(pipe_[1], &done, 1) < 0 && errno == EINTR) {
    }
    reader_.join();
    // Leaves the handler: a late signal still ends the process, at once.
    ::close(pipe_[0]);
  }
  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

  // The signal that asked the host to quit, or 0.
  static int received() { return received_.load(); }

 private:
  static void handle(int signal) {
    int expected = 0;
    if (!received_.compare_exchange_strong(expected, signal)) ::_exit(128 + expected);
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    const int fd = writeEnd_.load();
    if (fd < 0 || ::write(fd, &byte, 1) != 1) ::_exit(128 + signal);
    errno = saved;
  }

  static inline std::atomic<int> received_{0};
  static inline std::atomic<int> writeEnd_{-1};
  int pipe_[2] = {-1, -1};
  std::thread reader_;
};

// The host holds the interface's tokens in memory, so it never leaves a core file,
// whatever limit it was started with; its helpers inherit the limit.
void forbidCoreDumps() {
  const rlimit none{0, 0};
  ::setrlimit(RLIMIT_CORE, &none);
}

// A Unix socket's path holds at most this many bytes before its terminating zero.
constexpr std::size_t kSocketPathLimit = sizeof(sockaddr_un{}.sun_path) - 1;

// The longest service socket the root may need: one per helper the bundle carries,
// under var/run (a one-letter label when it carries none).
std::size_t longestSocketPath(const fs::path& root, const fs::path& bundle, fs::path& longest) {
  std::vector<std::string> labels = {"x"};
  std::error_code ec;
  for (fs::directory_iterator it(bundle / "Contents/Library/LaunchServices", ec), end; !ec && it != end;
       it.increment(ec)) {
    labels.push_back(it->path().filename().string());
  }
  for (const auto& label : labels) {
    const fs::path socket = root / "var/run" / (label + ".sock");
    if (socket.native().size() > longest.native().size()) longest = socket;
  }
  return longest.native().size();
}

struct Options {
  fs::path systemRoot;
  fs::path bundle;
  fs::path channelSocket;  // empty: the console
};

void usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [--system-root DIR] [--bundle DIR] [--channel-socket PATH]\n"
               "  --system-root DIR  folder standing for the file system root (default: $%s, else %s)\n"
               "  --bundle DIR       the application bundle, X.app (default: %s)\n"
               "  --channel-socket PATH  take binary channel messages on a Unix socket at PATH\n"
               "Otherwise reads one method call per line on standard input: METHOD [JSON-ARGUMENTS].\n",
               program, kSystemRootVariable, VELTRINO_DEFAULT_SYSTEM_ROOT, VELTRINO_DEFAULT_BUNDLE);
}

// Exits with status 2 on a bad command line, as a command-line tool does.
Options parseOptions(int argc, char* argv[]) {
  Options options;
  std::optional<fs::path> root;
  options.bundle = VELTRINO_DEFAULT_BUNDLE;
  const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "veltrino-host";
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> fs::path {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        std::fprintf(stderr, "%s: %s needs a path\n", program, argv[i]);
        usage(program);
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--system-root") {
      root = value();
    } else if (arg == "--bundle") {
      options.bundle = value();
    } else if (arg == "--channel-socket") {
      options.channelSocket = value();
    } else if (arg == "--help" || arg == "-h") {
      usage(program);
      std::exit(0);
    } else {
      std::fprintf(stderr, "%s: unknown argument '%s'\n", program, argv[i]);
      usage(program);
      std::exit(2);
    }
  }
  if (!root) {
    const char* fromEnvironment = std::getenv(kSystemRootVariable);
    root = fromEnvironment != nullptr && *fromEnvironment != '\0' ? fs::path(fromEnvironment)
                                                                  : fs::path(VELTRINO_DEFAULT_SYSTEM_ROOT);
  }
  std::error_code error;
  // One made here is the host's alone to write, whatever the umask.
  if (fs::create_directories(*root, error)) fs::permissions(*root, fs::perms(0755), error);
  if (error || !fs::is_directory(*root)) {
    std::fprintf(stderr, "%s: cannot use %s as the system root: %s\n", program, root->c_str(),
                 error ? error.message().c_str() : "not a folder");
    std::exit(2);
  }
  options.systemRoot = fs::canonical(*root);
  // As launchd trusts only its own folders: a root that another user could have
  // arranged would have the host install, start and talk to what that user put there.
  if (auto trusted = linux_backend::checkSystemRoot(options.systemRoot); !trusted) {
    std::fprintf(stderr, "%s: refused the system root %s: %s\n", program, options.systemRoot.c_str(),
                 trusted.error().c_str());
    std::exit(2);
  }
  options.bundle = fs::absolute(options.bundle);
  if (!fs::is_directory(options.bundle)) {
    // Not fatal: the host runs without its bundle, with empty helper versions and
    // nothing to install; say so where a person looks.
    std::fprintf(stderr, "%s: warning: no application bundle at %s\n", program, options.bundle.c_str());
  }
  fs::path socket;
  if (const std::size_t length = longestSocketPath(options.systemRoot, options.bundle, socket);
      length > kSocketPathLimit) {
    std::fprintf(stderr,
                 "%s: the system root %s is too long: its service socket %s would take %zu bytes, and a Unix "
                 "socket's path takes at most %zu\n",
                 program, options.systemRoot.c_str(), socket.c_str(), length, kSocketPathLimit);
    std::exit(2);
  }
  return options;
}

}  // namespace

int NSApplicationMain(int argc, char* argv[], NSMainNibLoader loadMainNib) {
  forbidCoreDumps();
  reserveStandardDescriptors();
  auto signals = std::make_unique<TerminationSignals>();
  // A reader that went away must not kill the host mid-write: the write fails with
  // EPIPE instead, and standard output's writer quits the application.
  ::signal(SIGPIPE, SIG_IGN);
  const Options options = parseOptions(argc, argv);

  using namespace linux_backend;
  auto runtime = std::make_unique<LinuxRuntime>(options.systemRoot, options.bundle);
  MainRunLoop* queue = &runtime->mainQueue();
  std::shared_ptr<HostMessenger> messenger;
  if (options.channelSocket.empty()) {
    messenger = std::make_shared<ConsoleMessenger>(*queue, LineWriter::standardOutput(), LineWriter::standardError(),
                                                   ConsoleMessenger::Options{});
  } else {
    try {
      messenger = std::make_shared<ChannelSocketMessenger>(*queue, LineWriter::standardOutput(), options.channelSocket);
    } catch (const std::runtime_error& error) {
      std::fprintf(stderr, "%s: %s\n", argc > 0 && argv[0] != nullptr ? argv[0] : "veltrino-host", error.what());
      runtime.reset();
      std::exit(2);  // as for a bad command line: the caller's main does not look at our return
    }
  }
  runtime->install(messenger);

  if (options.channelSocket.empty() && ::isatty(STDIN_FILENO) != 0) {
    std::fprintf(stderr,
                 "Veltrino host. System root: %s\nOne call per line: METHOD [JSON arguments], e.g. "
                 "set_hive {\"ip\":\"10.0.0.1\",\"port\":\"443\",\"hive\":\"eu-1\"}. End with Ctrl-D.\n",
                 options.systemRoot.c_str());
  }

  auto application = NSApplication::sharedApplication();
  application->setTerminationHandler([queue] { queue->stop(); });
  // Quits posted from other threads: the signals' thread and whichever thread found
  // standard output's reader gone.
  auto quit = [queue, weak = std::weak_ptr<NSApplication>(application)] {
    queue->async([weak] {
      if (auto app = weak.lock(); app && !app->isTerminated()) app->terminate(nullptr);
    });
  };
  signals->start(quit);
  // On the console, standard output is the interface; with a channel socket it only
  // carries diagnostics.
  if (options.channelSocket.empty()) LineWriter::standardOutput().onReaderGone(quit);
  queue->async([application, messenger, loadMainNib] {
    loadMainNib(*application);
    application->finishLaunching();
    // Held weakly: the messenger keeps this until its input ends, and the application
    // holds the messenger, so a strong hold would keep both (and the messenger's reader)
    // alive past the runtime when the host quits before its input ends.
    messenger->start([weak = std::weak_ptr<NSApplication>(application)] {
      if (auto app = weak.lock()) app->terminate(nullptr);
    });
  });
  queue->keepAlive();
  if (!application->isTerminated()) queue->run();

  // Take everything down in dependency order: the interface and the application's
  // objects (and with them the plug-in and its connection, which flushes what it
  // sent; answers still owed are dropped), then the runtime, which from then on
  // drops what the connections still bring.
  LineWriter::standardOutput().onReaderGone(nullptr);
  signals.reset();
  messenger.reset();
  NSApplication::setSharedApplication(nullptr);
  application.reset();
  runtime.reset();
  // What still waits to be written goes out before the process ends, however slowly
  // its reader reads; a signal from here on ends the process at once, its handler
  // having no quit left to post. After a signal, an output that takes nothing for a
  // moment is not waited for.
  const int signal = TerminationSignals::received();
  const auto patience = signal != 0 ? std::optional(std::chrono::milliseconds(200)) : std::nullopt;
  LineWriter::standardOutput().flush(patience);
  LineWriter::standardError().flush(patience);
  if (signal != 0) std::exit(128 + signal);
  return 0;
}

}  // namespace platform
