#include "host_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include <gtest/gtest.h>

extern char** environ;

namespace e2e {
namespace fs = std::filesystem;

namespace {

const char* kLabel = "com.veltrino.mac.helper";

// Pointers to |strings| ending in a null, as exec takes them.
std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

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

}  // namespace

namespace {

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
fs::path TempRoot::opsLog() const { return path_ / "var/log" / (std::string(kLabel) + ".ops.jsonl"); }
fs::path TempRoot::serviceSocket() const { return path_ / "var/run" / (std::string(kLabel) + ".sock"); }

// The paths and flags the tests use need no XML escaping.
void TempRoot::writeJob(const std::vector<std::string>& flags, std::optional<int> throttleSeconds) const {
  fs::create_directories(path_ / "Library/LaunchDaemons");
  std::ofstream plist(path_ / "Library/LaunchDaemons" / (std::string(kLabel) + ".plist"));
  plist << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        << "<plist version=\"1.0\">\n<dict>\n"
        << "  <key>Label</key>\n  <string>" << kLabel << "</string>\n"
        << "  <key>ProgramArguments</key>\n  <array>\n"
        << "    <string>" << helperPath().string() << "</string>\n";
  for (const auto& f : flags) plist << "    <string>" << f << "</string>\n";
  plist << "  </array>\n";
  if (throttleSeconds) plist << "  <key>ThrottleInterval</key>\n  <integer>" << *throttleSeconds << "</integer>\n";
  plist << "  <key>MachServices</key>\n  <dict>\n    <key>" << kLabel
        << "</key>\n    <true/>\n  </dict>\n</dict>\n</plist>\n";
}

void TempRoot::installHelper(const std::vector<std::string>& flags) const {
  fs::create_directories(helperPath().parent_path());
  fs::copy_file(VELTRINO_HELPERD_PATH, helperPath(), fs::copy_options::overwrite_existing);
  writeJob(flags);
}

std::vector<Json> TempRoot::ops() const {
  std::vector<Json> out;
  std::ifstream in(opsLog());
  std::string line;
  while (std::getline(in, line)) {
    auto j = Json::parse(line, nullptr, false);
    if (!j.is_discarded()) out.push_back(j);
  }
  return out;
}

std::vector<std::string> TempRoot::opNames() const {
  std::vector<std::string> out;
  std::map<long, int> processes;
  for (const auto& op : ops()) {
    const long pid = op.value("pid", 0L);
    auto [it, added] = processes.emplace(pid, static_cast<int>(processes.size()) + 1);
    out.push_back("#" + std::to_string(it->second) + " " + op.value("op", std::string()));
  }
  return out;
}

bool TempRoot::waitForOps(std::size_t count, std::chrono::milliseconds timeout) const {
  // Reads on from where it stopped, counting whole lines: the log may grow large.
  std::ifstream in;
  std::size_t lines = 0;
  std::vector<char> buffer(1 << 16);
  return pollUntil(timeout, [&] {
    if (!in.is_open()) in.open(opsLog(), std::ios::binary);
    in.clear();
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
      lines += static_cast<std::size_t>(std::count(buffer.data(), buffer.data() + in.gcount(), '\n'));
    }
    return lines >= count;
  });
}

std::vector<pid_t> TempRoot::helperPids() const {
  std::vector<pid_t> out;
  for (const auto& op : ops()) {
    const auto pid = static_cast<pid_t>(op.value("pid", 0L));
    if (std::find(out.begin(), out.end(), pid) == out.end()) out.push_back(pid);
  }
  return out;
}

std::vector<pid_t> TempRoot::liveHelperPids() const {
  std::vector<pid_t> out;
  for (pid_t pid : helperPids()) {
    // The program is the first argument, up to its terminating zero; none once gone.
    std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::string program;
    std::getline(cmdline, program, '\0');
    if (program == helperPath().string()) out.push_back(pid);
  }
  return out;
}

void TempRoot::killHelpers() const {
  for (pid_t pid : liveHelperPids()) ::kill(pid, SIGKILL);
}

HostProcess::HostProcess(const TempRoot& root, const std::string& authorization, bool heapProbe,
                         const std::vector<std::string>& arguments) {
  int in[2], out[2], err[2], probe[2] = {-1, -1};
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  if (heapProbe && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, probe) != 0) {
    throw std::runtime_error("socketpair failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  constexpr int kProbeFd = 3;
  if (heapProbe) posix_spawn_file_actions_adddup2(&actions, probe[1], kProbeFd);
  posix_spawn_file_actions_addchdir_np(&actions, root.outside().c_str());

  // Ours, without the host's own settings but |authorization|, and with a home and a
  // temporary folder outside the root.
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    if (!entry.starts_with("VELTRINO_AUTHORIZATION=") && !entry.starts_with("VELTRINO_SYSTEM_ROOT=") &&
        !entry.starts_with("HOME=") && !entry.starts_with("TMPDIR=")) {
      env.push_back(entry);
    }
  }
  env.push_back("HOME=" + root.outside().string());
  env.push_back("TMPDIR=" + root.outside().string());
  if (!authorization.empty()) env.push_back("VELTRINO_AUTHORIZATION=" + authorization);
  if (heapProbe) {
    env.push_back(std::string("LD_PRELOAD=") + VELTRINO_HEAP_PROBE_PATH);
    env.push_back("HEAP_PROBE_FD=" + std::to_string(kProbeFd));
  }
  std::vector<std::string> args = {VELTRINO_HOST_PATH, "--system-root", root.path().string(), "--bundle",
                                   VELTRINO_BUNDLE_PATH};
  args.insert(args.end(), arguments.begin(), arguments.end());
  auto argv = pointers(args);
  auto envp = pointers(env);

  const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (heapProbe) {
    ::close(probe[1]);
    probe_ = probe[0];
  }
  if (rc != 0) throw std::runtime_error("cannot start the host");
  stdin_ = in[1];
  outReader_ = std::thread([this, fd = out[0]] { readLoop(fd, true); });
  errReader_ = std::thread([this, fd = err[0]] { readLoop(fd, false); });
}

HostProcess::~HostProcess() {
  if (pid_ <= 0) return;  // finished
  ::kill(pid_, SIGKILL);
  finish();
}

void HostProcess::readLoop(int fd, bool isStdout) {
  std::string pending;
  char buffer[65536];
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::lock_guard lock(mutex_);
    if (!isStdout) {
      stderr_.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t at;
    while ((at = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, at);
      pending.erase(0, at + 1);
      if (line.rfind("=> ", 0) == 0) {
        ++answerLines_;
        auto j = Json::parse(line.substr(3), nullptr, false);
        if (!j.is_discarded() && j.contains("id") && j["id"].is_number_integer()) {
          const int id = j["id"].get<int>();
          answeredAt_.emplace(id, std::chrono::steady_clock::now());
          answers_[id].push_back(std::move(j));
        }
      }
      stdout_.push_back(std::move(line));
    }
    changed_.notify_all();
  }
  ::close(fd);
  std::lock_guard lock(mutex_);
  changed_.notify_all();
}

void HostProcess::sendLine(const std::string& line) {
  std::string data = line + "\n";
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t n = ::write(stdin_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("the host's input is closed");
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

int HostProcess::call(const std::string& method, const Json& arguments) {
  return callAll({{method, arguments}}).front();
}

std::vector<int> HostProcess::callAll(const std::vector<std::pair<std::string, Json>>& calls) {
  std::string lines;
  std::vector<int> ids;
  for (const auto& [method, arguments] : calls) {
    lines += arguments.is_null() ? method : method + " " + arguments.dump();
    lines += '\n';
    ids.push_back(++calls_);
  }
  {
    std::lock_guard lock(mutex_);
    for (int id : ids) sentAt_[id] = std::chrono::steady_clock::now();
  }
  lines.pop_back();  // sendLine ends the last one
  sendLine(lines);
  return ids;
}

Json HostProcess::answer(int id, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, timeout, [&] { return answers_.count(id) != 0; })) {
    ADD_FAILURE() << "no answer for call " << id << "; stderr:\n" << stderr_;
    return Json::object();
  }
  return answers_[id].front();
}

bool HostProcess::waitForAnswers(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return answerLines_ >= count; });
}

std::map<int, std::size_t> HostProcess::answersPerId() {
  std::lock_guard lock(mutex_);
  std::map<int, std::size_t> out;
  for (const auto& [id, answers] : answers_) out[id] = answers.size();
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

std::chrono::milliseconds HostProcess::latency(int id) {
  std::lock_guard lock(mutex_);
  if (!answeredAt_.count(id) || !sentAt_.count(id)) return std::chrono::milliseconds(-1);
  return std::chrono::duration_cast<std::chrono::milliseconds>(answeredAt_[id] - sentAt_[id]);
}

std::vector<std::string> HostProcess::diagnostics() {
  auto out = standardOutput();
  std::erase_if(out, [](const std::string& line) { return line.starts_with("=> "); });
  return out;
}

int HostProcess::finish(std::chrono::milliseconds timeout) {
  if (stdin_ >= 0) {
    ::close(stdin_);
    stdin_ = -1;
  }
  int status = 0;
  if (!pollUntil(timeout, [&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; })) return -1;
  pid_ = -1;
  if (probe_ >= 0) {
    ::close(probe_);
    probe_ = -1;
  }
  outReader_.join();
  errReader_.join();
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace e2e
