// The host on the Linux runtime backend against real processes: the round trip of one
// call next to the floor of the same frames over a plain socket, many calls pending
// against a helper that never answers, and the start-up of the host executable.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <variant>
#include <vector>

#include "alloc_counter.h"
#include "platform/linux/bundle.h"
#include "platform/linux/wire/wire.h"
#include "runtime_support.h"
#include "vpn_bridge/call_guard.h"

namespace {

using Clock = std::chrono::steady_clock;
using platform::linux_backend::ConsoleCall;
using platform::linux_backend::UniqueFd;
using namespace std::chrono_literals;

constexpr std::string_view kSetHiveLine =
    R"(set_hive {"ip":"10.0.0.1","port":"443","hive":"hive-eu-1","ipv6Enable":"off"})";
constexpr std::string_view kNullResult = R"(,"result":null})";

ConsoleCall parse(std::string_view line) {
  return std::get<ConsoleCall>(platform::linux_backend::parseConsoleLine(line));
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
double milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double threadCpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Where the two ends of a round trip run. On this two-CPU virtual machine a wake-up
// that crosses to an idle CPU costs some 20 to 40 us, ten times a round trip on one
// CPU, and whether the scheduler keeps a pair of processes together differs from run
// to run. So each round trip is measured twice: with the benchmark, its threads and
// the processes it starts held on the CPU it runs on (argument one_cpu:1, the code's
// own cost, steady), and placed as the scheduler likes (one_cpu:0).
class Placement {
 public:
  explicit Placement(const benchmark::State& state) {
    if (state.range(0) == 0) return;
    ::sched_getaffinity(0, sizeof saved_, &saved_);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(::sched_getcpu(), &one);
    pinned_ = ::sched_setaffinity(0, sizeof one, &one) == 0;
  }
  ~Placement() {
    if (pinned_) ::sched_setaffinity(0, sizeof saved_, &saved_);
  }
  Placement(const Placement&) = delete;
  Placement& operator=(const Placement&) = delete;

 private:
  cpu_set_t saved_{};
  bool pinned_ = false;
};

void roundTripArguments(benchmark::internal::Benchmark* b) {
  b->ArgName("one_cpu")->Arg(1)->Arg(0)->Repetitions(5)->Unit(benchmark::kMicrosecond);
}

// Console line in, answer line's content out, through VPNPlugin, the runtime's main
// queue and service namespace, and a veltrino-helperd that replies at once.
void BM_RoundTripHost(benchmark::State& state) {
  const Placement placement(state);
  bench::TempRoot root;
  root.installHelper();
  std::string answer;
  bool answered = false;
  bench::HostHarness host(root.path(), [&](std::uint64_t, std::string line) {
    answer = std::move(line);
    answered = true;
  });
  auto roundTrip = [&] {
    answered = false;
    const std::uint64_t id = host.post(parse(kSetHiveLine));
    host.runUntil([&] { return answered; });
    return id;
  };

  // The first call launches the helper. set_hive answers null on a time-out too, so
  // only a quick answer shows that the helper replied.
  const auto launched = Clock::now();
  std::uint64_t id = roundTrip();
  if (answer != bench::nullAnswer(id, "set_hive") || Clock::now() - launched >= vpn_bridge::kHelperCallTimeout) {
    state.SkipWithError("the helper did not answer the first call");
    return;
  }

  // Allocations are counted on calls of their own: the timed ones do not pay for
  // the counters.
  constexpr std::uint64_t kCountedCalls = 200;
  const std::uint64_t allocationsBefore = bench::allocationCount();
  for (std::uint64_t i = 0; i < kCountedCalls; ++i) roundTrip();
  state.counters["allocs_per_call"] =
      static_cast<double>(bench::allocationCount() - allocationsBefore) / static_cast<double>(kCountedCalls);

  std::uint64_t wrong = 0;
  bench::setCounting(false);
  for (auto _ : state) {
    roundTrip();
    if (!answer.ends_with(kNullResult)) ++wrong;
  }
  bench::setCounting(true);

  const auto calls = static_cast<std::size_t>(state.iterations()) + 1 + kCountedCalls;
  if (wrong != 0) state.SkipWithError("a call was answered with something else than null");
  if (bench::AppendedLines(root.opsLog()).count() != calls) state.SkipWithError("the helper did not get every call");
}
BENCHMARK(BM_RoundTripHost)->Apply(roundTripArguments);

// The frames that one set_hive and its reply are on the wire, with a five-digit id
// as the host's are after its first ten thousand calls.
struct SetHiveFrames {
  std::string request;
  std::string replyBody;
  std::size_t replySize() const { return platform::linux_backend::wire::kHeaderBytes + replyBody.size(); }
  // The reply body as the echo peer takes it: hexadecimal, since MessagePack may hold
  // a NUL byte, which an argument cannot.
  std::string replyBodyHex() const {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : replyBody) {
      hex += kDigits[static_cast<unsigned char>(c) >> 4];
      hex += kDigits[static_cast<unsigned char>(c) & 0xf];
    }
    return hex;
  }
};

SetHiveFrames setHiveFrames() {
  namespace wire = platform::linux_backend::wire;
  const platform::linux_backend::PlistBundle bundle(VELTRINO_BUNDLE_PATH);
  const std::string dylib = bundle.privateFrameworksPath().value_or("") + "/core.dylib";
  const std::uint64_t id = 10000;
  return {*wire::encodeFrame(wire::Request{
              "setHive:ip:port:hive:ipv6Enable:completion:",
              {dylib, std::string("10.0.0.1"), std::string("443"), std::string("hive-eu-1"), std::string("off")},
              id}),
          wire::encodeBody(wire::Reply{id, {}})};
}

// Blocking round trips of |frames| on |socket|, for the loop of |state|.
void blockingRoundTrips(benchmark::State& state, int socket, const SetHiveFrames& frames) {
  std::string reply(frames.replySize(), '\0');
  auto roundTrip = [&] {
    return bench::writeAll(socket, frames.request) && bench::readExactly(socket, reply.data(), reply.size());
  };
  if (!roundTrip()) {
    state.SkipWithError("the peer did not answer");
    return;
  }
  bool failed = false;
  for (auto _ : state) failed |= !roundTrip();
  if (failed) state.SkipWithError("the peer stopped answering");
  state.counters["request_bytes"] = static_cast<double>(frames.request.size());
  state.counters["reply_bytes"] = static_cast<double>(reply.size());
}

// The floor: the frames of one set_hive and its reply, written and read by blocking
// calls on a Unix-domain socket to a peer that does nothing else.
void BM_RoundTripRawSocket(benchmark::State& state) {
  const Placement placement(state);
  const SetHiveFrames frames = setHiveFrames();
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  UniqueFd mine(ends[0]);
  UniqueFd theirs(ends[1]);
  bench::ChildProcess echo({VELTRINO_BENCH_ECHO_PATH, frames.replyBodyHex()}, {{3, theirs.get()}});
  theirs.reset();
  blockingRoundTrips(state, mine.get(), frames);
  mine.reset();
  if (echo.wait() != 0) state.SkipWithError("the echo peer failed");
}
BENCHMARK(BM_RoundTripRawSocket)->Apply(roundTripArguments);

// Where the host's round trip goes: the same frames, written and read the same way,
// to veltrino-helperd itself. What it adds to the floor is the helper's own work.
void BM_RoundTripHelperd(benchmark::State& state) {
  const Placement placement(state);
  const SetHiveFrames frames = setHiveFrames();
  bench::TempRoot root;
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    state.SkipWithError("pipe failed");
    return;
  }
  UniqueFd outRead(out[0]), outWrite(out[1]);
  bench::ChildProcess helper({VELTRINO_HELPERD_PATH, "--system-root", root.path().string()}, {{1, outWrite.get()}});
  outWrite.reset();
  // It says so once it listens.
  char byte = 0;
  while (bench::readExactly(outRead.get(), &byte, 1) && byte != '\n') {
  }
  UniqueFd socket = bench::connectTo(root.path() / "var/run" / (std::string(bench::kHelperLabel) + ".sock"));
  if (!socket) {
    state.SkipWithError("cannot connect to the helper");
    return;
  }
  blockingRoundTrips(state, socket.get(), frames);
}
BENCHMARK(BM_RoundTripHelperd)->Apply(roundTripArguments);

// N set_hive calls pending at once against a helper that takes them and never
// answers. The time reported is the main thread's CPU time to issue them: on two
// cores its wall time also holds the helper and the link thread, which take the
// frames meanwhile. The counters give the heap bytes held per pending call once the
// helper has them all, and how late after its 5-second deadline the last time-out
// answer came.
void BM_InFlight(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  bench::TempRoot root;
  root.installHelper({"--silent", "setHive"});

  // Indexed by call id; id 1 launches the helper, ids 2..n+1 are the pending calls.
  std::vector<Clock::time_point> issuedAt(n + 2);
  std::vector<Clock::time_point> answeredAt(n + 2);
  std::size_t answers = 0;
  std::size_t delivered = 0;
  std::size_t wrong = 0;
  bench::HostHarness host(
      root.path(),
      [&](std::uint64_t id, std::string line) {
        answeredAt[id] = Clock::now();
        ++answers;
        if (!line.ends_with(kNullResult)) ++wrong;
      },
      [&](std::uint64_t id) {
        issuedAt[id] = Clock::now();
        ++delivered;
      });
  host.post(parse(R"(set_force_routing {"state":"on"})"));
  host.runUntil([&] { return answers == 1; });

  bench::AppendedLines ops(root.opsLog());
  for (auto _ : state) {
    const std::int64_t baseline = bench::liveBytes();
    // Reading and parsing the console is the reader thread's work, done before.
    std::vector<ConsoleCall> calls;
    calls.reserve(n);
    for (std::size_t i = 0; i < n; ++i) calls.push_back(parse(kSetHiveLine));

    const auto start = Clock::now();
    const double cpuStart = threadCpuSeconds();
    for (auto& call : calls) host.post(std::move(call));
    host.runUntil([&] { return delivered == n + 1; });
    const double issueCpu = threadCpuSeconds() - cpuStart;
    const auto issued = Clock::now();
    state.SetIterationTime(issueCpu);
    std::vector<ConsoleCall>().swap(calls);

    // Pending in earnest once the helper has read every frame: nothing is left queued
    // for the socket.
    const auto firstDeadline = issuedAt[2] + vpn_bridge::kHelperCallTimeout;
    while (ops.count() < n + 1 && Clock::now() < firstDeadline) host.runFor(10ms);
    const auto helperHasAll = Clock::now();
    const std::int64_t held = bench::liveBytes() - baseline;

    host.runUntil([&] { return answers == n + 1; });
    // What stays once every call has had its time-out answer: the connection keeps
    // the reply of a message until it is answered or the connection fails.
    const std::int64_t keptAfterAnswers = bench::liveBytes() - baseline;

    double lastLate = 0;
    double maxLate = 0;
    std::size_t early = 0;
    for (std::size_t id = 2; id < n + 2; ++id) {
      const double late = milliseconds(answeredAt[id] - (issuedAt[id] + vpn_bridge::kHelperCallTimeout));
      if (late < 0) ++early;
      maxLate = std::max(maxLate, late);
      if (id == n + 1) lastLate = late;
    }
    state.counters["issue_ns_per_call"] = 1e9 * issueCpu / static_cast<double>(n);
    state.counters["issue_wall_ms"] = milliseconds(issued - start);
    state.counters["bytes_per_pending"] = static_cast<double>(held) / static_cast<double>(n);
    state.counters["bytes_kept_after_timeout"] = static_cast<double>(keptAfterAnswers) / static_cast<double>(n);
    state.counters["last_late_ms"] = lastLate;
    state.counters["max_late_ms"] = maxLate;
    state.counters["helper_has_all_ms"] = milliseconds(helperHasAll - start);
    if (wrong != 0 || early != 0) state.SkipWithError("a pending call was answered before its time-out");
    if (ops.count() < n + 1) state.SkipWithError("the helper did not get every call before the first deadline");
  }
}
BENCHMARK(BM_InFlight)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// From spawning veltrino-host to the answer of its first call, a print: the process
// starts, the main nib loads, the plug-ins and the channel are registered, the
// console reads the line and the answer is written.
void BM_StartUp(benchmark::State& state) {
  bench::TempRoot root;
  UniqueFd devNull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  const std::string expected = "x\n" + bench::nullAnswer(1, "print") + "\n";
  bool failed = false;
  for (auto _ : state) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
      state.SkipWithError("pipe failed");
      return;
    }
    UniqueFd inRead(in[0]), inWrite(in[1]), outRead(out[0]), outWrite(out[1]);

    const auto start = Clock::now();
    bench::ChildProcess host({VELTRINO_HOST_PATH, "--system-root", root.path().string(), "--bundle",
                              VELTRINO_BUNDLE_PATH},
                             {{0, inRead.get()}, {1, outWrite.get()}, {2, devNull.get()}});
    inRead.reset();
    outWrite.reset();
    bench::writeAll(inWrite.get(), "print {\"message\":\"x\"}\n");
    std::string output;
    char buffer[4096];
    while (output.find("=> ") == std::string::npos || !output.ends_with("\n")) {
      const ssize_t n = ::read(outRead.get(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      output.append(buffer, static_cast<std::size_t>(n));
    }
    state.SetIterationTime(seconds(Clock::now() - start));

    inWrite.reset();  // the end of input: the host quits once every call is answered
    failed |= host.wait() != 0 || output != expected;
  }
  if (failed) state.SkipWithError("the host did not answer its first call as expected, or did not quit cleanly");
}
BENCHMARK(BM_StartUp)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
