// velorn_agent_watch UNIT: makes an agent that is down for good show in systemd's own state. It
// finds the monitor of UNIT, velorn-agent-monitor@INSTANCE.service, in that unit's control group,
// and sleeps in poll(2) on pidfds of the monitor and of its agent, the monitor's only child. It
// exits 1, which fails its own unit, once the monitor is left waiting with no child, and 0 when the
// monitor ends, which the monitor's own unit answers.
//
// velorn_agent_watch --output PROGRAM [ARG]...: runs PROGRAM in its own place, its standard output
// and error on descriptor 3, where the monitor's unit keeps the journal stream that systemd gave
// it.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>
#include <system_error>

namespace {

constexpr int kExitDown = 1;
constexpr int kExitFailed = 2;
// The shell's convention for a command that could not be run (bash(1), EXIT STATUS).
constexpr int kExitNotFound = 127;
constexpr int kExitNotExecutable = 126;
// After an agent's end the monitor is looked at again 1, 2, 4 ... ms later, at most this far apart.
constexpr int kRecheckMaxMs = 256;
// Down for good: the monitor has slept in one wait, without waking, with no child, this long.
constexpr int kSettledMs = 100;
using Text = std::array<char, 4096>;  // NOLINT(readability-magic-numbers): a /proc file's start

struct Process {
  char state = '\0';  // as ps(1) shows it; none once the process is gone
  pid_t parent = 0;
};

// glibc 2.36's <sys/pidfd.h> declares pidfd_open without C linkage, which C++ cannot link to.
int PidfdOpen(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// The start of /proc/PID/NAME; empty once the process is gone.
std::string_view ReadProc(pid_t pid, const char* name, Text& text) {
  const bool named = std::snprintf(text.data(), text.size(), "/proc/%d/%s", pid, name) > 0;
  const int file = named ? open(text.data(), O_RDONLY | O_CLOEXEC) : -1;
  const ssize_t size = file < 0 ? -1 : read(file, text.data(), text.size());
  if (file < 0 || close(file) != 0 || size <= 0) {
    return {};
  }
  return {text.data(), static_cast<std::size_t>(size)};
}

// The name in /proc/PID/stat's parentheses may hold anything: the fields after the last ')' count.
Process Read(pid_t pid) {
  Text text{};
  const std::string_view stat = ReadProc(pid, "stat", text);
  const std::size_t fields = stat.rfind(") ");
  Process process{};
  if (fields != std::string_view::npos && stat.size() > fields + 4 &&
      std::from_chars(&stat[fields + 4], stat.end(), process.parent).ec == std::errc{}) {
    process.state = stat[fields + 2];
  }
  return process;
}

// Whether the process is in the unit's control group, by /proc/PID/cgroup's unified line.
bool InUnit(pid_t pid, std::string_view unit) {
  Text text{};
  std::string_view line = ReadProc(pid, "cgroup", text);
  line.remove_prefix(line.starts_with("0::") ? 0 : std::min(line.size(), line.find("\n0::") + 1));
  line = line.substr(0, line.find('\n'));
  return line.starts_with("0::") && line.ends_with(unit) &&
         line[line.size() - unit.size() - 1] == '/';
}

// The first process that `match` takes: 0 for none, -1 when /proc cannot be read.
template <typename Match>
pid_t FindProcess(Match match) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) {
    return -1;
  }
  pid_t found = 0;
  while (const dirent* entry = readdir(proc)) {
    const std::string_view name = entry->d_name;
    const auto [end, error] = std::from_chars(name.begin(), name.end(), found);
    if (error == std::errc{} && end == name.end() && match(found)) {
      break;
    }
    found = 0;
  }
  return closedir(proc) == 0 ? found : -1;
}

// The process of the unit that runs the monitor and whose parent is not the unit's: what an agent
// left behind has left the monitor's tree too, but runs other programs.
pid_t FindMonitor(std::string_view unit) {
  return FindProcess([unit](pid_t pid) {
    Text text{};
    const std::string_view command = ReadProc(pid, "cmdline", text);
    return InUnit(pid, unit) && !InUnit(Read(pid).parent, unit) &&
           command.substr(0, command.find('\0')).ends_with("velorn_agent_monitor");
  });
}

// While the process sleeps (S), how often it has gone to sleep: the same count at two looks means
// that it slept between them without waking. -1 while it does not sleep.
long Sleeps(pid_t pid) {
  Text text{};
  const std::string_view status = ReadProc(pid, "status", text);
  const std::string_view state = "\nState:\tS";
  const std::string_view sleeps = "\nvoluntary_ctxt_switches:\t";
  const std::size_t count = status.find(sleeps);
  long slept = -1;
  if (status.find(state) == std::string_view::npos || count == std::string_view::npos ||
      std::from_chars(&status[count + sleeps.size()], status.end(), slept).ec != std::errc{}) {
    return -1;
  }
  return slept;
}

// The monitor's child, running or ended and not yet reaped: 0 for none.
pid_t ChildOf(pid_t monitor) {
  return FindProcess([monitor](pid_t pid) { return Read(pid).parent == monitor; });
}

// What one look at the monitor finds: a pidfd of its running child (-1: none), and while it sleeps
// with no child at all, its count of sleeps (-1: otherwise). A look over /proc may miss a child
// that lived for a moment, in a crash loop say; but then the monitor, woken by its end, has slept
// anew. An ended child that the monitor has yet to reap is still its to act on: its SIGCHLD may
// wait on a tracer, strace say.
struct Look {
  int agent = -1;
  long asleep = -1;
};

Look LookAt(pid_t monitor) {
  const auto running = [monitor](pid_t pid) {
    const Process process = Read(pid);
    return process.parent == monitor && process.state != 'Z' && process.state != 'X';
  };
  const pid_t child = ChildOf(monitor);
  Look look{.agent = child > 0 && running(child) ? PidfdOpen(child) : -1,
            .asleep = child == 0 ? Sleeps(monitor) : -1};
  // A pid may be reused once its process is reaped: the child is checked again once the pidfd
  // holds it.
  if (look.agent >= 0 && !running(child) && close(look.agent) == 0) {
    look.agent = -1;
  }
  return look;
}

int Watch(const char* unit) {
  const pid_t monitor = FindMonitor(unit);
  // The pidfds of the monitor and of its agent (-1 while it has none): readable at their ends.
  std::array<pollfd, 2> ends{{{.fd = PidfdOpen(monitor), .events = POLLIN, .revents = 0},
                              {.fd = -1, .events = POLLIN, .revents = 0}}};
  if (ends[0].fd < 0 && (monitor == 0 || errno == ESRCH)) {
    (void)std::printf("%s: no monitor runs in it, nothing to watch\n", unit);
    return 0;
  }
  // Since the monitor was last seen asleep with no child: its count of sleeps then (-1: not so
  // seen), and how long, by the timeouts of the looks since; and the last look's timeout (-1 when
  // the agent was waited for instead).
  long asleep = -1;
  int settled_ms = 0;
  int timeout_ms = -1;
  while (ends[0].fd >= 0) {
    const Look look = LookAt(monitor);
    ends[1].fd = look.agent;
    settled_ms = look.asleep >= 0 && look.asleep == asleep ? settled_ms + timeout_ms : 0;
    asleep = look.asleep;
    if (settled_ms >= kSettledMs) {
      (void)std::fprintf(stderr, "%s: its agent is down for good: monitor %d has no child\n", unit,
                         monitor);
      return kExitDown;
    }
    timeout_ms = ends[1].fd >= 0 ? -1 : std::clamp(timeout_ms * 2, 1, kRecheckMaxMs);
    if (poll(ends.data(), ends.size(), timeout_ms) < 0 ||
        (ends[1].fd >= 0 && close(ends[1].fd) != 0)) {
      break;
    }
    if (ends[0].revents != 0) {
      return 0;
    }
  }
  (void)std::fprintf(stderr, "%s: cannot watch: %s\n", unit, std::strerror(errno));
  return kExitFailed;
}

// The pid, and the monitor's count of restarts, stay as they were; without a descriptor 3 the
// streams stay as they were too. Like the monitor, it searches no PATH.
int Output(std::span<char*> program) {
  constexpr int kJournal = 3;
  if (fcntl(kJournal, F_GETFD) >= 0 &&
      (dup2(kJournal, STDOUT_FILENO) < 0 || dup2(kJournal, STDERR_FILENO) < 0 ||
       close(kJournal) != 0)) {
    return kExitFailed;
  }
  execv(program[0], program.data());
  const int error = errno;
  (void)std::fprintf(stderr, "%s: %s\n", program[0], std::strerror(error));
  return error == ENOENT ? kExitNotFound : kExitNotExecutable;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc > 2 && std::string_view(argv[1]) == "--output") {
    return Output(std::span(argv, static_cast<std::size_t>(argc)).subspan(2));
  }
  if (argc != 2) {
    (void)std::fputs(
        "usage: velorn_agent_watch velorn-agent-monitor@INSTANCE.service\n"
        "       velorn_agent_watch --output PROGRAM [ARG]...\n",
        stderr);
    return kExitFailed;
  }
  return Watch(argv[1]);
}
