#include "runtime_support.h"

#include "platform/flutter/standard_codec.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "platform/linux/atomic_file.h"
#include "platform/linux/launch_job.h"
#include "platform/linux/system_root.h"
#include "vpn_bridge/vpn_plugin.h"

extern char** environ;

namespace bench {

namespace fs = std::filesystem;
using platform::linux_backend::SystemRoot;
using platform::linux_backend::UniqueFd;

namespace {

// Processes whose environment names |root| as their system root: the helpers that
// the service namespace started there.
std::vector<pid_t> processesUnderRoot(const fs::path& root) {
  const std::string wanted = "VELTRINO_SYSTEM_ROOT=" + root.string();
  std::vector<pid_t> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    if (pid == ::getpid()) continue;
    std::ifstream environment(entry.path() / "environ", std::ios::binary);
    std::string variable;
    while (std::getline(environment, variable, '\0')) {
      if (variable == wanted) {
        found.push_back(pid);
        break;
      }
    }
  }
  return found;
}

// Not our child, so no waitpid: a pidfd turns readable when the process ends.
void waitForExit(pid_t pid) {
  UniqueFd fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!fd) return;
  pollfd p{fd.get(), POLLIN, 0};
  while (::poll(&p, 1, 5000) < 0 && errno == EINTR) {
  }
}

}  // namespace

TempRoot::TempRoot() {
  std::string pattern = "/tmp/vlt-bench-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempRoot::~TempRoot() {
  for (pid_t pid : processesUnderRoot(path_)) {
    ::kill(pid, SIGKILL);
    waitForExit(pid);
  }
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void TempRoot::installHelper(const std::vector<std::string>& flags) const {
  const SystemRoot root(path_);
  const fs::path helper = root.resolve("/Library/PrivilegedHelperTools") / kHelperLabel;
  if (auto copied = platform::linux_backend::copyFileAtomically(VELTRINO_HELPERD_PATH, helper, 0755); !copied) {
    throw std::runtime_error(copied.error());
  }
  platform::linux_backend::LaunchJob job{kHelperLabel, {helper.string()}, {kHelperLabel}};
  job.programArguments.insert(job.programArguments.end(), flags.begin(), flags.end());
  if (auto written = platform::linux_backend::writeFileAtomically(root.jobPlist(kHelperLabel), launchJobXml(job), 0644);
      !written) {
    throw std::runtime_error(written.error());
  }
}

fs::path TempRoot::opsLog() const {
  return SystemRoot(path_).resolve("/var/log") / (std::string(kHelperLabel) + ".ops.jsonl");
}

std::size_t AppendedLines::count() {
  if (!fd_) fd_.reset(::open(file_.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd_) return 0;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) lines_ += buffer[i] == '\n' ? 1 : 0;
  }
  return lines_;
}

void BenchMessenger::setMessageHandlerOnChannel(const std::string& channel,
                                                platform::FlutterBinaryMessageHandler handler) {
  if (handler) {
    handlers_[channel] = std::move(handler);
  } else {
    handlers_.erase(channel);
  }
}

platform::FlutterBinaryMessageHandler BenchMessenger::handler() const {
  // The interface speaks on the one channel the host listens on.
  return handlers_.size() == 1 ? handlers_.begin()->second : platform::FlutterBinaryMessageHandler();
}

HostHarness::HostHarness(const fs::path& root, AnswerSink sink, DeliveryHook beforeDelivery)
    : runtime_(root, VELTRINO_BUNDLE_PATH),
      messenger_(std::make_shared<BenchMessenger>()),
      sink_(std::move(sink)),
      beforeDelivery_(std::move(beforeDelivery)) {
  runtime_.install(messenger_);
  runtime_.mainQueue().keepAlive();
  registrar_ = std::make_unique<platform::FlutterPluginRegistrar>(messenger_);
  vpn_bridge::VPNPlugin::registerWithRegistrar(*registrar_);
}

HostHarness::~HostHarness() {
  // The plug-in, and with it its connection, goes before the runtime it runs on.
  registrar_.reset();
  messenger_.reset();
}

std::uint64_t HostHarness::post(platform::linux_backend::ConsoleCall call) {
  const std::uint64_t id = ++callsRead_;
  runtime_.mainQueue().async([this, id, call = std::move(call)]() mutable { deliver(id, std::move(call)); });
  return id;
}

void HostHarness::deliver(std::uint64_t id, platform::linux_backend::ConsoleCall call) {
  platform::FlutterBinaryReply reply = [this, id, method = call.method](platform::FlutterMessage bytes) {
    sink_(id, platform::linux_backend::formatAnswerLine(id, method, platform::decodeResult(bytes)));
  };
  auto handler = messenger_->handler();
  if (beforeDelivery_) beforeDelivery_(id);
  if (!handler) {
    std::move(reply)({});
    return;
  }
  handler(platform::encodeMethodCall(platform::FlutterMethodCall(std::move(call.method), std::move(call.arguments))),
          std::move(reply));
}

void HostHarness::runUntil(const std::function<bool()>& done) {
  while (!done()) runtime_.mainQueue().runOne();
}

void HostHarness::runFor(std::chrono::milliseconds limit) { runtime_.mainQueue().runOneFor(limit); }

std::string nullAnswer(std::uint64_t id, std::string_view method) {
  return platform::linux_backend::formatAnswerLine(id, method, nullptr);
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const std::map<int, int>& fds) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (const auto& [child, parent] : fds) posix_spawn_file_actions_adddup2(&actions, parent, child);
  std::vector<std::string> args = arguments;
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + arguments.front());
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

int ChildProcess::wait() {
  int status = 0;
  pid_t r;
  while ((r = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return r > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

UniqueFd connectTo(const fs::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.native().size() >= sizeof(address.sun_path)) return UniqueFd();
  std::memcpy(address.sun_path, path.c_str(), path.native().size() + 1);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd && ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) fd.reset();
  return fd;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool readExactly(int fd, char* out, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::read(fd, out, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace bench
