// Drives a real veltrino-host through its console: one method call per line in, one
// answer line per call out, diagnostics in between. Also the temporary system root
// each test runs in, and the reference helper's ops log.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
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
  // program arguments carry |flags|; writeJob replaces only the job. Its
  // ThrottleInterval is |throttleSeconds|, launchd's ten seconds when absent: zero lets
  // a test restart a helper at once.
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
  // Those still running this root's helper: a number since given to another process
  // is never signalled.
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

// How a host is started; by default on the root, with all three standard descriptors ours.
struct Launch {
  std::string authorization{};  // VELTRINO_AUTHORIZATION ("allow" or "deny"), unset when empty
  bool heapProbe = false;       // preloads the heap probe, which memory() asks; not under a sanitizer
  std::vector<std::string> arguments{};               // after the root and the bundle
  std::optional<std::filesystem::path> systemRoot{};  // in place of the TempRoot's own
  std::set<int> closed{};       // standard descriptors the host starts without
  bool outputUnread = false;    // standard output a pipe whose reader has already gone
  bool outputHeld = false;      // standard output a pipe that is read only once releaseOutput() is called
};

// Input is a pipe, whose closing ends the host's input. Standard output and error go
// to files in memory, so the host never waits on the test; a thread of the test reads
// standard output every 2 ms, so that each answer's time is when it was written.
class HostProcess {
 public:
  explicit HostProcess(const TempRoot& root, const Launch& launch = {});
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Sends one console line; the id its call will be answered under.
  int call(const std::string& method, const Json& arguments = nullptr);
  // Sends every call in one write, so they are all in flight at once.
  std::vector<int> callAll(const std::vector<std::pair<std::string, Json>>& calls);
  void sendLine(const std::string& line);
  // Sends |lines| (each a call, at most PIPE_BUF bytes in all) whole if the input has
  // room for them now, without waiting; false when it has not.
  bool trySend(const std::string& lines);
  int callsSent() const { return calls_; }
  // The answer object of call |id|; fails the test when it does not come in time.
  Json answer(int id, std::chrono::milliseconds timeout = 10s);
  // When call |id| was answered, counted from when it was sent.
  std::chrono::milliseconds latency(int id);
  // Until |count| answer lines have come, whatever their ids.
  bool waitForAnswers(std::size_t count, std::chrono::milliseconds timeout);
  std::size_t answerCount() {
    std::lock_guard lock(mutex_);
    return answerLines_;
  }
  std::map<int, std::size_t> answersPerId();
  std::vector<std::string> standardOutput() {
    std::lock_guard lock(mutex_);
    readOutput();
    return stdout_;
  }
  // Lines on standard output that are not answers.
  std::vector<std::string> diagnostics();
  std::string standardError() const;
  // The host's memory now, from /proc and the heap probe; -1 fields once it has gone.
  Memory memory() const;
  // Standard output held (Launch::outputHeld) is read from now on.
  void releaseOutput() { held_ = false; }
  // Waits for the host to quit: its exit status (128 + the signal that ended it), or
  // -1 when it is still running after |timeout|. finish closes its input first.
  int wait(std::chrono::milliseconds timeout = 20s);
  int finish(std::chrono::milliseconds timeout = 20s);

 private:
  void readOutput();  // the lines and answers written since the last time; under |mutex_|

  pid_t pid_ = -1;
  int stdin_ = -1, outFd_ = -1, errFd_ = -1;
  int probe_ = -1;  // our end of the heap probe's socket
  int calls_ = 0;
  std::size_t outputRead_ = 0;  // bytes of standard output read so far
  std::string pending_;  // the last line of output, unfinished
  std::vector<std::string> stdout_;
  std::map<int, std::chrono::steady_clock::time_point> sentAt_, answeredAt_;
  // Every answer object, by the id it came under; more than one means a fault.
  std::map<int, std::vector<Json>> answers_;
  std::size_t answerLines_ = 0;
  std::mutex mutex_;  // over what readOutput fills
  std::atomic<bool> held_{false};
  std::jthread watcher_;
};

}  // namespace e2e
