// What the runtime benchmarks share: a temporary system root with the reference
// helper installed in it, the host wired in-process on the Linux runtime backend
// with the benchmark's thread as its main thread, and child processes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/flutter.h"
#include "platform/linux/console_messenger.h"
#include "platform/linux/runtime.h"
#include "platform/linux/unique_fd.h"

namespace bench {

inline constexpr const char* kHelperLabel = "com.veltrino.mac.helper";

// A fresh folder under /tmp (short, so the service socket's path fits). When it goes,
// every process started with it as its system root is killed, then it is removed.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Puts veltrino-helperd in place as the installed helper, with a job whose program
  // arguments carry |flags|.
  void installHelper(const std::vector<std::string>& flags = {}) const;
  std::filesystem::path opsLog() const;

 private:
  std::filesystem::path path_;
};

// Counts the lines another process appends to a file, reading only what is new.
class AppendedLines {
 public:
  explicit AppendedLines(std::filesystem::path file) : file_(std::move(file)) {}
  std::size_t count();

 private:
  std::filesystem::path file_;
  platform::linux_backend::UniqueFd fd_;
  std::size_t lines_ = 0;
};

// The Flutter messenger as the console bridge drives it, without the console's own
// pipes: a call goes to the channel's handler on the main queue, and its answer ends
// as the content of an answer line.
class BenchMessenger final : public platform::FlutterBinaryMessenger {
 public:
  void setMessageHandlerOnChannel(const std::string& channel, platform::FlutterBinaryMessageHandler handler) override;
  platform::FlutterBinaryMessageHandler handler() const;

 private:
  std::map<std::string, platform::FlutterBinaryMessageHandler> handlers_;
};

// The host on the runtime backend: VPNPlugin registered on its channel, the service
// namespace rooted in |root|, the app bundle of the build. The thread that makes it
// is its main thread, which runs the main queue only inside run* calls.
class HostHarness {
 public:
  using AnswerSink = std::function<void(std::uint64_t id, std::string line)>;

  // Runs just before a call reaches the channel's handler.
  using DeliveryHook = std::function<void(std::uint64_t id)>;

  HostHarness(const std::filesystem::path& root, AnswerSink sink, DeliveryHook beforeDelivery = {});
  ~HostHarness();
  HostHarness(const HostHarness&) = delete;
  HostHarness& operator=(const HostHarness&) = delete;

  // Hands |call| to the main queue as the console's reader does, under the next id,
  // which it returns. Its answer line goes to the sink.
  std::uint64_t post(platform::linux_backend::ConsoleCall call);
  // Runs the main queue until |done| holds.
  void runUntil(const std::function<bool()>& done);
  // Runs the main queue for at most |limit|.
  void runFor(std::chrono::milliseconds limit);

 private:
  void deliver(std::uint64_t id, platform::linux_backend::ConsoleCall call);

  platform::linux_backend::LinuxRuntime runtime_;
  std::shared_ptr<BenchMessenger> messenger_;
  std::unique_ptr<platform::FlutterPluginRegistrar> registrar_;
  AnswerSink sink_;
  DeliveryHook beforeDelivery_;
  std::uint64_t callsRead_ = 0;
};

// The one line a call's answer is: what the console prints for it.
std::string nullAnswer(std::uint64_t id, std::string_view method);

// A process started by a benchmark, with |fds| mapped onto its descriptors (child fd
// -> parent fd); killed and reaped when it goes, unless it already ended.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& arguments, const std::map<int, int>& fds);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // Waits for it to end; its exit status, or -1 when it did not end normally.
  int wait();
  // Its process id while it runs; -1 once waited for.
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// A blocking connection to the Unix-domain socket at |path|; none when it fails.
platform::linux_backend::UniqueFd connectTo(const std::filesystem::path& path);

// Whole-buffer I/O on a blocking descriptor; false on end of file or an error.
bool writeAll(int fd, std::string_view bytes);
bool readExactly(int fd, char* out, std::size_t size);

}  // namespace bench
