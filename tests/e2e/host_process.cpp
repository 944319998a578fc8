#include "host_process.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <gtest/gtest.h>

extern char** environ;

namespace e2e {
namespace fs = std::filesystem;

namespace {

const std::string kLabel = "com.veltrino.mac.helper";

// Polls |done| until it holds or |timeout| has passed: for what another process does.
template <typename Done>
bool pollUntil(std::chrono::milliseconds timeout, Done done) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// Appends to |into| what file |fd| holds past |offset|, or what pipe |fd| has now;
// how much that was.
std::size_t readFile(int fd, std::size_t offset, std::string& into) {
  char buffer[65536];
  std::size_t total = 0;
  for (ssize_t n; fd >= 0 && (n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(offset + total))) != 0;) {
    if (n < 0 && errno == ESPIPE) n = ::read(fd, buffer, sizeof buffer);  // non-blocking
    if (n <= 0) break;
    into.append(buffer, static_cast<std::size_t>(n));
    total += static_cast<std::size_t>(n);
  }
  return total;
}

fs::path freshFolder(const char* pattern) {
  std::string path = (fs::temp_directory_path() / pattern).string();
  if (::mkdtemp(path.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return path;
}

}  // namespace

TempRoot::TempRoot() : path_(freshFolder("veltrino-e2e-XXXXXX")), outside_(freshFolder("veltrino-outside-XXXXXX")) {}

TempRoot::~TempRoot() {
  killHelpers();
  std::error_code ignored;
  fs::remove_all(path_, ignored);
  fs::remove_all(outside_, ignored);
}

std::vector<std::string> TempRoot::writtenOutside() const {
  std::vector<std::string> out;
  for (const auto& entry : fs::recursive_directory_iterator(outside_)) out.push_back(entry.path().string());
  return out;
}

fs::path TempRoot::helperPath() const { return path_ / "Library/PrivilegedHelperTools" / kLabel; }
fs::path TempRoot::opsLog() const { return path_ / "var/log" / (kLabel + ".ops.jsonl"); }
fs::path TempRoot::serviceSocket() const { return path_ / "var/run" / (kLabel + ".sock"); }

// The paths and flags the tests use need no XML escaping.
void TempRoot::writeJob(const std::vector<std::string>& flags, std::optional<int> throttleSeconds) const {
  fs::create_directories(path_ / "Library/LaunchDaemons");
  std::ofstream plist(path_ / "Library/LaunchDaemons" / (kLabel + ".plist"));
  plist << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
        << "<key>Label</key><string>" << kLabel << "</string>\n<key>ProgramArguments</key><array>\n"
        << "<string>" << helperPath().string() << "</string>\n";
  for (const auto& f : flags) plist << "<string>" << f << "</string>\n";
  plist << "</array>\n";
  if (throttleSeconds) plist << "<key>ThrottleInterval</key><integer>" << *throttleSeconds << "</integer>\n";
  plist << "<key>MachServices</key><dict><key>" << kLabel << "</key><true/></dict>\n</dict>\n</plist>\n";
}

void TempRoot::installHelper(const std::vector<std::string>& flags) const {
  fs::create_directories(helperPath().parent_path());
  fs::copy_file(VELTRINO_HELPERD_PATH, helperPath(), fs::copy_options::overwrite_existing);
  writeJob(flags);
}

std::vector<Json> TempRoot::ops() const {
  std::vector<Json> out;
  std::ifstream in(opsLog());
  for (std::string line; std::getline(in, line);) {
    auto j = Json::parse(line, nullptr, false);
    if (!j.is_discarded()) out.push_back(j);
  }
  return out;
}

std::vector<std::string> TempRoot::opNames() const {
  const auto pids = helperPids();
  std::vector<std::string> out;
  for (const auto& op : ops()) {
    const auto process = std::find(pids.begin(), pids.end(), op.value("pid", 0)) - pids.begin() + 1;
    out.push_back("#" + std::to_string(process) + " " + op.value("op", std::string()));
  }
  return out;
}

bool TempRoot::waitForOps(std::size_t count, std::chrono::milliseconds timeout) const {
  // Counts the lines as the log grows, reading on from where it stopped: it may grow large.
  std::ifstream in;
  std::size_t lines = 0;
  return pollUntil(timeout, [&] {
    if (!in.is_open()) in.open(opsLog(), std::ios::binary);
    in.clear();
    lines += static_cast<std::size_t>(std::count(std::istreambuf_iterator<char>(in), {}, '\n'));
    return lines >= count;
  });
}

std::vector<pid_t> TempRoot::helperPids() const {
  std::vector<pid_t> out;
  for (const auto& op : ops()) {
    const pid_t pid = op.value("pid", 0);
    if (std::find(out.begin(), out.end(), pid) == out.end()) out.push_back(pid);
  }
  return out;
}

std::vector<pid_t> TempRoot::liveHelperPids() const {
  auto out = helperPids();
  std::erase_if(out, [&](pid_t pid) {
    // The program is the first argument, up to its terminating zero; none once gone.
    std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::string program;
    std::getline(cmdline, program, '\0');
    return program != helperPath().string();
  });
  return out;
}

void TempRoot::killHelpers() const {
  for (pid_t pid : liveHelperPids()) ::kill(pid, SIGKILL);
}

HostProcess::HostProcess(const TempRoot& root, const Launch& launch) {
  int in[2] = {-1, -1}, pipeOut[2] = {-1, -1}, probe[2] = {-1, -1};
  constexpr int kProbeFd = 3;
  const bool outputPipe = launch.outputUnread || launch.outputHeld;
  if (::pipe2(in, O_CLOEXEC) != 0 || (outputPipe && ::pipe2(pipeOut, O_CLOEXEC) != 0)) {
    throw std::runtime_error("pipe failed");
  }
  if (launch.heapProbe && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, probe) != 0) {
    throw std::runtime_error("socketpair failed");
  }
  held_ = launch.outputHeld;
  if (launch.outputHeld) {
    outFd_ = std::exchange(pipeOut[0], -1);
    ::fcntl(outFd_, F_SETFL, O_NONBLOCK);
  } else if (!launch.outputUnread) {
    outFd_ = ::memfd_create("stdout", MFD_CLOEXEC);
  }
  errFd_ = ::memfd_create("stderr", MFD_CLOEXEC);
  const int theirs[] = {in[0], outputPipe ? pipeOut[1] : outFd_, errFd_, probe[1]};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd <= kProbeFd; ++fd) {
    if (launch.closed.count(fd) != 0) {
      posix_spawn_file_actions_addclose(&actions, fd);
    } else if (theirs[fd] >= 0) {
      posix_spawn_file_actions_adddup2(&actions, theirs[fd], fd);
    }
  }
  posix_spawn_file_actions_addchdir_np(&actions, root.outside().c_str());

  // Ours, without the host's own settings, and with a home and a temporary folder
  // outside the root.
  std::vector<std::string> env = {"HOME=" + root.outside().string(), "TMPDIR=" + root.outside().string()};
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    if (!entry.starts_with("VELTRINO_") && !entry.starts_with("HOME=") && !entry.starts_with("TMPDIR=")) {
      env.emplace_back(entry);
    }
  }
  if (!launch.authorization.empty()) env.push_back("VELTRINO_AUTHORIZATION=" + launch.authorization);
  if (launch.heapProbe) {
    env.push_back(std::string("LD_PRELOAD=") + VELTRINO_HEAP_PROBE_PATH);
    env.push_back("HEAP_PROBE_FD=" + std::to_string(kProbeFd));
  }
  std::vector<std::string> args = {VELTRINO_HOST_PATH, "--system-root",
                                   launch.systemRoot.value_or(root.path()).string(), "--bundle", VELTRINO_BUNDLE_PATH};
  args.insert(args.end(), launch.arguments.begin(), launch.arguments.end());
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  for (auto& e : env) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  for (int fd : {in[0], pipeOut[0], pipeOut[1], probe[1]}) {
    if (fd >= 0) ::close(fd);
  }
  stdin_ = in[1];
  probe_ = probe[0];
  if (rc != 0) throw std::runtime_error("cannot start the host");
  watcher_ = std::jthread([this](std::stop_token stop) {
    while (!stop.stop_requested()) {
      if (!held_) {
        std::lock_guard lock(mutex_);
        readOutput();
      }
      std::this_thread::sleep_for(2ms);
    }
  });
}

HostProcess::~HostProcess() {
  watcher_.request_stop();
  if (watcher_.joinable()) watcher_.join();
  if (pid_ > 0) ::kill(pid_, SIGKILL);
  finish();
  for (int fd : {outFd_, errFd_}) {
    if (fd >= 0) ::close(fd);
  }
}

void HostProcess::readOutput() {
  outputRead_ += readFile(outFd_, outputRead_, pending_);
  std::size_t start = 0;
  for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = pending_.substr(start, end - start);
    if (line.starts_with("=> ")) {
      ++answerLines_;
      auto j = Json::parse(line.substr(3), nullptr, false);
      if (!j.is_discarded() && j.contains("id") && j["id"].is_number_integer()) {
        answeredAt_.emplace(j["id"].get<int>(), std::chrono::steady_clock::now());
        answers_[j["id"].get<int>()].push_back(std::move(j));
      }
    }
    stdout_.push_back(std::move(line));
  }
  pending_.erase(0, start);
}

std::string HostProcess::standardError() const {
  std::string out;
  readFile(errFd_, 0, out);
  return out;
}

void HostProcess::sendLine(const std::string& line) {
  const std::string data = line + "\n";
  for (std::size_t sent = 0; sent < data.size();) {
    const ssize_t n = ::write(stdin_, data.data() + sent, data.size() - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("the host's input is closed");
    sent += static_cast<std::size_t>(n);
  }
}

bool HostProcess::trySend(const std::string& lines) {
  // A pipe with a page free takes a write of at most PIPE_BUF bytes whole, at once.
  pollfd room{stdin_, POLLOUT, 0};
  if (lines.size() > PIPE_BUF || ::poll(&room, 1, 0) != 1 || (room.revents & POLLOUT) == 0) return false;
  if (::write(stdin_, lines.data(), lines.size()) != static_cast<ssize_t>(lines.size())) {
    throw std::runtime_error("the host's input is closed");
  }
  calls_ += static_cast<int>(std::count(lines.begin(), lines.end(), '\n'));
  return true;
}

int HostProcess::call(const std::string& method, const Json& arguments) {
  return callAll({{method, arguments}}).front();
}

std::vector<int> HostProcess::callAll(const std::vector<std::pair<std::string, Json>>& calls) {
  std::string lines;
  std::vector<int> ids;
  for (const auto& [method, arguments] : calls) {
    lines += (arguments.is_null() ? method : method + " " + arguments.dump()) + "\n";
    ids.push_back(++calls_);
  }
  for (int id : ids) sentAt_[id] = std::chrono::steady_clock::now();
  lines.pop_back();  // sendLine ends the last one
  sendLine(lines);
  return ids;
}

Json HostProcess::answer(int id, std::chrono::milliseconds timeout) {
  if (!pollUntil(timeout, [&] {
        std::lock_guard lock(mutex_);
        return answers_.count(id) != 0;
      })) {
    ADD_FAILURE() << "no answer for call " << id << "; stderr:\n" << standardError();
    return Json::object();
  }
  std::lock_guard lock(mutex_);
  return answers_[id].front();
}

bool HostProcess::waitForAnswers(std::size_t count, std::chrono::milliseconds timeout) {
  return pollUntil(timeout, [&] { return answerCount() >= count; });
}

std::map<int, std::size_t> HostProcess::answersPerId() {
  std::lock_guard lock(mutex_);
  readOutput();
  std::map<int, std::size_t> out;
  for (const auto& [id, answers] : answers_) out[id] = answers.size();
  return out;
}

std::chrono::milliseconds HostProcess::latency(int id) {
  std::lock_guard lock(mutex_);
  readOutput();
  if (!answeredAt_.count(id) || !sentAt_.count(id)) return std::chrono::milliseconds(-1);
  return std::chrono::duration_cast<std::chrono::milliseconds>(answeredAt_[id] - sentAt_[id]);
}

std::vector<std::string> HostProcess::diagnostics() {
  auto out = standardOutput();
  std::erase_if(out, [](const std::string& line) { return line.starts_with("=> "); });
  return out;
}

Memory HostProcess::memory() const {
  Memory out;
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  for (std::string name; status >> name;) {
    if (name == "VmRSS:") status >> out.rssKb;
    if (name == "VmHWM:") status >> out.hwmKb;
  }
  if (probe_ < 0 || ::send(probe_, "?", 1, MSG_NOSIGNAL) != 1) return out;
  std::string line;
  char c = 0;
  pollfd ready{probe_, POLLIN, 0};
  // One short line; a host that stopped answering it is not waited for.
  while (::poll(&ready, 1, 10000) == 1 && ::read(probe_, &c, 1) == 1 && c != '\n') line += c;
  if (!line.empty() && c == '\n') out.heapKb = static_cast<long>(std::stoull(line) / 1024);
  return out;
}

int HostProcess::wait(std::chrono::milliseconds timeout) {
  int status = 0;
  if (pid_ > 0 && !pollUntil(timeout, [&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; })) return -1;
  pid_ = -1;
  for (int* fd : {&stdin_, &probe_}) {
    if (*fd >= 0) ::close(std::exchange(*fd, -1));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int HostProcess::finish(std::chrono::milliseconds timeout) {
  if (stdin_ >= 0) ::close(std::exchange(stdin_, -1));
  return wait(timeout);
}

}  // namespace e2e
