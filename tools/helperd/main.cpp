// veltrino-helperd: the reference privileged helper. Started by the service namespace
// it serves the socket it was handed as fd 3; started by hand it binds the service
// socket under the system root itself.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <variant>
#include <vector>

#include "platform/linux/system_root.h"
#include "platform/linux/unique_fd.h"
#include "tools/helperd/helper_options.h"
#include "tools/helperd/helper_server.h"

namespace {

using platform::linux_backend::SystemRoot;
using platform::linux_backend::UniqueFd;

constexpr const char* kLabel = "com.veltrino.mac.helper";

// The socket handed over the way systemd and the service namespace do it, if any.
UniqueFd inheritedSocket() {
  const char* fds = std::getenv("LISTEN_FDS");
  const char* pid = std::getenv("LISTEN_PID");
  if (fds == nullptr || pid == nullptr || std::string(fds) != "1" || std::to_string(::getpid()) != pid) {
    return UniqueFd();
  }
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_PID");
  ::unsetenv("LISTEN_FDNAMES");
  ::fcntl(3, F_SETFD, FD_CLOEXEC);
  return UniqueFd(3);
}

bool fillAddress(const std::filesystem::path& path, sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (path.native().size() >= sizeof(address.sun_path)) return false;
  std::memcpy(address.sun_path, path.c_str(), path.native().size() + 1);
  return true;
}

// Binds the service socket by hand; refuses when another helper answers there.
UniqueFd bindServiceSocket(const std::filesystem::path& path, std::string& error) {
  sockaddr_un address;
  if (!fillAddress(path, address)) {
    error = "the socket path " + path.string() + " is too long";
    return UniqueFd();
  }
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (probe && ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
    error = "another helper already serves " + path.string();
    return UniqueFd();
  }
  ::unlink(path.c_str());
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener || ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      ::chmod(path.c_str(), 0600) != 0 || ::listen(listener.get(), SOMAXCONN) != 0) {
    error = "couldn't listen on " + path.string() + ": " + std::strerror(errno);
    return UniqueFd();
  }
  return listener;
}

}  // namespace

int main(int argc, char** argv) try {
  helperd::HelperOptions defaults;
  defaults.version = VELTRINO_HELPER_DEFAULT_VERSION;
  defaults.build = VELTRINO_HELPER_DEFAULT_BUILD;
  auto parsed = helperd::parseOptions(std::vector<std::string>(argv + 1, argv + argc), defaults);
  if (auto* error = std::get_if<std::string>(&parsed)) {
    std::fprintf(stderr, "veltrino-helperd: %s\n%s", error->c_str(), helperd::usage());
    return 2;
  }
  auto options = std::get<helperd::HelperOptions>(std::move(parsed));
  if (options.help) {
    std::fputs(helperd::usage(), stdout);
    return 0;
  }
  std::filesystem::path rootPath;
  if (options.systemRoot) {
    rootPath = *options.systemRoot;
  } else if (const char* env = std::getenv("VELTRINO_SYSTEM_ROOT"); env != nullptr && *env != '\0') {
    rootPath = env;
  } else {
    std::fprintf(stderr, "veltrino-helperd: no system root: pass --system-root or set VELTRINO_SYSTEM_ROOT\n%s",
                 helperd::usage());
    return 2;
  }
  const SystemRoot root(std::filesystem::absolute(rootPath));
  std::signal(SIGPIPE, SIG_IGN);

  UniqueFd listener = inheritedSocket();
  const bool boundByHand = !listener;
  const auto socketPath = root.serviceSocket(kLabel);
  if (boundByHand) {
    std::string error;
    listener = bindServiceSocket(socketPath, error);
    if (!listener) {
      std::fprintf(stderr, "veltrino-helperd: %s\n", error.c_str());
      return 1;
    }
  }

  asio::io_context io;
  helperd::HelperServer server(io, std::move(listener), options,
                               root.resolve("/var/log") / (std::string(kLabel) + ".ops.jsonl"));
  std::string error;
  if (!server.start(error)) {
    std::fprintf(stderr, "veltrino-helperd: %s\n", error.c_str());
    return 1;
  }
  asio::signal_set stop(io, SIGTERM, SIGINT);
  stop.async_wait([&io](std::error_code, int) { io.stop(); });

  std::printf("veltrino-helperd %s (%s) pid %d serving %s\n", options.version.c_str(), options.build.c_str(),
              static_cast<int>(::getpid()), boundByHand ? socketPath.c_str() : "the socket it was handed");
  std::fflush(stdout);
  io.run();
  if (boundByHand) ::unlink(socketPath.c_str());
  return 0;
} catch (const std::exception& failure) {
  // Said in the log, rather than an abort with no reason given.
  std::fprintf(stderr, "veltrino-helperd: %s\n", failure.what());
  return 1;
}
