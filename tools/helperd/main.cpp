// veltrino-helperd: the reference privileged helper. Started by the service namespace
// it serves the socket it was handed as fd 3; started by hand it binds the service
// socket under the system root itself.
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <sys/sysmacros.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <functional>
#include <optional>
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

// The file that the listening socket |fd| is bound to, as the kernel knows it (device
// and inode, from the socket diagnostics); none when it cannot tell.
std::optional<std::pair<dev_t, ino_t>> boundFile(int fd) {
  struct stat socketStatus {};
  if (::fstat(fd, &socketStatus) != 0) return std::nullopt;
  UniqueFd diag(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!diag) return std::nullopt;
  struct {
    nlmsghdr header;
    unix_diag_req request;
  } query{};
  query.header.nlmsg_len = sizeof(query);
  query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  query.header.nlmsg_flags = NLM_F_REQUEST;
  query.request.sdiag_family = AF_UNIX;
  query.request.udiag_states = ~0u;
  query.request.udiag_ino = static_cast<__u32>(socketStatus.st_ino);
  query.request.udiag_show = UDIAG_SHOW_VFS;
  query.request.udiag_cookie[0] = query.request.udiag_cookie[1] = ~0u;
  if (::send(diag.get(), &query, sizeof(query), 0) != static_cast<ssize_t>(sizeof(query))) return std::nullopt;
  alignas(nlmsghdr) char buffer[8192];
  const ssize_t received = ::recv(diag.get(), buffer, sizeof(buffer), 0);
  if (received <= 0) return std::nullopt;
  auto* header = reinterpret_cast<nlmsghdr*>(buffer);
  if (!NLMSG_OK(header, static_cast<unsigned>(received)) || header->nlmsg_type != SOCK_DIAG_BY_FAMILY) {
    return std::nullopt;
  }
  auto* attribute = reinterpret_cast<rtattr*>(static_cast<char*>(NLMSG_DATA(header)) + NLMSG_ALIGN(sizeof(unix_diag_msg)));
  int length = static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(NLMSG_ALIGN(sizeof(unix_diag_msg))));
  for (; RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length)) {
    if (attribute->rta_type != UNIX_DIAG_VFS || RTA_PAYLOAD(attribute) < sizeof(unix_diag_vfs)) continue;
    const auto* vfs = static_cast<const unix_diag_vfs*>(RTA_DATA(attribute));
    // The kernel's own device numbering: twelve bits of major above twenty of minor.
    const dev_t device = ::makedev(vfs->udiag_vfs_dev >> 20, vfs->udiag_vfs_dev & 0xfffff);
    return std::pair{device, static_cast<ino_t>(vfs->udiag_vfs_ino)};
  }
  return std::nullopt;
}

// Ends the helper once |path| no longer leads to the socket it listens on: another
// launcher bound a new one there, or the file was removed, and nobody can reach this
// run any more. Checked every second.
class Reachability {
 public:
  Reachability(asio::io_context& io, int listener, std::filesystem::path path)
      : io_(io), timer_(io), listener_(listener), path_(std::move(path)) {
    bound_ = boundFile(listener_);
    // Without the socket diagnostics, the file the path leads to now stands for it.
    if (!bound_) bound_ = current();
  }

  // Whether the path was found leading elsewhere, so that it is not this run's to remove.
  bool lost() const { return lost_; }

  void start() {
    timer_.expires_after(std::chrono::seconds(1));
    timer_.async_wait([this](std::error_code ec) {
      if (ec) return;
      if (bound_ && current() != bound_) {
        std::printf("veltrino-helperd: %s no longer leads to this helper's socket; ending\n", path_.c_str());
        std::fflush(stdout);
        lost_ = true;
        io_.stop();
        return;
      }
      start();
    });
  }

 private:
  std::optional<std::pair<dev_t, ino_t>> current() const {
    struct stat status {};
    if (::stat(path_.c_str(), &status) != 0) return std::nullopt;
    return std::pair{status.st_dev, status.st_ino};
  }

  asio::io_context& io_;
  asio::steady_timer timer_;
  const int listener_;
  const std::filesystem::path path_;
  std::optional<std::pair<dev_t, ino_t>> bound_;
  bool lost_ = false;
};

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
  Reachability reachability(io, listener.get(), socketPath);
  helperd::HelperServer server(io, std::move(listener), options,
                               root.resolve("/var/log") / (std::string(kLabel) + ".ops.jsonl"));
  std::string error;
  if (!server.start(error)) {
    std::fprintf(stderr, "veltrino-helperd: %s\n", error.c_str());
    return 1;
  }
  asio::signal_set stop(io, SIGTERM, SIGINT);
  stop.async_wait([&io](std::error_code, int) { io.stop(); });
  reachability.start();

  std::printf("veltrino-helperd %s (%s) pid %d serving %s\n", options.version.c_str(), options.build.c_str(),
              static_cast<int>(::getpid()), boundByHand ? socketPath.c_str() : "the socket it was handed");
  std::fflush(stdout);
  io.run();
  if (boundByHand && !reachability.lost()) ::unlink(socketPath.c_str());
  return 0;
} catch (const std::exception& failure) {
  // Said in the log, rather than an abort with no reason given.
  std::fprintf(stderr, "veltrino-helperd: %s\n", failure.what());
  return 1;
}
