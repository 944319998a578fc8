#include "tests/integration/link_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <asio/post.hpp>
#include <cstdlib>
#include <fstream>
#include <future>
#include <sstream>

#include "platform/linux/atomic_file.h"
#include "platform/linux/launch_job.h"

extern char** environ;

namespace link_test {

using platform::linux_backend::UniqueFd;

namespace {

UniqueFd pidFd(pid_t pid) { return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))); }

bool readable(int fd, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) return false;
    pollfd p{fd, POLLIN, 0};
    const int n = ::poll(&p, 1, static_cast<int>(left.count()));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return false;
  }
}

char processState(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return '\0';
  const auto close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() ? '\0' : line[close + 2];
}

}  // namespace

TempRoot::TempRoot() {
  std::string pattern = "/tmp/vlt-link-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempRoot::~TempRoot() {
  for (pid_t pid : processesUnderRoot(path_)) {
    ::kill(pid, SIGKILL);
    waitForExit(pid, 5s);
  }
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<pid_t> processesUnderRoot(const std::filesystem::path& root) {
  const std::string wanted = "VELTRINO_SYSTEM_ROOT=" + root.string();
  std::vector<pid_t> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
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

bool waitForExit(pid_t pid, std::chrono::milliseconds timeout) {
  UniqueFd fd = pidFd(pid);
  if (!fd) return errno == ESRCH;
  // A pidfd turns readable when its process ends, reaped or not.
  return readable(fd.get(), std::chrono::steady_clock::now() + timeout);
}

bool processRunning(pid_t pid) {
  const char state = processState(pid);
  return state != '\0' && state != 'Z' && state != 'X';
}

BackgroundLoop::BackgroundLoop() : work_(asio::make_work_guard(io_)), thread_([this] { io_.run(); }) {}

BackgroundLoop::~BackgroundLoop() {
  work_.reset();
  io_.stop();
  thread_.join();
}

void BackgroundLoop::drain() {
  std::promise<void> done;
  asio::post(io_, [&done] { done.set_value(); });
  done.get_future().wait_for(kPatience);
}

void EventLog::add(std::string entry) {
  {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
  }
  changed_.notify_all();
}

std::vector<std::string> EventLog::entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

bool EventLog::waitUntil(const std::function<bool(const std::vector<std::string>&)>& done,
                         std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return done(entries_); });
}

bool EventLog::waitForCount(std::size_t count) const {
  return waitUntil([count](const auto& entries) { return entries.size() >= count; });
}

std::size_t EventLog::count(const std::string& entry) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count(entries_.begin(), entries_.end(), entry));
}

std::string render(const platform::XPCValues& values) {
  std::string out;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ",";
    if (auto s = std::get_if<std::string>(&values[i])) {
      out += *s;
    } else if (auto b = std::get_if<bool>(&values[i])) {
      out += *b ? "true" : "false";
    } else {
      out += "<nil>";
    }
  }
  return out;
}

void call(platform::XPCTransport& transport, EventLog& log, const std::string& tag, const std::string& selector,
          platform::XPCValues arguments) {
  transport.send(
      platform::XPCMessage{selector, std::move(arguments), true},
      [&log, tag](platform::XPCValues values) { log.add(tag + " reply " + render(values)); },
      [&log, tag](const platform::NSError& error) { log.add(tag + " failed: " + error.localizedDescription); });
}

void sendOneWay(platform::XPCTransport& transport, EventLog& log, const std::string& tag,
                const std::string& selector) {
  transport.send(platform::XPCMessage{selector, {}, false}, {},
                 [&log, tag](const platform::NSError& error) { log.add(tag + " failed: " + error.localizedDescription); });
}

void resume(platform::XPCTransport& transport, EventLog& log, const std::string& tag) {
  platform::XPCTransport::Events events;
  events.interrupted = [&log, tag] { log.add(tag + " interrupted"); };
  events.invalidated = [&log, tag] { log.add(tag + " invalidated"); };
  transport.resume(std::move(events));
}

std::vector<OpRecord> readOps(const platform::linux_backend::SystemRoot& root) {
  std::vector<OpRecord> ops;
  std::ifstream in(root.resolve("/var/log") / (kLabel + ".ops.jsonl"));
  std::string line;
  while (std::getline(in, line)) {
    auto json = nlohmann::json::parse(line, nullptr, false);
    if (json.is_discarded()) {
      ADD_FAILURE() << "the ops log holds a line that is not JSON";
      continue;
    }
    ops.push_back(OpRecord{json.at("pid").get<pid_t>(), json.at("op").get<std::string>(), json.at("args")});
  }
  return ops;
}

void writeJob(const platform::linux_backend::SystemRoot& root, const std::string& label,
              const std::vector<std::string>& arguments) {
  std::string error;
  platform::linux_backend::LaunchJob job{label, arguments, {label}};
  ASSERT_TRUE(platform::linux_backend::writeFileAtomically(root.jobPlist(label), launchJobXml(job), 0644, error))
      << error;
}

std::vector<std::string> helperd(std::vector<std::string> flags) {
  flags.insert(flags.begin(), VELTRINO_HELPERD_PATH);
  return flags;
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments,
                           std::optional<std::vector<std::string>> environment) {
  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  out_.reset(outPipe[0]);
  err_.reset(errPipe[0]);
  UniqueFd outWrite(outPipe[1]), errWrite(errPipe[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outWrite.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, errWrite.get(), 2);
  std::vector<std::string> args = arguments;
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = environment.value_or(std::vector<std::string>{});
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environment ? envp.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("posix_spawn failed");
}

ChildProcess::~ChildProcess() {
  if (reaped_) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (auto newline = outBuffer_.find('\n'); newline != std::string::npos) {
      std::string line = outBuffer_.substr(0, newline);
      outBuffer_.erase(0, newline + 1);
      return line;
    }
    if (!readable(out_.get(), deadline)) return std::nullopt;
    char buffer[4096];
    const ssize_t n = ::read(out_.get(), buffer, sizeof(buffer));
    if (n <= 0) return std::nullopt;
    outBuffer_.append(buffer, static_cast<std::size_t>(n));
  }
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (!waitForExit(pid_, timeout)) return std::nullopt;
  int status = 0;
  if (::waitpid(pid_, &status, 0) != pid_) return std::nullopt;
  reaped_ = true;
  if (!WIFEXITED(status)) return std::nullopt;
  return WEXITSTATUS(status);
}

std::string ChildProcess::errorOutput() {
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (readable(err_.get(), deadline)) {
    char buffer[4096];
    const ssize_t n = ::read(err_.get(), buffer, sizeof(buffer));
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

std::vector<std::string> LinkTest::ops() const {
  std::vector<std::string> out;
  for (const auto& record : readOps(sysroot)) out.push_back(record.op);
  return out;
}

std::vector<pid_t> LinkTest::opPids() const {
  std::vector<pid_t> out;
  for (const auto& record : readOps(sysroot)) out.push_back(record.pid);
  return out;
}

}  // namespace link_test
