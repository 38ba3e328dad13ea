// monitor_bench: measures the monitor against the least a supervisor can do, a bare
// fork/execv/waitpid loop, both supervising bench_probe in one run with their batches
// alternating, so that drift in the machine hits both alike. It prints one markdown table and
// exits 0 when every goal is met, 1 when one is not (its row marked FAIL), and 2, after a message
// on standard error, when the bench itself could not run. On every way out, a stop signal
// (SIGHUP, SIGINT, SIGTERM) included, it kills and reaps every process it started.
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <exception>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <ratio>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "probe_record.h"

namespace {

constexpr int kRounds = 100;
constexpr int kKillsPerBatch = 5;
constexpr std::size_t kCrashesPerBatch = 15;
constexpr std::chrono::seconds kIdle{10};
constexpr std::chrono::seconds kStartMax{10};  // the longest a supervisor may take to start a probe
constexpr double kMedian = 0.5;
constexpr double kP99 = 0.99;
constexpr int kExecFailed = 127;
constexpr int kGoalFailed = 1;
constexpr int kBenchFailed = 2;
// The goals the figures are held to.
constexpr double kLatencyRatioMax = 1.05;
constexpr double kCrashRateRatioMin = 0.95;
constexpr double kPssRatioMax = 1.10;
constexpr double kPrivateKbMax = 120;
constexpr double kMappingsMax = 24;

int stop_signals = -1;  // a signalfd; the signals stay blocked, so none slips in between checks

void Require(bool holds, const std::string& what) {
  if (!holds) {
    throw std::runtime_error(what);
  }
}

template <typename Result>
Result Sys(Result result, const char* what) {
  if (result < 0) {
    throw std::system_error(errno, std::generic_category(), what);
  }
  return result;
}

// Whether `descriptor` (-1: none) becomes readable in time; a stop signal ends the run.
bool Readable(int descriptor, std::chrono::milliseconds timeout) {
  std::array<pollfd, 2> fds{{{.fd = stop_signals, .events = POLLIN, .revents = 0},
                             {.fd = descriptor, .events = POLLIN, .revents = 0}}};
  Sys(poll(fds.data(), fds.size(), static_cast<int>(timeout.count())), "poll");
  Require(fds[0].revents == 0, "stopped by a signal");
  return fds[1].revents != 0;
}

std::chrono::nanoseconds Stamp(const timespec& time) {
  return std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec);
}

std::chrono::nanoseconds Now() {  // CLOCK_MONOTONIC, the probe's clock
  timespec time{};
  Sys(clock_gettime(CLOCK_MONOTONIC, &time), "clock_gettime");
  return Stamp(time);
}

// The bench's children (proc(5)): it has one thread, whose id is its pid.
std::vector<pid_t> Children() {
  std::ifstream file("/proc/self/task/" + std::to_string(getpid()) + "/children");
  Require(file.is_open(), "cannot list the bench's children in /proc");
  return {std::istream_iterator<pid_t>(file), {}};
}

// The number after "key:" in /proc/PID/FILE, made of such lines (status, smaps_rollup).
double Field(pid_t pid, const std::string& file, const std::string& key) {
  std::ifstream text("/proc/" + std::to_string(pid) + "/" + file);
  for (std::string line; std::getline(text, line);) {
    if (line.starts_with(key + ':')) {
      return std::stod(line.substr(key.size() + 1));
    }
  }
  throw std::runtime_error("no " + key + " in /proc/" + std::to_string(pid) + "/" + file);
}

// One supervisor, the monitor or the bare loop, the probe it runs, and its figures.
struct Side {
  pid_t supervisor = -1;
  pid_t child = -1;
  int reports = -1;  // read end: one ProbeRecord per probe start
  int tokens = -1;   // write end: each byte makes one probe start crash
  std::vector<double> latencies_us{};
  std::chrono::duration<double> crashing{};  // the time the crash loops took
};

// The next probe's record: each is one write below PIPE_BUF, which one read takes whole.
ProbeRecord NextRecord(const Side& side) {
  Require(Readable(side.reports, kStartMax), "timed out waiting for a probe to start");
  ProbeRecord record{};
  Require(Sys(read(side.reports, &record, sizeof record), "read") == sizeof record,
          "a supervisor is gone: its report pipe closed");
  Require(side.supervisor < 0 || record.ppid == side.supervisor, "a probe has a stranger parent");
  return record;
}

// fork and execv rather than posix_spawn: this glibc's posix_spawn leaves its two internal
// signals ignored in the child, and an ignored signal survives every later execve.
pid_t Spawn(const char* supervisor, int report_fd, int token_fd, bool new_session) {
  std::string path = supervisor;
  std::string probe = PROBE_PATH;
  std::string report = std::to_string(report_fd);
  std::string token = std::to_string(token_fd);
  const std::array argv{path.data(), probe.data(), report.data(), token.data(),
                        static_cast<char*>(nullptr)};
  sigset_t none{};
  sigemptyset(&none);
  const pid_t pid = Sys(fork(), "fork");
  // In the child: a clean mask, as from a plain shell, and the pipe ends lose close-on-exec
  // here alone, so that neither supervisor holds the other's.
  if (pid == 0 && sigprocmask(SIG_SETMASK, &none, nullptr) == 0 &&
      fcntl(report_fd, F_SETFD, 0) == 0 && fcntl(token_fd, F_SETFD, 0) == 0 &&
      (!new_session || setsid() > 0)) {
    execv(argv[0], argv.data());
  }
  if (pid == 0) {
    _exit(kExecFailed);
  }
  return pid;
}

// Starts a supervisor on the probe. The monitor detaches into a session of its own, which under
// autogroup scheduling is also a scheduling group of its own; the bare loop gets one too, so
// that the two differ by their code alone.
Side Start(const char* supervisor, bool detaches) {
  std::array<int, 2> report{};
  std::array<int, 2> token{};
  Sys(pipe2(report.data(), O_CLOEXEC), "pipe2");
  Sys(pipe2(token.data(), O_CLOEXEC | O_NONBLOCK), "pipe2");
  const pid_t pid = Spawn(supervisor, report[1], token[0], !detaches);
  Sys(close(report[1]), "close");
  Sys(close(token[0]), "close");
  int status = -1;
  Require(!detaches || (Sys(waitpid(pid, &status, 0), "waitpid") == pid && WIFEXITED(status) &&
                        WEXITSTATUS(status) == 0),
          "the monitor's invoker did not exit 0");
  Side side{.reports = report[0], .tokens = token[1]};
  const ProbeRecord first = NextRecord(side);
  // Detached or not, the supervisor must be the bench's child (it is a subreaper): ours to reap.
  Require(std::ranges::count(Children(), first.ppid) == 1, "a supervisor is not the bench's child");
  side.supervisor = first.ppid;
  side.child = first.pid;
  return side;
}

// Tells the next `count` probe starts to crash: one token each, all in one write.
void Crash(const Side& side, std::size_t count) {
  const std::string tokens(count, 't');
  Require(std::cmp_equal(Sys(write(side.tokens, tokens.data(), tokens.size()), "write"), count),
          "the token pipe is full");
}

// One batch: kills, each timed from just before kill(2) to the next probe's own start stamp;
// then kCrashesPerBatch probes in a row kill themselves, timed from the first one's start to
// the start of the one after the last, which waits.
void Batch(Side& side) {
  for (int kill_count = 0; kill_count < kKillsPerBatch; ++kill_count) {
    const auto before = Now();
    Sys(kill(side.child, SIGKILL), "kill");
    const ProbeRecord next = NextRecord(side);
    Require(!next.crashing && next.pid != side.child, "no fresh probe after a kill");
    side.latencies_us.push_back(
        std::chrono::duration<double, std::micro>(Stamp(next.start) - before).count());
    side.child = next.pid;
  }
  Crash(side, kCrashesPerBatch);
  Sys(kill(side.child, SIGKILL), "kill");
  const ProbeRecord first = NextRecord(side);
  ProbeRecord last = first;
  for (std::size_t crash = 0; crash < kCrashesPerBatch; ++crash) {
    Require(last.crashing, "a probe did not crash as told");
    last = NextRecord(side);
  }
  Require(!last.crashing, "a probe crashed untold");
  side.child = last.pid;
  side.crashing += Stamp(last.start) - Stamp(first.start);
}

double Percentile(std::vector<double> values, double fraction) {  // nearest rank
  std::ranges::sort(values);
  const auto rank = std::ceil(fraction * static_cast<double>(values.size()));
  return values.at(static_cast<std::size_t>(std::max(rank, 1.0)) - 1);
}

struct Footprint {
  double rss_kb, pss_kb, private_kb, mappings, switches;
};

double Mappings(pid_t pid) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  Require(maps.is_open(), "cannot read the mappings of " + std::to_string(pid));
  return static_cast<double>(std::count(std::istreambuf_iterator<char>(maps), {}, '\n'));
}

Footprint Measure(pid_t pid) {
  return {.rss_kb = Field(pid, "smaps_rollup", "Rss"),
          .pss_kb = Field(pid, "smaps_rollup", "Pss"),
          .private_kb = Field(pid, "smaps_rollup", "Private_Clean") +
                        Field(pid, "smaps_rollup", "Private_Dirty"),
          .mappings = Mappings(pid),
          .switches = Field(pid, "status", "voluntary_ctxt_switches") +
                      Field(pid, "status", "nonvoluntary_ctxt_switches")};
}

struct Row {
  const char* measure = "";
  double monitor = 0;
  double bare = 0;
  int digits = 0;
  const char* goal = "";  // none: the row only explains the others
  bool met = true;
};

void Print(const Row& row) {
  std::ostringstream ratio;
  if (row.bare != 0) {
    ratio << std::fixed << std::setprecision(3) << row.monitor / row.bare;
  }
  const char* met = "";
  if (*row.goal != '\0') {
    met = row.met ? "pass" : "FAIL";
  }
  std::printf("| %-29s | %-7.*f | %-9.*f | %-5s | %-13s | %-4s |\n", row.measure, row.digits,
              row.monitor, row.digits, row.bare, ratio.str().c_str(), row.goal, met);
}

// What a supervisor holds, which a soak must not see grow: descriptors, mappings, resident
// memory (kB), threads, and children left unreaped.
constexpr std::array kHoldings{"descriptors", "mappings", "resident kB", "threads", "zombies"};
using Held = std::array<double, kHoldings.size()>;

Held Holdings(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid) + "/";
  Held held{0, Mappings(pid), Field(pid, "smaps_rollup", "Rss"), Field(pid, "status", "Threads"),
            0};
  // Every open descriptor has an fdinfo entry below FDSize, the size of the descriptor table.
  for (int fd = 0; fd < static_cast<int>(Field(pid, "status", "FDSize")); ++fd) {
    held[0] += std::ifstream(proc + "fdinfo/" + std::to_string(fd)).is_open() ? 1 : 0;
  }
  std::ifstream children(proc + "task/" + std::to_string(pid) + "/children");
  for (pid_t child = 0; children >> child;) {
    std::ifstream stat_file("/proc/" + std::to_string(child) + "/stat");
    const std::string stat{std::istreambuf_iterator<char>(stat_file), {}};
    held[4] += stat.find(") Z ", stat.rfind('(')) == std::string::npos ? 0 : 1;
  }
  return held;
}

// A soak's faults on one side: the starts that never came plus the holdings that grew, told on
// standard error when there are any.
double SoakFaults(const char* side, std::size_t seen, std::size_t starts, const Held& before,
                  const Held& after) {
  auto faults = static_cast<double>(starts - seen);
  std::ostringstream report;
  report << "monitor_bench: soak of the " << side << ": " << seen << " of " << starts << " starts";
  for (std::size_t item = 0; item < kHoldings.size(); ++item) {
    faults += after.at(item) > before.at(item) ? 1 : 0;
    report << ", " << kHoldings.at(item) << ' ' << before.at(item) << " -> " << after.at(item);
  }
  if (faults != 0) {
    std::cerr << report.str() << '\n';
  }
  return faults;
}

// The soak: kSoakRestarts crash-restarts in a row on both sides at once, every start reported
// within kStartMax, after which the supervisor holds no more than before. Gives for each side
// the starts that never came plus the holdings that grew: 0 when all is well. Both sides have
// run the batches first, which leaves them warm.
std::array<double, 2> Soak(Side& monitor, Side& bare) {
  constexpr std::size_t kSoakRestarts = 20000;  // fits a token pipe of 64 KiB
  const std::array sides{&monitor, &bare};
  std::array<Held, 2> before{};
  std::array<std::size_t, 2> seen{};  // starts reported, the last one waiting
  for (std::size_t side = 0; side < sides.size(); ++side) {
    before.at(side) = Holdings(sides.at(side)->supervisor);
    Crash(*sides.at(side), kSoakRestarts);
    Sys(kill(sides.at(side)->child, SIGKILL), "kill");
  }
  std::array<pollfd, 3> fds{{{.fd = stop_signals, .events = POLLIN, .revents = 0},
                             {.fd = -1, .events = POLLIN, .revents = 0},
                             {.fd = -1, .events = POLLIN, .revents = 0}}};
  const auto wait_ms = static_cast<int>(std::chrono::milliseconds(kStartMax).count());
  for (;;) {
    for (std::size_t side = 0; side < sides.size(); ++side) {  // poll ignores a descriptor of -1
      fds.at(side + 1).fd = seen.at(side) <= kSoakRestarts ? sides.at(side)->reports : -1;
    }
    if (fds[1].fd < 0 && fds[2].fd < 0) {
      break;
    }
    if (Sys(poll(fds.data(), fds.size(), wait_ms), "poll") == 0) {
      break;  // a start that never came
    }
    Require(fds[0].revents == 0, "stopped by a signal");
    for (std::size_t side = 0; side < sides.size(); ++side) {
      if (fds.at(side + 1).revents != 0) {
        const ProbeRecord record = NextRecord(*sides.at(side));
        Require(record.crashing == (seen.at(side) < kSoakRestarts), "a probe crashed untold");
        sides.at(side)->child = record.pid;
        ++seen.at(side);
      }
    }
  }
  return {
      SoakFaults("monitor", seen[0], kSoakRestarts + 1, before[0], Holdings(monitor.supervisor)),
      SoakFaults("bare loop", seen[1], kSoakRestarts + 1, before[1], Holdings(bare.supervisor))};
}

int Run() {
  Side monitor = Start(MONITOR_PATH, true);
  Side bare = Start(BARE_LOOP_PATH, false);
  for (Side* side : {&monitor, &bare}) {  // page cache and first-use code paths
    Batch(*side);
    side->latencies_us.clear();
    side->crashing = {};
  }
  for (int round = 0; round < kRounds; ++round) {  // which side goes first alternates too
    for (Side* side : round % 2 == 0 ? std::array{&monitor, &bare} : std::array{&bare, &monitor}) {
      Batch(*side);
    }
  }
  const Footprint mon = Measure(monitor.supervisor);
  const Footprint base = Measure(bare.supervisor);
  Readable(-1, kIdle);  // idle, but a stop signal still ends it
  const double idle_m = Measure(monitor.supervisor).switches - mon.switches;
  const double idle_b = Measure(bare.supervisor).switches - base.switches;
  const std::array soak = Soak(monitor, bare);

  const double crashes = kRounds * static_cast<double>(kCrashesPerBatch);
  const double rate_m = crashes / monitor.crashing.count();
  const double rate_b = crashes / bare.crashing.count();
  const double median_m = Percentile(monitor.latencies_us, kMedian);
  const double median_b = Percentile(bare.latencies_us, kMedian);
  const std::array rows{
      Row{.measure = "Restart latency median (us)",
          .monitor = median_m,
          .bare = median_b,
          .digits = 1,
          .goal = "ratio <= 1.05",
          .met = median_m <= kLatencyRatioMax * median_b},
      Row{.measure = "Restart latency p99 (us)",
          .monitor = Percentile(monitor.latencies_us, kP99),
          .bare = Percentile(bare.latencies_us, kP99),
          .digits = 1},
      Row{.measure = "Crash loop (restarts/s)",
          .monitor = rate_m,
          .bare = rate_b,
          .digits = 0,
          .goal = "ratio >= 0.95",
          .met = rate_m >= kCrashRateRatioMin * rate_b},
      Row{.measure = "RSS (kB)", .monitor = mon.rss_kb, .bare = base.rss_kb, .digits = 0},
      Row{.measure = "PSS (kB)",
          .monitor = mon.pss_kb,
          .bare = base.pss_kb,
          .digits = 0,
          .goal = "ratio <= 1.10",
          .met = mon.pss_kb <= kPssRatioMax * base.pss_kb},
      Row{.measure = "Private memory (kB)",
          .monitor = mon.private_kb,
          .bare = base.private_kb,
          .digits = 0,
          .goal = "<= 120 kB",
          .met = mon.private_kb <= kPrivateKbMax},
      Row{.measure = "Mappings",
          .monitor = mon.mappings,
          .bare = base.mappings,
          .digits = 0,
          .goal = "<= 24",
          .met = mon.mappings <= kMappingsMax},
      Row{.measure = "Context switches in 10 s idle",
          .monitor = idle_m,
          .bare = idle_b,
          .digits = 0,
          .goal = "0",
          .met = idle_m == 0},
      Row{.measure = "Lost or grown, 20000 restarts",
          .monitor = soak[0],
          .bare = soak[1],
          .digits = 0,
          .goal = "0",
          .met = soak[0] == 0},
  };
  std::printf(
      "| Measure                       | Monitor | Bare loop | Ratio | Goal          | Met  |\n"
      "| ----------------------------- | ------- | --------- | ----- | ------------- | ---- |\n");
  std::ranges::for_each(rows, Print);
  Require(std::fflush(stdout) == 0, "cannot write the table");
  return std::ranges::all_of(rows, &Row::met) ? 0 : kGoalFailed;
}

// Blocked, a stop signal waits in the signalfd for the next poll instead of ending the bench
// before its cleanup, and a write to a dead supervisor's pipe fails instead of raising SIGPIPE.
void Prepare() {
  Sys(prctl(PR_SET_CHILD_SUBREAPER, 1), "prctl");
  Children();  // the cleanup needs them: fails here, before anything has started, if it cannot
  sigset_t stops{};
  sigemptyset(&stops);
  for (const int signo : {SIGHUP, SIGINT, SIGTERM, SIGPIPE}) {
    sigaddset(&stops, signo);
  }
  Sys(sigprocmask(SIG_BLOCK, &stops, nullptr), "sigprocmask");
  stop_signals = Sys(signalfd(-1, &stops, SFD_CLOEXEC), "signalfd");
}

// Every descendant is re-parented to the bench, a subreaper, before its own parent can be
// reaped: once waitpid finds no child at all, none is left anywhere below.
void KillAll() noexcept {
  try {
    for (;;) {
      for (const pid_t child : Children()) {
        kill(child, SIGKILL);  // a child not yet reaped cannot be gone: nothing to check
      }
      if (waitpid(-1, nullptr, 0) < 0 && errno == ECHILD) {
        return;
      }
    }
  } catch (const std::exception& error) {
    std::cerr << "monitor_bench: cleanup: " << error.what() << '\n';
  }
}

}  // namespace

int main() {
  int status = kBenchFailed;
  try {
    Prepare();
    status = Run();
  } catch (const std::exception& error) {
    std::cerr << "monitor_bench: " << error.what() << '\n';
  }
  KillAll();
  return status;
}
