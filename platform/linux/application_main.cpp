// The Linux runtime's NSApplicationMain: reads the command line, installs the
// runtime backend (Asio loops, the rooted file system, the service namespace, the
// console or the channel socket that stands in for the Flutter view), loads the main
// nib and runs the main queue until the application terminates, which it does once
// the input has ended and every call read has been answered.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/appkit.h"
#include "platform/linux/channel_socket_messenger.h"
#include "platform/linux/console_messenger.h"
#include "platform/linux/line_writer.h"
#include "platform/linux/runtime.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSystemRootVariable = "VELTRINO_SYSTEM_ROOT";

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
  fs::create_directories(*root, error);
  if (error || !fs::is_directory(*root)) {
    std::fprintf(stderr, "%s: cannot use %s as the system root: %s\n", program, root->c_str(),
                 error ? error.message().c_str() : "not a folder");
    std::exit(2);
  }
  options.systemRoot = fs::canonical(*root);
  options.bundle = fs::absolute(options.bundle);
  if (!fs::is_directory(options.bundle)) {
    // Not fatal: the host runs without its bundle, with empty helper versions and
    // nothing to install; say so where a person looks.
    std::fprintf(stderr, "%s: warning: no application bundle at %s\n", program, options.bundle.c_str());
  }
  return options;
}

}  // namespace

int NSApplicationMain(int argc, char* argv[], NSMainNibLoader loadMainNib) {
  const Options options = parseOptions(argc, argv);
  // A reader that went away must not kill the host mid-write.
  ::signal(SIGPIPE, SIG_IGN);

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
  queue->async([application, messenger, loadMainNib] {
    loadMainNib(*application);
    application->finishLaunching();
    messenger->start([application] { application->terminate(nullptr); });
  });
  queue->keepAlive();
  if (!application->isTerminated()) queue->run();

  // Take everything down in dependency order: the interface and the application's
  // objects (and with them the plug-in and its connection, which flushes what it
  // sent), then the runtime: the main queue's leftovers, then the link's background
  // thread.
  messenger.reset();
  NSApplication::setSharedApplication(nullptr);
  application.reset();
  runtime.reset();
  return 0;
}

}  // namespace platform
