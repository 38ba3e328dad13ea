// monitor_bench: measures the monitor against the least a supervisor can do, a bare
// fork/execv/waitpid loop, both supervising bench_probe in one run. Their batches alternate,
// so that drift in the machine hits both alike. Prints one markdown table.
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "probe_record.h"

namespace {

constexpr int kRounds = 100;
constexpr int kKillsPerBatch = 5;
constexpr std::size_t kCrashesPerBatch = 15;
constexpr std::size_t kEnduranceCrashes = 10'000;
constexpr int kStormSignals = 10'000;
constexpr std::int64_t kIdleNs = 10'000'000'000;
constexpr int kPollMs = 100;
constexpr int kStallPolls = 100;  // polls without progress before the bench gives up
constexpr std::int64_t kNsPerMs = 1'000'000;
constexpr std::int64_t kNsPerS = 1'000'000'000;
constexpr double kNsPerUs = 1e3;
constexpr int kExecFailed = 127;
// The goals the figures are held to.
constexpr double kLatencyRatioMax = 1.05;
constexpr double kCrashRateRatioMin = 0.95;
constexpr double kPssRatioMax = 1.10;
constexpr double kPrivateKbMax = 120;
constexpr double kMappingsMax = 24;
constexpr std::array<int, 6> kColumnWidths{36, 10, 9, 5, 13, 4};
constexpr double kMedian = 0.5;
constexpr double kP99 = 0.99;

volatile std::sig_atomic_t g_stop = 0;
extern "C" void OnStop(int /*signo*/) {
  g_stop = 1;
}

void Require(bool holds, const std::string& what) {
  if (!holds) {
    throw std::runtime_error(what);
  }
}

// The stop handlers are installed without SA_RESTART: a blocking call returns EINTR, and the
// bench leaves through its cleanup instead of leaving processes behind.
long Sys(long result, const char* what) {
  Require(g_stop == 0, "interrupted");
  Require(result >= 0 || errno == EINTR, std::string(what) + ": " + std::strerror(errno));
  return result;
}

std::int64_t Ns(const timespec& time) {
  return time.tv_sec * kNsPerS + time.tv_nsec;
}

std::int64_t Now() {  // CLOCK_MONOTONIC, the probe's clock
  timespec time{};
  Sys(clock_gettime(CLOCK_MONOTONIC, &time), "clock_gettime");
  return Ns(time);
}

void Nap(std::int64_t nanoseconds) {
  const timespec time{nanoseconds / kNsPerS, nanoseconds % kNsPerS};
  errno = clock_nanosleep(CLOCK_MONOTONIC, 0, &time, nullptr);  // returns the error, sets no errno
  Sys(errno == 0 ? 0 : -1, "clock_nanosleep");
}

std::string Proc(pid_t pid, const char* file) {
  return "/proc/" + std::to_string(pid) + "/" + file;
}

std::string Slurp(const std::string& path) {  // empty once the process is gone
  std::ifstream file(path);
  return {std::istreambuf_iterator<char>(file), {}};
}

// The first word after "key:" in a /proc file made of such lines (status, smaps_rollup).
std::string Field(const std::string& text, const std::string& key) {
  const std::string label = "\n" + key + ":";
  const std::size_t where = ("\n" + text).find(label);
  Require(where != std::string::npos, "no " + key + " in /proc");
  std::string word;
  std::istringstream(text.substr(where + label.size() - 1)) >> word;
  return word;
}

double Number(const std::string& text, const std::string& key) {
  return std::stod(Field(text, key));
}

struct Stat {
  pid_t pid;
  char state;
  pid_t ppid;
};

std::optional<Stat> StatOf(pid_t pid) {
  const std::string text = Slurp(Proc(pid, "stat"));
  // The name in parentheses may hold anything, so parse from the last ')'.
  std::istringstream rest(text.substr(std::min(text.size(), text.rfind(')') + 1)));
  Stat stat{pid, 0, 0};
  if (!(rest >> stat.state >> stat.ppid)) {
    return std::nullopt;
  }
  return stat;
}

std::vector<Stat> ChildrenOf(pid_t parent) {
  std::vector<Stat> children;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    const auto stat = name.find_first_not_of("0123456789") == std::string::npos
                          ? StatOf(std::stoi(name))
                          : std::nullopt;
    if (stat && stat->ppid == parent) {
      children.push_back(*stat);
    }
  }
  return children;
}

// One supervisor, the monitor or the bare loop, and the probe it runs.
struct Side {
  pid_t supervisor = -1;
  pid_t child = -1;
  int reports = -1;  // read end: one ProbeRecord per probe start
  int tokens = -1;   // write end: each byte makes one probe start crash
};

// Exactly `count` records from the side's probes, all children of its supervisor.
std::vector<ProbeRecord> Records(const Side& side, std::size_t count) {
  std::vector<ProbeRecord> records(count);
  const std::size_t total = count * sizeof(ProbeRecord);
  for (std::size_t got = 0, stalls = 0; got < total;) {
    pollfd ready{side.reports, POLLIN, 0};
    if (Sys(poll(&ready, 1, kPollMs), "poll") <= 0) {
      Require(++stalls < kStallPolls, "timed out waiting for a probe to start");
      continue;
    }
    const long bytes =
        Sys(read(side.reports, reinterpret_cast<char*>(records.data()) + got, total - got), "read");
    Require(bytes != 0, "a supervisor is gone: its report pipe closed");
    got += static_cast<std::size_t>(std::max(bytes, 0L));
    stalls = 0;
  }
  for (const ProbeRecord& record : records) {
    Require(side.supervisor < 0 || record.ppid == side.supervisor, "a probe has a stranger parent");
  }
  return records;
}

// fork and execv rather than posix_spawn: this glibc's posix_spawn leaves its two internal
// signals ignored in the child, and an ignored signal survives every later execve.
pid_t Spawn(std::vector<std::string> args, int report_fd, int token_fd, bool new_session) {
  std::vector<char*> argv(args.size() + 1, nullptr);
  std::transform(args.begin(), args.end(), argv.begin(),
                 [](std::string& arg) { return arg.data(); });
  sigset_t none{};
  sigemptyset(&none);
  const pid_t pid = fork();
  if (pid == 0) {
    // Default actions (exec resets the caught ones) and a clean mask, as from a plain shell;
    // the pipe ends lose close-on-exec here alone, so neither supervisor holds the other's.
    if (signal(SIGPIPE, SIG_DFL) != SIG_ERR && sigprocmask(SIG_SETMASK, &none, nullptr) == 0 &&
        fcntl(report_fd, F_SETFD, 0) == 0 && fcntl(token_fd, F_SETFD, 0) == 0 &&
        (!new_session || setsid() > 0)) {
      execv(argv[0], argv.data());
    }
    _exit(kExecFailed);
  }
  Sys(pid, "fork");
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
  const pid_t pid =
      Spawn({supervisor, PROBE_PATH, std::to_string(report[1]), std::to_string(token[0])},
            report[1], token[0], !detaches);
  Sys(close(report[1]), "close");
  Sys(close(token[0]), "close");
  Side side{-1, -1, report[0], token[1]};
  if (detaches) {  // its invoker must return 0 once it has detached
    int status = -1;
    while (Sys(waitpid(pid, &status, 0), "waitpid") != pid) {
    }
    Require(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the monitor's invoker did not exit 0");
  }
  const ProbeRecord first = Records(side, 1)[0];
  // Detached or not, the supervisor must be the bench's child (it is a subreaper): ours to reap.
  const auto parent = StatOf(first.ppid);
  Require(parent && parent->ppid == getpid(), "the supervisor is not the bench's child");
  side.supervisor = first.ppid;
  side.child = first.pid;
  return side;
}

// Each sample runs from just before kill(2) to the next probe's own start stamp.
void KillBatch(Side& side, int kills, std::vector<double>& latencies_us) {
  for (int i = 0; i < kills; ++i) {
    const std::int64_t before = Now();
    Sys(kill(side.child, SIGKILL), "kill");
    const ProbeRecord next = Records(side, 1)[0];
    Require(!next.crashing && next.pid != side.child, "no fresh probe after a kill");
    latencies_us.push_back(static_cast<double>(Ns(next.start) - before) / kNsPerUs);
    side.child = next.pid;
  }
}

// `crashes` probes in a row kill themselves; returns the seconds from the first one's start to
// the start of the one after the last, which waits.
double CrashBatch(Side& side, std::size_t crashes) {
  const std::string tokens(crashes, 't');
  Require(Sys(write(side.tokens, tokens.data(), crashes), "write") == static_cast<long>(crashes),
          "the token pipe is full");
  Sys(kill(side.child, SIGKILL), "kill");
  const auto records = Records(side, crashes + 1);
  const auto crashed = std::count_if(records.begin(), records.end(),
                                     [](const auto& record) { return record.crashing; });
  Require(static_cast<std::size_t>(crashed) == crashes, "the probes did not crash as told");
  side.child = records.back().pid;
  return static_cast<double>(Ns(records.back().start) - Ns(records.front().start)) / kNsPerS;
}

double Percentile(std::vector<double> values, double fraction) {  // nearest rank
  std::sort(values.begin(), values.end());
  const auto rank =
      static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())));
  return values[std::max<std::size_t>(rank, 1) - 1];
}

struct Footprint {
  double rss_kb, pss_kb, private_kb, mappings, threads, fds, zombies, vmrss_kb, switches;
};

Footprint Measure(pid_t pid) {
  const std::string rollup = Slurp(Proc(pid, "smaps_rollup"));
  const std::string status = Slurp(Proc(pid, "status"));
  const std::string maps = Slurp(Proc(pid, "maps"));
  const auto children = ChildrenOf(pid);
  const auto fds = std::distance(std::filesystem::directory_iterator(Proc(pid, "fd")), {});
  const auto zombies = std::count_if(children.begin(), children.end(),
                                     [](const auto& child) { return child.state == 'Z'; });
  return {Number(rollup, "Rss"),
          Number(rollup, "Pss"),
          Number(rollup, "Private_Clean") + Number(rollup, "Private_Dirty"),
          static_cast<double>(std::count(maps.begin(), maps.end(), '\n')),
          Number(status, "Threads"),
          static_cast<double>(fds),
          static_cast<double>(zombies),
          Number(status, "VmRSS"),
          Number(status, "voluntary_ctxt_switches") + Number(status, "nonvoluntary_ctxt_switches")};
}

// The five signals the monitor drops, then one SIGCHLD, which with a live child it only answers
// with a status line. Once none is pending and it sleeps again, it has taken them all.
void SignalStorm(const Side& monitor) {
  constexpr std::array kDropped{SIGHUP, SIGINT, SIGTERM, SIGPIPE, SIGALRM};
  for (int i = 0; i < kStormSignals; ++i) {
    Sys(kill(monitor.supervisor, kDropped[static_cast<std::size_t>(i) % kDropped.size()]), "kill");
  }
  Sys(kill(monitor.supervisor, SIGCHLD), "kill");
  const auto none_pending = [](const std::string& mask) {
    return mask.find_first_not_of('0') == std::string::npos;
  };
  for (int polls = 0;; ++polls, Nap(kPollMs * kNsPerMs)) {
    const std::string status = Slurp(Proc(monitor.supervisor, "status"));
    if (none_pending(Field(status, "SigPnd")) && none_pending(Field(status, "ShdPnd")) &&
        Field(status, "State") == "S") {
      return;
    }
    Require(polls < kStallPolls, "timed out: the monitor did not take the signal storm");
  }
}

// The same probe still runs under the supervisor, and none has started since (no report).
bool ChildUnchanged(const Side& side, pid_t before) {
  const auto child = StatOf(before);
  pollfd report{side.reports, POLLIN, 0};
  return side.child == before && child && child->state != 'Z' && child->ppid == side.supervisor &&
         Sys(poll(&report, 1, 0), "poll") == 0;
}

using Row =
    std::array<std::string, kColumnWidths.size()>;  // measure, monitor, bare, ratio, goal, met

void Print(const Row& row) {
  for (std::size_t column = 0; column < row.size(); ++column) {
    std::cout << "| " << std::left << std::setw(kColumnWidths.at(column)) << row.at(column) << ' ';
  }
  std::cout << "|\n";
}

std::string Fixed(double value, int digits) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(digits) << value;
  return text.str();
}

std::string Met(bool holds) {
  return holds ? "pass" : "FAIL";
}

struct Figures {
  double monitor;
  double bare;
};

void Compare(const char* measure, Figures figures, int digits, const char* goal = "",
             std::optional<bool> met = std::nullopt) {
  Print({measure, Fixed(figures.monitor, digits), Fixed(figures.bare, digits),
         figures.bare != 0 ? Fixed(figures.monitor / figures.bare, 3) : "", goal,
         met ? Met(*met) : ""});
}

void Growth(const char* measure, double before, double after) {
  Print({measure, Fixed(before, 0) + " -> " + Fixed(after, 0), "", "", "no growth",
         Met(after <= before)});
}

void Run() {
  Side monitor = Start(MONITOR_PATH, true);
  Side bare = Start(BARE_LOOP_PATH, false);
  std::vector<double> latency_m;
  std::vector<double> latency_b;
  std::vector<double> warm_up;
  for (Side* side : {&monitor, &bare}) {  // page cache and first-use code paths
    KillBatch(*side, kKillsPerBatch, warm_up);
    CrashBatch(*side, kCrashesPerBatch);
  }
  double crash_s_m = 0;
  double crash_s_b = 0;
  for (int round = 0; round < kRounds; ++round) {  // which side goes first alternates too
    for (Side* side : round % 2 == 0 ? std::array{&monitor, &bare} : std::array{&bare, &monitor}) {
      KillBatch(*side, kKillsPerBatch, side == &monitor ? latency_m : latency_b);
      (side == &monitor ? crash_s_m : crash_s_b) += CrashBatch(*side, kCrashesPerBatch);
    }
  }
  const Footprint mon = Measure(monitor.supervisor);
  const Footprint base = Measure(bare.supervisor);
  Nap(kIdleNs);
  const double idle_m = Measure(monitor.supervisor).switches - mon.switches;
  const double idle_b = Measure(bare.supervisor).switches - base.switches;

  CrashBatch(monitor, kEnduranceCrashes);
  const pid_t child_before_storm = monitor.child;
  SignalStorm(monitor);
  const bool child_kept = ChildUnchanged(monitor, child_before_storm);
  const Footprint after = Measure(monitor.supervisor);

  const double crashes = kRounds * static_cast<double>(kCrashesPerBatch);
  const double rate_m = crashes / crash_s_m;
  const double rate_b = crashes / crash_s_b;
  const double median_m = Percentile(latency_m, kMedian);
  const double median_b = Percentile(latency_b, kMedian);
  const auto size = [](const char* path) {
    return static_cast<double>(std::filesystem::file_size(path));
  };
  Row rule;
  std::transform(kColumnWidths.begin(), kColumnWidths.end(), rule.begin(),
                 [](int width) { return std::string(static_cast<std::size_t>(width), '-'); });
  Print({"Measure", "Monitor", "Bare loop", "Ratio", "Goal", "Met"});
  Print(rule);
  Compare("Restart latency median (us)", {median_m, median_b}, 1, "ratio <= 1.05",
          median_m <= kLatencyRatioMax * median_b);
  Compare("Restart latency p99 (us)", {Percentile(latency_m, kP99), Percentile(latency_b, kP99)},
          1);
  Compare("Restart latency max (us)", {Percentile(latency_m, 1), Percentile(latency_b, 1)}, 1);
  Compare("Crash loop (restarts/s)", {rate_m, rate_b}, 0, "ratio >= 0.95",
          rate_m >= kCrashRateRatioMin * rate_b);
  Compare("RSS (kB)", {mon.rss_kb, base.rss_kb}, 0);
  Compare("PSS (kB)", {mon.pss_kb, base.pss_kb}, 0, "ratio <= 1.10",
          mon.pss_kb <= kPssRatioMax * base.pss_kb);
  Compare("Private memory (kB)", {mon.private_kb, base.private_kb}, 0, "<= 120 kB",
          mon.private_kb <= kPrivateKbMax);
  Compare("Mappings", {mon.mappings, base.mappings}, 0, "<= 24", mon.mappings <= kMappingsMax);
  Compare("Threads", {mon.threads, base.threads}, 0);
  Compare("Open descriptors", {mon.fds, base.fds}, 0);
  Compare("Binary size (bytes)", {size(MONITOR_PATH), size(BARE_LOOP_PATH)}, 0);
  Compare("Context switches in 10 s idle", {idle_m, idle_b}, 0, "0", idle_m == 0);
  Growth("Endurance: descriptors", mon.fds, after.fds);
  Growth("Endurance: zombies", mon.zombies, after.zombies);
  Growth("Endurance: VmRSS (kB)", mon.vmrss_kb, after.vmrss_kb);
  Growth("Endurance: mappings", mon.mappings, after.mappings);
  Print({"Endurance: probe across signal storm", child_kept ? "same pid" : "changed", "", "",
         "same pid", Met(child_kept)});
}

// Every descendant is re-parented to the bench, a subreaper, before its own parent can be
// reaped: once waitpid finds no child at all, none is left anywhere below.
void KillAll() noexcept {
  for (;;) {
    try {
      for (const Stat& child : ChildrenOf(getpid())) {
        kill(child.pid, SIGKILL);  // a child not yet reaped cannot be gone: nothing to check
      }
    } catch (const std::exception& error) {
      std::cerr << "monitor_bench: cleanup: " << error.what() << '\n';
    }
    if (waitpid(-1, nullptr, 0) < 0 && errno == ECHILD) {
      return;
    }
  }
}

}  // namespace

int main() {
  int status = 1;
  try {
    Sys(prctl(PR_SET_CHILD_SUBREAPER, 1), "prctl");
    // Whatever the bench inherited stays out of the supervisors and probes.
    Sys(close_range(3, ~0U, CLOSE_RANGE_CLOEXEC), "close_range");
    struct sigaction stop {};
    stop.sa_handler = OnStop;
    for (const int signo : {SIGHUP, SIGINT, SIGTERM}) {
      Sys(sigaction(signo, &stop, nullptr), "sigaction");
    }
    // A token written to a dead supervisor's pipe must fail, not end the bench before cleanup.
    Sys(signal(SIGPIPE, SIG_IGN) == SIG_ERR ? -1 : 0, "signal");
    Run();
    status = 0;
  } catch (const std::exception& error) {
    std::cerr << "monitor_bench: " << error.what() << '\n';
  }
  KillAll();
  return status;
}
