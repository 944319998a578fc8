// Drives a real veltrino-host through its console: one method call per line in, one
// answer line per call out, diagnostics in between. Also the temporary system root
// each test runs in, and the reference helper's ops log.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace e2e {

using namespace std::chrono_literals;
using Json = nlohmann::json;

// A fresh system root under the temporary folder; removed, with every helper process
// it saw started, when the test ends.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // A folder beside the root that hosts started on it take as their working folder,
  // home and temporary folder: whatever they write outside the root lands here.
  const std::filesystem::path& outside() const { return outside_; }
  std::vector<std::string> writtenOutside() const;
  std::filesystem::path helperPath() const;
  std::filesystem::path opsLog() const;
  std::filesystem::path serviceSocket() const;
  // Puts the reference helper in place as if it had been installed, with a job whose
  // program arguments carry |flags|; writeJob replaces only the job. The job's
  // ThrottleInterval is |throttleSeconds|, none (launchd's ten seconds) when absent:
  // zero lets a test restart a helper at once.
  void installHelper(const std::vector<std::string>& flags = {}) const;
  void writeJob(const std::vector<std::string>& flags, std::optional<int> throttleSeconds = 0) const;

  // Every operation the reference helpers received so far, in order.
  std::vector<Json> ops() const;
  // The operations' names, each prefixed by the helper process that got it as "#1",
  // "#2", ... in the order the processes first appear.
  std::vector<std::string> opNames() const;
  bool waitForOps(std::size_t count, std::chrono::milliseconds timeout = 10s) const;
  // The helper processes that logged operations, in the order they first did.
  std::vector<pid_t> helperPids() const;
  // Those of them still running this root's helper, so that a number the system has
  // given to another process since is never signalled.
  std::vector<pid_t> liveHelperPids() const;
  void killHelpers() const;

 private:
  std::filesystem::path path_;
  std::filesystem::path outside_;
};

struct Memory {
  long rssKb = -1;   // VmRSS: resident now
  long hwmKb = -1;   // VmHWM: the most it was ever resident
  long heapKb = -1;  // handed out by the allocator and not given back; with the heap probe only
};

class HostProcess {
  template <typename Read>
  auto locked(Read read) {
    std::lock_guard lock(mutex_);
    return read();
  }

 public:
  // |authorization| ("allow" or "deny") is the host's VELTRINO_AUTHORIZATION, unset when empty.
  // |heapProbe| preloads the heap probe, which memory() then asks; not where a sanitizer
  // owns the allocator. |arguments| go on the host's command line after the root and
  // bundle.
  explicit HostProcess(const TempRoot& root, const std::string& authorization = {}, bool heapProbe = false,
                       const std::vector<std::string>& arguments = {});
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // Sends one console line; the id its call will be answered under.
  int call(const std::string& method, const Json& arguments = nullptr);
  // Sends every call in one write, so they are all in flight at once.
  std::vector<int> callAll(const std::vector<std::pair<std::string, Json>>& calls);
  void sendLine(const std::string& line);
  int callsSent() const { return calls_; }
  // The answer object of call |id|; fails the test when it does not come in time.
  Json answer(int id, std::chrono::milliseconds timeout = 10s);
  // When call |id| was answered, counted from when it was sent.
  std::chrono::milliseconds latency(int id);
  // Until |count| answer lines have come, whatever their ids.
  bool waitForAnswers(std::size_t count, std::chrono::milliseconds timeout);
  std::size_t answerCount() { return locked([&] { return answerLines_; }); }
  std::map<int, std::size_t> answersPerId();
  std::vector<std::string> standardOutput() { return locked([&] { return stdout_; }); }
  // Lines on standard output that are not answers.
  std::vector<std::string> diagnostics();
  std::string standardError() { return locked([&] { return stderr_; }); }
  // The host's memory now, from /proc and the heap probe; -1 fields once it has gone.
  Memory memory() const;
  // Closes standard input and waits for the host to quit; its exit status, or -1.
  int finish(std::chrono::milliseconds timeout = 20s);

 private:
  void readLoop(int fd, bool isStdout);

  pid_t pid_ = -1;
  int stdin_ = -1;
  int probe_ = -1;  // our end of the heap probe's socket
  int calls_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> stdout_;
  std::string stderr_;
  std::map<int, std::chrono::steady_clock::time_point> sentAt_, answeredAt_;
  // Every answer object, by the id it came under; more than one means a fault.
  std::map<int, std::vector<Json>> answers_;
  std::size_t answerLines_ = 0;
  std::thread outReader_;
  std::thread errReader_;
};

}  // namespace e2e
