// The least a supervisor can do, the benchmark's baseline: `bench_bare_loop PROGRAM [ARG]...`
// restarts PROGRAM whenever a signal ends it, like the monitor, but with no signal handling,
// no status lines and no detaching: fork, execv, waitpid.
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kFailed = 255;
constexpr int kExecFailed = 127;

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 2) {
    return kFailed;
  }
  for (;;) {
    const pid_t child = fork();
    if (child < 0) {
      return kFailed;
    }
    if (child == 0) {
      execv(argv[1], &argv[1]);
      _exit(kExecFailed);
    }
    int status = 0;
    // No handler is installed, so waitpid cannot be interrupted.
    if (waitpid(child, &status, 0) != child) {
      return kFailed;
    }
    if (!WIFSIGNALED(status)) {
      return 0;
    }
  }
}
