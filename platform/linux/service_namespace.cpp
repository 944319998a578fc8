#include "platform/linux/service_namespace.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>

#include "platform/linux/atomic_file.h"
#include "platform/linux/detached_process.h"
#include "platform/linux/launch_job.h"
#include "platform/linux/launch_lock.h"
#include "platform/linux/launch_ownership.h"
#include "platform/linux/line_writer.h"
#include "platform/linux/service_connection.h"
#include "platform/linux/unique_fd.h"

namespace platform::linux_backend {
namespace {

// A label names files under the root, so it may not climb out of their folders.
bool usableLabel(const std::string& label) {
  return !label.empty() && label != "." && label != ".." && label.find('/') == std::string::npos &&
         label.find('\0') == std::string::npos;
}

bool socketAddress(const std::filesystem::path& path, sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  const std::string& native = path.native();
  if (native.size() >= sizeof(address.sun_path)) return false;
  std::memcpy(address.sun_path, native.c_str(), native.size() + 1);
  return true;
}

// Connects to the socket at |path|; on failure |error| holds the errno.
UniqueFd connectTo(const std::filesystem::path& path, int& error) {
  sockaddr_un address;
  if (!socketAddress(path, address)) {
    error = ENAMETOOLONG;
    return UniqueFd();
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    error = errno;
    return fd;
  }
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    error = errno;
    return UniqueFd();
  }
  return fd;
}

// Whether the process that listens at the other end of |fd| runs as the host's own
// user: only such a service is told anything.
bool answeredByOurUser(int fd) {
  ucred peer{};
  socklen_t size = sizeof(peer);
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && size == sizeof(peer) &&
         peer.uid == ::geteuid();
}

using Run = std::shared_ptr<asio::posix::stream_descriptor>;

bool ended(asio::posix::stream_descriptor& run) {
  pollfd state{run.native_handle(), POLLIN, 0};
  return ::poll(&state, 1, 0) > 0;
}

// Whether a connection waits on |listener| now.
bool connectionWaiting(int listener) {
  pollfd waiting{listener, POLLIN, 0};
  return ::poll(&waiting, 1, 0) > 0 && (waiting.revents & POLLIN) != 0;
}

}  // namespace

// Launch on demand: what connections ask for a socket to their service, and the
// sockets it keeps listening on. Shared with the connections, which may outlive the
// namespace.
class ServiceNamespace::Launcher : public std::enable_shared_from_this<ServiceNamespace::Launcher> {
 public:
  Launcher(asio::io_context& context, SystemRoot root) : io_(context), root_(std::move(root)) {}

  // Held by each connection. Runs are watched only while some connection holds one,
  // so that a background context with no connections left runs out of work and its
  // thread can end.
  struct Lease {
    explicit Lease(std::shared_ptr<Launcher> owner) : launcher(std::move(owner)) {
      std::lock_guard lock(launcher->mutex_);
      ++launcher->leases_;
    }
    ~Lease() {
      std::lock_guard lock(launcher->mutex_);
      if (--launcher->leases_ == 0) asio::post(launcher->io_, [l = launcher] { l->stopWatching(); });
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    const std::shared_ptr<Launcher> launcher;
  };

  // A connection to |label|'s service, starting its job when nothing answers.
  Expected<UniqueFd, Unreachable> open(const std::string& label) {
    if (!usableLabel(label)) return unexpected(Unreachable::NoJob);
    std::lock_guard lock(mutex_);
    // Another host on this root may be starting the job: it is waited for, and the
    // helper it started is then found answering.
    const LaunchLock launching(root_, label);
    const auto path = root_.serviceSocket(label);
    // A socket that another user put in the service's place fails the connection
    // before its first message.
    int error = 0;
    if (auto it = services_.find(label); it != services_.end()) {
      Service& service = it->second;
      if (service.program && ended(*service.program)) {
        service.program.reset();
        service.watching = false;
      }
      if (UniqueFd client = connectTo(path, error)) {
        if (!answeredByOurUser(client.get())) return unexpected(Unreachable::Failed);
        if (!service.program && !service.deferred) {
          // Nothing runs for it: this connection starts the next run.
          auto job = jobFor(label);
          if (!job || !start(label, service, *job)) {
            withdraw(label);
            return unexpected(job ? Unreachable::Failed : Unreachable::NoJob);
          }
          service.restarted = false;
        }
        watch(label);
        return client;
      }
      // The socket file went away under us: start over.
      withdraw(label);
    }

    // Served by a program that someone else started.
    if (UniqueFd client = connectTo(path, error)) {
      if (!answeredByOurUser(client.get())) return unexpected(Unreachable::Failed);
      return client;
    }
    if (error != ENOENT && error != ECONNREFUSED) return unexpected(Unreachable::Failed);
    auto job = jobFor(label);
    if (!job) return unexpected(Unreachable::NoJob);
    Service service;
    service.listener = listenAt(path);
    if (!service.listener) return unexpected(Unreachable::Failed);
    // Connected before the program starts: it waits in the backlog, no polling.
    UniqueFd client = connectTo(path, error);
    if (client && !answeredByOurUser(client.get())) client = UniqueFd();
    if (!client || !start(label, service, *job)) {
      ::unlink(path.c_str());
      return unexpected(Unreachable::Failed);
    }
    // Without a way to see the run end, the program alone keeps the socket.
    if (service.program || service.deferred) {
      services_[label] = std::move(service);
      watch(label);
    }
    return client;
  }

 private:
  // A service whose socket this namespace bound. Like launchd it keeps listening there
  // across runs of the program: a connection made while a run is ending waits in the
  // backlog for the next run instead of being refused or reset.
  struct Service {
    UniqueFd listener;
    // The run that has not been seen to end yet; none when nothing runs.
    Run program;
    // The run was started for connections left waiting by the run before it.
    bool restarted = false;
    // Whether the end of |program| is being waited for on the background context.
    bool watching = false;
    // The next run, held back by the job's throttle interval; connections wait for it
    // in the backlog.
    std::shared_ptr<asio::steady_timer> deferred;
  };

  using Clock = std::chrono::steady_clock;

  // Starts the job at once, or, when its previous start is more recent than its
  // throttle interval, as soon as that has passed. Either way the socket is listened
  // on from now, so connections wait rather than fail.
  bool start(const std::string& label, Service& service, const LaunchJob& job) {
    const auto last = lastStart_.find(label);
    const auto allowed = last == lastStart_.end() ? Clock::now() : last->second + job.throttleInterval;
    if (Clock::now() >= allowed) return launch(label, service, job);
    service.program.reset();
    service.watching = false;
    auto timer = std::make_shared<asio::steady_timer>(io_, allowed);
    service.deferred = timer;
    timer->async_wait([self = shared_from_this(), label, timer](std::error_code ec) {
      if (ec != asio::error::operation_aborted) self->deferredStart(label, timer);
    });
    return true;
  }

  void deferredStart(const std::string& label, const std::shared_ptr<asio::steady_timer>& timer) {
    std::lock_guard lock(mutex_);
    const LaunchLock launching(root_, label);
    auto it = services_.find(label);
    if (it == services_.end() || it->second.deferred != timer) return;
    Service& service = it->second;
    service.deferred.reset();
    // Only a connection still waiting asks for the run.
    auto job = connectionWaiting(service.listener.get()) ? jobFor(label) : std::nullopt;
    if (!job || !launch(label, service, *job)) {
      withdraw(label);
      return;
    }
    if (!service.program) {
      services_.erase(it);
      return;
    }
    watch(label);
  }

  // The job to start for |label|, if one answers for it and may be started: like
  // launchd, neither a job plist nor a program that another user could have put in
  // place is used. A refusal is told on standard output.
  std::optional<LaunchJob> jobFor(const std::string& label) {
    const auto plist = root_.jobPlist(label);
    std::error_code missing;
    if (!std::filesystem::exists(plist, missing)) return std::nullopt;
    if (auto owned = checkLaunchOwnership(root_.root(), plist); !owned) return refuse(label, owned.error());
    auto job = readLaunchJob(plist);
    if (!job) return refuse(label, job.error());
    if (job->label != label) return refuse(label, "the job at " + plist.string() + " is labelled " + job->label);
    if (std::find(job->machServices.begin(), job->machServices.end(), label) == job->machServices.end()) {
      return refuse(label, "the job at " + plist.string() + " does not list " + label + " among its MachServices");
    }
    if (auto owned = checkLaunchOwnership(root_.root(), job->programArguments.front()); !owned) {
      return refuse(label, owned.error());
    }
    return std::move(*job);
  }

  // Told once: the same reason again, before the job has started since, is the same
  // refusal met once more, by the connections it let go coming back or by the next
  // message.
  std::nullopt_t refuse(const std::string& label, const std::string& why) {
    if (auto [it, added] = refused_.try_emplace(label, why); added || it->second != why) {
      it->second = why;
      LineWriter::standardOutput().writeLine("The job " + label + " is not started: " + why);
    }
    return std::nullopt;
  }

  UniqueFd listenAt(const std::filesystem::path& path) const {
    if (!makeFoldersUnderRoot(root_.root(), "var/run")) return UniqueFd();
    sockaddr_un address;
    if (!socketAddress(path, address)) return UniqueFd();
    ::unlink(path.c_str());  // a stale socket of a program that is gone
    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener) return listener;
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) return UniqueFd();
    if (::chmod(path.c_str(), 0600) != 0 || ::listen(listener.get(), SOMAXCONN) != 0) {
      ::unlink(path.c_str());
      return UniqueFd();
    }
    return listener;
  }

  // Starts the job's program on |service|'s socket; says why not when it cannot.
  bool launch(const std::string& label, Service& service, const LaunchJob& job) {
    const auto logPath = root_.serviceLog(label);
    DetachedLaunch program;
    program.arguments = job.programArguments;
    std::error_code ec;
    program.environment = {"VELTRINO_SYSTEM_ROOT=" + std::filesystem::absolute(root_.root(), ec).string()};
    program.listeningSocket = service.listener.get();
    program.logFile = logPath;
    const auto folder = makeFoldersUnderRoot(root_.root(), "var/log");
    const Expected<pid_t> pid = folder ? startDetached(program) : fail(folder.error());
    // An attempt that failed counts too, as with launchd: a program that cannot be
    // executed is not forked again for every message of a burst.
    lastStart_[label] = Clock::now();
    if (!pid) {
      refuse(label, pid.error());
      return false;
    }
    refused_.erase(label);
    service.program.reset();
    service.watching = false;
    UniqueFd run(static_cast<int>(::syscall(SYS_pidfd_open, *pid, 0)));
    if (run) service.program = std::make_shared<asio::posix::stream_descriptor>(io_, run.release());
    return true;
  }

  // Waits for the end of |label|'s run, unless that is already being done.
  void watch(const std::string& label) {
    auto it = services_.find(label);
    if (it == services_.end() || !it->second.program || it->second.watching) return;
    it->second.watching = true;
    Run run = it->second.program;
    run->async_wait(asio::posix::descriptor_base::wait_read, [self = shared_from_this(), label, run](std::error_code ec) {
      if (ec != asio::error::operation_aborted) self->programEnded(label, run);
    });
  }

  void stopWatching() {
    std::lock_guard lock(mutex_);
    if (leases_ > 0) return;
    for (auto& [label, service] : services_) {
      if (service.deferred) {
        service.deferred->cancel();
        service.deferred.reset();
      }
      if (!service.watching) continue;
      std::error_code ignored;
      service.program->cancel(ignored);
      service.watching = false;
    }
  }

  void programEnded(const std::string& label, const Run& run) {
    std::lock_guard lock(mutex_);
    const LaunchLock launching(root_, label);
    auto it = services_.find(label);
    if (it == services_.end() || it->second.program != run) return;
    Service& service = it->second;
    service.program.reset();
    service.watching = false;
    if (!connectionWaiting(service.listener.get())) return;
    // A connection that came in while the run was ending starts the next run. When
    // that run ends with connections still waiting too, the program is not getting
    // anywhere: they are let go rather than starting it over and over.
    auto job = service.restarted ? std::nullopt : jobFor(label);
    if (!job || !start(label, service, *job)) {
      withdraw(label);
      return;
    }
    service.restarted = true;
    if (!service.program && !service.deferred) {
      services_.erase(it);
      return;
    }
    watch(label);
  }

  // Stops listening for |label|: connections still waiting are reset, which their
  // owners see as the service going away.
  void withdraw(const std::string& label) {
    auto it = services_.find(label);
    if (it == services_.end()) return;
    if (it->second.deferred) it->second.deferred->cancel();
    if (!it->second.program) ::unlink(root_.serviceSocket(label).c_str());
    services_.erase(it);
  }

  asio::io_context& io_;
  const SystemRoot root_;
  // One launch at a time, so two connections never start the same job twice.
  std::mutex mutex_;
  std::map<std::string, Service> services_;
  // When each job was last started, which its throttle interval counts from.
  std::map<std::string, Clock::time_point> lastStart_;
  // The last refusal told for each job that has not started since.
  std::map<std::string, std::string> refused_;
  std::size_t leases_ = 0;
};

ServiceNamespace::ServiceNamespace(asio::io_context& background, SystemRoot root)
    : background_(background), launcher_(std::make_shared<Launcher>(background, std::move(root))) {}

ServiceNamespace::~ServiceNamespace() = default;

std::unique_ptr<XPCTransport> ServiceNamespace::connect(const std::string& serviceName, std::uint64_t) {
  // Every job here is a system job, so the privileged option changes nothing.
  auto lease = std::make_shared<Launcher::Lease>(launcher_);
  return std::make_unique<ServiceConnection>(
      background_, serviceName, [lease, label = serviceName] { return lease->launcher->open(label); }, &connections_);
}

void ServiceNamespace::abandonConnections() { connections_.abandonAll(); }

}  // namespace platform::linux_backend
