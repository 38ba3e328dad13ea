// velorn_agent_monitor: keeps one program running. It detaches, starts PROGRAM with its
// arguments, starts it again at once whenever a signal ends it, and leaves it down when it
// exits of its own accord. One process, one thread; every signal is taken synchronously.

#include <sys/resource.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstddef>
#include <optional>
#include <string_view>

namespace {

// Supervision state. main sets the command line once; BlockSignal fills both masks; the
// launcher and SigHandler record each child's pid.
char* child_program = nullptr;
char** child_agrs = nullptr;
pid_t _child_process = -1;
sigset_t _mask;
sigset_t _old_mask;

// The shell's convention for a command that could not be run (bash(1), EXIT STATUS).
constexpr int kExitNotFound = 127;
constexpr int kExitNotExecutable = 126;

constexpr std::size_t kNumberMax = 11;  // an int in decimal: "-2147483648"

// A status line goes out in a single writev(2): the text where it stands, then the number and
// the end of line formatted on the stack. Nothing is buffered or copied, so the line is complete
// on its descriptor before the next step runs, and a fork can never copy unwritten output.
void WriteLine(int stream, std::string_view text, std::optional<int> number = std::nullopt) {
  std::array<char, kNumberMax + 1> tail{};
  char* end = tail.data();
  if (number) {
    end = std::to_chars(end, tail.data() + kNumberMax, *number).ptr;
  }
  *end++ = '\n';
  // iovec holds a pointer to non-const for readv(2)'s sake; writev(2) only reads through it.
  const std::array<iovec, 2> line{
      {{.iov_base = const_cast<char*>(text.data()), .iov_len = text.size()},
       {.iov_base = tail.data(), .iov_len = static_cast<std::size_t>(end - tail.data())}}};
  // No handler is ever installed, so EINTR cannot occur, and a line this short reaches a pipe
  // whole (pipe(7), PIPE_BUF). If the stream itself is broken there is nowhere left to say so;
  // glibc marks writev warn_unused_result, which a (void) cast does not satisfy in GCC.
  [[maybe_unused]] const ssize_t written =
      writev(stream, line.data(), static_cast<int>(line.size()));
}

bool RaiseCoreLimit() {
  rlimit rlim{};
  if (getrlimit(RLIMIT_CORE, &rlim) != 0) {
    return false;
  }
  rlimit rlim_new{.rlim_cur = RLIM_INFINITY, .rlim_max = RLIM_INFINITY};
  if (setrlimit(RLIMIT_CORE, &rlim_new) == 0) {
    return true;
  }
  // Without CAP_SYS_RESOURCE the hard limit cannot rise, but the soft one may reach it.
  rlim_new.rlim_cur = rlim.rlim_max;
  rlim_new.rlim_max = rlim.rlim_max;
  return setrlimit(RLIMIT_CORE, &rlim_new) == 0;
}

// An ignored SIGCHLD survives execve, and while it is ignored the kernel reaps every child
// itself and never sends the signal (sigaction(2), NOTES): supervision would stop in silence.
bool ResetChildSignal() {
  return std::signal(SIGCHLD, SIG_DFL) != SIG_ERR;
}

// daemon(3): the invoker's process exits 0 at once; this one goes on in a new session, in the
// same working directory, with its standard streams on /dev/null.
bool RunAsDaemon() {
  return daemon(1, 0) == 0;
}

bool BlockSignal() {
  // sigemptyset and sigaddset fail only for an invalid signal number, never for these.
  sigemptyset(&_mask);
  for (const int signo : {SIGHUP, SIGALRM, SIGINT, SIGCHLD, SIGPIPE, SIGTERM}) {
    sigaddset(&_mask, signo);
  }
  const int err = pthread_sigmask(SIG_BLOCK, &_mask, &_old_mask);
  if (err != 0) {
    WriteLine(STDERR_FILENO, "pthread_sigmask fail");
    return false;
  }
  return true;
}

// Runs in the freshly forked child and never returns: a child that came back here would live
// on as a second monitor, waiting for signals it keeps blocked.
[[noreturn]] void ExecChild() {
  // A blocked mask survives both fork and execve (sigprocmask(2)); hand the program the mask
  // its invoker gave the monitor, not the six signals the monitor blocks for itself.
  if (pthread_sigmask(SIG_SETMASK, &_old_mask, nullptr) != 0) {
    WriteLine(STDERR_FILENO, "pthread_sigmask fail");
    _exit(kExitNotExecutable);
  }
  execv(child_program, child_agrs);
  const int exec_errno = errno;
  WriteLine(STDERR_FILENO, "exec error");
  // _exit, not exit: the monitor's atexit work and stdio buffers are not the child's to run.
  _exit(exec_errno == ENOENT ? kExitNotFound : kExitNotExecutable);
}

pid_t StartChild() {
  _child_process = fork();
  if (_child_process == 0) {
    ExecChild();
  }
  if (_child_process < 0) {
    WriteLine(STDERR_FILENO, "fork error");
  } else {
    WriteLine(STDOUT_FILENO, "fork ok");
  }
  return _child_process;
}

void SigHandler(int signo) {
  int exit_status = 0;
  if (signo != SIGCHLD) {
    return;
  }
  // With nothing to collect (the child was only stopped or continued, or someone else sent
  // SIGCHLD) exit_status stays 0 and the child is reported as exited with 0: not restarted.
  (void)waitpid(_child_process, &exit_status, WNOHANG);
  if (WIFSIGNALED(exit_status)) {
    WriteLine(STDOUT_FILENO, "child exit by signal:", WTERMSIG(exit_status));
    _child_process = StartChild();
  } else {
    WriteLine(STDOUT_FILENO, "child exit normally:", exit_status);
  }
}

[[noreturn]] void WaitSignal() {
  for (;;) {
    int signo = 0;
    if (sigwait(&_mask, &signo) != 0) {
      WriteLine(STDERR_FILENO, "wait signal error");
      continue;
    }
    SigHandler(signo);
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 2) {
    WriteLine(STDERR_FILENO, "usage: velorn_agent_monitor PROGRAM [ARG]...");
    return -1;
  }
  // The child's vector is the monitor's own from entry 1 on, its terminating null included.
  child_program = argv[1];
  child_agrs = &argv[1];
  // The six signals are blocked before detaching: started as the leader of a terminal's
  // session, the invoker's exit makes the kernel send SIGHUP to the terminal's foreground
  // group, which holds the process daemon(3) forked until its setsid(). Blocked, the signal
  // stays pending and the wait loop drops it; its default action would end the monitor.
  if (!RaiseCoreLimit() || !ResetChildSignal() || !BlockSignal() || !RunAsDaemon() ||
      StartChild() < 0) {
    return -1;
  }
  WaitSignal();
}
