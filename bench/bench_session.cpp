// What a user of a busy interface feels, measured on the host executable as the
// interface drives it (calls written to its standard input, answer lines read from its
// standard output) against a real veltrino-helperd: how long each call of a burst
// waits for its answer line, how often the host's threads are switched in while it
// sits idle after a session, and its start-up beside a process that only answers one
// line.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "runtime_support.h"
#include "vpn_bridge/call_guard.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using platform::linux_backend::UniqueFd;
using namespace std::chrono_literals;

constexpr std::string_view kAnswerPrefix = "=> ";

double milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The |q| quantile of |values| by nearest rank; sorts them.
double quantile(std::vector<double>& values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size())));
  return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  readEnd.reset(fds[0]);
  writeEnd.reset(fds[1]);
  return true;
}

// Reads what |fd| has within |patience| and appends it; false on end of file, an
// error or nothing in time.
bool readSome(int fd, std::string& into, Clock::duration patience) {
  const auto deadline = Clock::now() + patience;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= 0ms) return false;
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buffer[65536];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    into.append(buffer, static_cast<std::size_t>(n));
    return true;
  }
}

// veltrino-host on |root| with the build's bundle, as the interface runs it. Every
// line it writes that is not an answer (a print, its diagnostics) is passed over.
class HostProcess {
 public:
  struct Answer {
    std::uint64_t id = 0;
    std::string line;
    // When the benchmark read it: the moment the answer line came out.
    Clock::time_point at;
  };

  explicit HostProcess(const fs::path& root) {
    UniqueFd inRead, outWrite;
    if (!makePipe(inRead, input_) || !makePipe(output_, outWrite)) throw std::runtime_error("pipe failed");
    UniqueFd devNull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    process_ = std::make_unique<bench::ChildProcess>(
        std::vector<std::string>{VELTRINO_HOST_PATH, "--system-root", root.string(), "--bundle",
                                 VELTRINO_BUNDLE_PATH},
        std::map<int, int>{{0, inRead.get()}, {1, outWrite.get()}, {2, devNull.get()}});
  }

  pid_t pid() const { return process_->pid(); }

  // Lets the input pipe hold |bytes| at once, so that writing that many returns
  // without waiting for the host to read: the calls are all sent at that moment.
  bool holdInput(std::size_t bytes) {
    ::fcntl(input_.get(), F_SETPIPE_SZ, static_cast<int>(std::min<std::size_t>(bytes, 1 << 30)));
    const int size = ::fcntl(input_.get(), F_GETPIPE_SZ);
    return size > 0 && static_cast<std::size_t>(size) >= bytes;
  }

  bool send(std::string_view lines) { return bench::writeAll(input_.get(), lines); }

  // The next answer line; none when the host closed its output or nothing came within
  // |patience|.
  std::optional<Answer> nextAnswer(Clock::duration patience = 30s) {
    while (ready_.empty()) {
      if (!readSome(output_.get(), pending_, patience)) return std::nullopt;
      const auto at = Clock::now();
      std::size_t start = 0;
      for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string_view line(pending_.data() + start, end - start);
        if (line.starts_with(kAnswerPrefix)) ready_.push_back({idOf(line), std::string(line), at});
      }
      pending_.erase(0, start);
    }
    Answer answer = std::move(ready_.front());
    ready_.pop_front();
    return answer;
  }

  // Ends the input: the host quits once every call read is answered. Its exit status.
  int finish() {
    input_.reset();
    return process_->wait();
  }

 private:
  // => {"id":N,...
  static std::uint64_t idOf(std::string_view line) {
    constexpr std::string_view kIdKey = R"(=> {"id":)";
    std::uint64_t id = 0;
    if (line.starts_with(kIdKey)) std::from_chars(line.data() + kIdKey.size(), line.data() + line.size(), id);
    return id;
  }

  UniqueFd input_;
  UniqueFd output_;
  std::unique_ptr<bench::ChildProcess> process_;
  std::string pending_;
  std::deque<Answer> ready_;
};

// An answer line from its method on: the same for every call of one method that got
// the same answer, whatever its id.
std::string_view afterId(std::string_view line) {
  const auto method = line.find(R"(,"method":)");
  return method == std::string_view::npos ? std::string_view() : line.substr(method);
}

// N get_tunnel_version calls written to the host in one write, with the helper already
// running and answering. Each call's latency runs from the moment before that write
// (the input pipe is made large enough to take them all at once, so they are all sent
// then) to the moment the benchmark read its answer line. The time reported is the
// whole burst's, to its last answer; the counters give the quantiles per call, over
// every burst of the run.
void BM_AnswerBurst(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  bench::TempRoot root;
  root.installHelper();
  HostProcess host(root.path());

  // The first call launches the helper and gives the answer every later one must get:
  // the helper's version, which a time-out (null) or an error is not.
  constexpr std::string_view kCall = "get_tunnel_version\n";
  host.send(kCall);
  const auto first = host.nextAnswer();
  const std::string expected = first ? std::string(afterId(first->line)) : std::string();
  if (!first || first->id != 1 || !expected.starts_with(R"(,"method":"get_tunnel_version","result":")")) {
    state.SkipWithError("the helper did not answer the first call with its version");
    return;
  }

  std::string burst;
  burst.reserve(n * kCall.size());
  for (std::size_t i = 0; i < n; ++i) burst += kCall;
  if (!host.holdInput(burst.size())) {
    state.SkipWithError("the input pipe cannot hold the whole burst (see /proc/sys/fs/pipe-max-size)");
    return;
  }

  std::vector<double> latencies;
  latencies.reserve(n * 4);
  std::uint64_t nextId = 2;
  std::size_t wrong = 0;
  bool lost = false;
  for (auto _ : state) {
    std::vector<bool> answered(n, false);
    const auto sent = Clock::now();
    if (!host.send(burst)) {
      lost = true;
      break;
    }
    Clock::time_point last = sent;
    for (std::size_t i = 0; i < n; ++i) {
      const auto answer = host.nextAnswer();
      if (!answer) {
        lost = true;
        break;
      }
      const std::uint64_t index = answer->id - nextId;
      if (answer->id < nextId || index >= n || answered[index] || afterId(answer->line) != expected) {
        ++wrong;
        continue;
      }
      answered[index] = true;
      latencies.push_back(milliseconds(answer->at - sent));
      last = answer->at;
    }
    state.SetIterationTime(seconds(last - sent));
    if (lost) break;
    nextId += n;
  }
  if (lost) {
    state.SkipWithError("the host stopped answering mid-burst");
    return;
  }
  if (wrong != 0) {
    state.SkipWithError("a call of the burst was answered twice, out of range, or without the helper's version");
    return;
  }
  if (host.finish() != 0) state.SkipWithError("the host did not quit cleanly");

  state.counters["calls"] = static_cast<double>(n);
  state.counters["p50_ms"] = quantile(latencies, 0.50);
  state.counters["p99_ms"] = quantile(latencies, 0.99);
  state.counters["max_ms"] = latencies.empty() ? 0 : *std::max_element(latencies.begin(), latencies.end());
  state.counters["bursts"] = static_cast<double>(state.iterations());
}
BENCHMARK(BM_AnswerBurst)->Arg(10000)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// Context switches (voluntary and not) of each thread of |pid|, by thread id.
std::map<pid_t, std::uint64_t> switchesByThread(pid_t pid) {
  std::map<pid_t, std::uint64_t> switches;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator(fs::path("/proc") / std::to_string(pid) / "task", ec)) {
    std::ifstream status(task.path() / "status");
    std::uint64_t total = 0;
    int found = 0;
    for (std::string line; std::getline(status, line);) {
      for (const std::string_view key : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"}) {
        if (!line.starts_with(key)) continue;
        const auto digits = line.find_first_of("0123456789", key.size());
        std::uint64_t value = 0;
        if (digits != std::string::npos) std::from_chars(line.data() + digits, line.data() + line.size(), value);
        total += value;
        ++found;
      }
    }
    // A thread that ended between the listing and the read has no status left.
    if (found == 2) switches[static_cast<pid_t>(std::stoi(task.path().filename().string()))] = total;
  }
  return switches;
}

// The idle window: 10 seconds, or what VELTRINO_BENCH_IDLE_SECONDS says (the short
// pass of scripts/bench takes 1).
Clock::duration idleWindow() {
  double window = 10;
  if (const char* text = std::getenv("VELTRINO_BENCH_IDLE_SECONDS"); text != nullptr && *text != '\0') {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end != text && *end == '\0' && value > 0 && value <= 3600) window = value;
  }
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(window));
}

// After a session whose calls the helper answered, the host sits with its input open
// and nothing to do. Counted: the context switches of every thread of the host over
// the idle window, read from /proc/PID/task/*/status before and after; a thread that
// started meanwhile counts in full. The window opens right after the session, so it
// holds the wake-ups that the session's calls leave scheduled (their time-outs). The
// time reported is the window itself.
void BM_IdleHost(benchmark::State& state) {
  const Clock::duration window = idleWindow();
  bench::TempRoot root;
  root.installHelper();
  HostProcess host(root.path());

  constexpr std::string_view kSession =
      "get_tunnel_version\n"
      R"(set_hive {"ip":"10.0.0.1","port":"443","hive":"hive-eu-1","ipv6Enable":"off"})"
      "\n"
      R"(set_force_routing {"state":"on"})"
      "\n"
      "on\n"
      "off\n";
  constexpr std::size_t kSessionCalls = 5;
  const auto started = Clock::now();
  host.send(kSession);
  for (std::size_t i = 0; i < kSessionCalls; ++i) {
    const auto answer = host.nextAnswer();
    if (!answer || afterId(answer->line).find(R"(,"result":)") == std::string_view::npos) {
      state.SkipWithError("a call of the session was not answered with a result");
      return;
    }
  }
  // Every call is answered by then; a time-out's null would have taken 5 seconds.
  if (Clock::now() - started >= vpn_bridge::kHelperCallTimeout) {
    state.SkipWithError("the helper did not answer the session");
    return;
  }

  // The last answer line comes out before the threads that wrote and relayed it have
  // gone back to sleep; the window opens once none of them was switched for 100 ms.
  constexpr auto kQuiet = 100ms;
  const auto settleStart = Clock::now();
  auto before = switchesByThread(host.pid());
  for (auto quietSince = settleStart; Clock::now() - quietSince < kQuiet && Clock::now() - settleStart < 2s;) {
    std::this_thread::sleep_for(10ms);
    auto now = switchesByThread(host.pid());
    if (now != before) {
      before = std::move(now);
      quietSince = Clock::now();
    }
  }
  const double settleMs = milliseconds(Clock::now() - settleStart);

  std::uint64_t switches = 0;
  std::uint64_t mainThread = 0;
  std::size_t threads = 0;
  std::size_t ended = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    std::this_thread::sleep_until(start + window);
    const auto after = switchesByThread(host.pid());
    state.SetIterationTime(seconds(Clock::now() - start));
    for (const auto& [thread, count] : after) {
      const auto was = before.find(thread);
      const std::uint64_t added = count - (was == before.end() ? 0 : was->second);
      switches += added;
      if (thread == host.pid()) mainThread += added;
    }
    for (const auto& [thread, count] : before) ended += after.contains(thread) ? 0 : 1;
    threads = after.size();
  }
  if (threads == 0 || host.finish() != 0) {
    state.SkipWithError("the host ended while idle, or did not quit cleanly");
    return;
  }
  // Not scaled to another window: a switch or two is a one-off, not a rate.
  state.counters["switches"] = static_cast<double>(switches);
  state.counters["main_thread"] = static_cast<double>(mainThread);
  state.counters["window_s"] = seconds(window);
  state.counters["threads"] = static_cast<double>(threads);
  // Their switches in the window are not in the count.
  state.counters["threads_ended"] = static_cast<double>(ended);
  state.counters["settle_ms"] = settleMs;
}
BENCHMARK(BM_IdleHost)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// Spawns |arguments| with pipes for its standard input and output, writes |line| and
// reads until a whole answer line ("=> ...") came out. The time from the spawn to that
// line, or none when the process ended or said nothing in time. |output| gets all it
// wrote; the input is closed and the process waited for before returning, and
// |exitStatus| gets how it ended.
std::optional<Clock::duration> timeToFirstAnswer(const std::vector<std::string>& arguments, std::string_view line,
                                                 std::string& output, int& exitStatus) {
  UniqueFd inRead, inWrite, outRead, outWrite;
  if (!makePipe(inRead, inWrite) || !makePipe(outRead, outWrite)) return std::nullopt;
  UniqueFd devNull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  output.clear();
  auto answered = [&output] {
    for (std::size_t at = 0; (at = output.find(kAnswerPrefix, at)) != std::string::npos; ++at) {
      if ((at == 0 || output[at - 1] == '\n') && output.find('\n', at) != std::string::npos) return true;
    }
    return false;
  };

  const auto start = Clock::now();
  bench::ChildProcess process(arguments, {{0, inRead.get()}, {1, outWrite.get()}, {2, devNull.get()}});
  inRead.reset();
  outWrite.reset();
  bench::writeAll(inWrite.get(), line);
  bool complete = false;
  while (!(complete = answered()) && readSome(outRead.get(), output, 10s)) {
  }
  const auto elapsed = Clock::now() - start;
  inWrite.reset();
  exitStatus = process.wait();
  if (!complete) return std::nullopt;
  return elapsed;
}

double median(std::vector<double> values) { return quantile(values, 0.5); }

// The host's start-up to its first answer (as BM_StartUp) and, in the same iterations,
// taking turns on which goes first, that of a process that does nothing but read one
// line and answer it: what the host adds to the cost of being a process at all. The
// time reported is the host's; the counters give the medians of both and their ratio.
void BM_StartUpBeside(benchmark::State& state) {
  bench::TempRoot root;
  constexpr std::string_view kLine = "print {\"message\":\"x\"}\n";
  const std::vector<std::string> hostCommand{VELTRINO_HOST_PATH, "--system-root", root.path().string(), "--bundle",
                                             VELTRINO_BUNDLE_PATH};
  const std::vector<std::string> minimalCommand{VELTRINO_ANSWER_ONCE_PATH};
  const std::string hostExpected = "x\n" + bench::nullAnswer(1, "print") + "\n";
  const std::string minimalExpected = std::string(kAnswerPrefix) + std::string(kLine);

  std::vector<double> hostMs;
  std::vector<double> minimalMs;
  std::string output;
  int status = 0;
  bool failed = false;
  bool hostFirst = true;
  for (auto _ : state) {
    std::optional<Clock::duration> host;
    std::optional<Clock::duration> minimal;
    for (int turn = 0; turn < 2; ++turn) {
      if ((turn == 0) == hostFirst) {
        host = timeToFirstAnswer(hostCommand, kLine, output, status);
        failed |= !host || status != 0 || output != hostExpected;
      } else {
        minimal = timeToFirstAnswer(minimalCommand, kLine, output, status);
        failed |= !minimal || status != 0 || output != minimalExpected;
      }
    }
    if (failed) break;
    hostFirst = !hostFirst;
    state.SetIterationTime(seconds(*host));
    hostMs.push_back(milliseconds(*host));
    minimalMs.push_back(milliseconds(*minimal));
  }
  if (failed) {
    state.SkipWithError("the host or the minimal process did not answer as expected, or did not end cleanly");
    return;
  }
  const double host = median(hostMs);
  const double minimal = median(minimalMs);
  state.counters["host_ms"] = host;
  state.counters["minimal_ms"] = minimal;
  state.counters["ratio"] = minimal > 0 ? host / minimal : 0;
}
BENCHMARK(BM_StartUpBeside)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
