// What the link tests share: a temporary system root that ends every helper started
// in it, a background loop on a thread of its own, a thread-safe record of what a
// connection reported, the helper's ops log, and child processes run by a test.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/service_namespace.h"
#include "platform/linux/system_root.h"
#include "platform/linux/unique_fd.h"
#include "platform/xpc.h"

namespace link_test {

using namespace std::chrono_literals;

inline constexpr auto kPatience = 20s;
inline const std::string kLabel = "com.veltrino.mac.helper";

// A fresh folder under /tmp (short, so socket paths fit). On the way out every process
// started with it as its system root is killed, then the folder is removed.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Processes whose environment names |root| as their system root.
std::vector<pid_t> processesUnderRoot(const std::filesystem::path& root);
// Waits until |pid| has ended (or is a zombie); false on time-out.
bool waitForExit(pid_t pid, std::chrono::milliseconds timeout = kPatience);
bool processRunning(pid_t pid);

// An io_context run by one thread until the loop goes.
class BackgroundLoop {
 public:
  BackgroundLoop();
  ~BackgroundLoop();
  asio::io_context& context() { return io_; }
  std::thread::id threadId() const { return thread_.get_id(); }
  // Returns once everything the loop had ready before the call has run.
  void drain();

 private:
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::thread thread_;
};

// Lines that callbacks add from any thread, and that a test waits for.
class EventLog {
 public:
  void add(std::string entry);
  std::vector<std::string> entries() const;
  // Waits until |done| holds for the entries; false on time-out.
  bool waitUntil(const std::function<bool(const std::vector<std::string>&)>& done,
                 std::chrono::milliseconds timeout = kPatience) const;
  bool waitForCount(std::size_t count) const;
  std::size_t count(const std::string& entry) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> entries_;
};

std::string render(const platform::XPCValues& values);

// Sends |selector| through |transport|; the outcome lands in |log| as
// "<tag> reply <values>" or "<tag> failed: <description>".
void call(platform::XPCTransport& transport, EventLog& log, const std::string& tag, const std::string& selector,
          platform::XPCValues arguments = {});
void sendOneWay(platform::XPCTransport& transport, EventLog& log, const std::string& tag,
                const std::string& selector);
// Resumes |transport| with events that land in |log| as "<tag> interrupted" and
// "<tag> invalidated".
void resume(platform::XPCTransport& transport, EventLog& log, const std::string& tag);

struct OpRecord {
  pid_t pid;
  std::string op;
  nlohmann::json args;
};
std::vector<OpRecord> readOps(const platform::linux_backend::SystemRoot& root);

// A job for |label| that runs |arguments|.
void writeJob(const platform::linux_backend::SystemRoot& root, const std::string& label,
              const std::vector<std::string>& arguments);
std::vector<std::string> helperd(std::vector<std::string> flags = {});

// A process a test starts itself, with its standard output and error on pipes; killed
// and reaped when it goes, unless it already ended.
class ChildProcess {
 public:
  // |environment| replaces the test's own when given.
  ChildProcess(const std::vector<std::string>& arguments,
               std::optional<std::vector<std::string>> environment = std::nullopt);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // The next line of standard output, none on time-out or end of output.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = kPatience);
  // Waits for the exit status; none on time-out or an abnormal end.
  std::optional<int> wait(std::chrono::milliseconds timeout = kPatience);
  // Standard error up to its end (call after wait).
  std::string errorOutput();

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  platform::linux_backend::UniqueFd out_, err_;
  std::string outBuffer_;
};

// A root, a background loop and a service namespace over them.
class LinkTest : public ::testing::Test {
 protected:
  LinkTest() : sysroot(root.path()), ns(loop.context(), sysroot) {}

  std::unique_ptr<platform::XPCTransport> connect() { return ns.connect(kLabel, 4096); }
  std::vector<std::string> ops() const;
  std::vector<pid_t> opPids() const;

  TempRoot root;
  platform::linux_backend::SystemRoot sysroot;
  EventLog events;
  BackgroundLoop loop;
  platform::linux_backend::ServiceNamespace ns;
};

}  // namespace link_test
