// The program the benchmark supervises: `bench_probe REPORT_FD TOKEN_FD`, both inherited.
// It stamps its start, takes a byte from the non-blocking token pipe, reports, and then kills
// itself if it got one (one crash of a crash loop) or waits to be killed. Plain libc, so that
// its own start-up adds as little as possible to a restart.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>

#include "probe_record.h"

namespace {

constexpr int kDecimal = 10;

int Descriptor(const char* text) {
  return static_cast<int>(std::strtol(text, nullptr, kDecimal));
}

}  // namespace

int main(int argc, char* argv[]) {
  timespec start{};
  if (clock_gettime(CLOCK_MONOTONIC, &start) != 0 || argc != 3) {
    return 2;
  }
  char token = 0;
  const ssize_t taken = read(Descriptor(argv[2]), &token, 1);
  if (taken < 0 && errno != EAGAIN) {
    return 3;
  }
  // The token is taken before the report: once the bench has the report, it may add tokens
  // without this probe taking one. Below PIPE_BUF, the record reaches the pipe whole.
  const ProbeRecord record{
      .pid = getpid(), .ppid = getppid(), .start = start, .crashing = taken == 1};
  if (write(Descriptor(argv[1]), &record, sizeof record) != static_cast<ssize_t>(sizeof record)) {
    return 3;
  }
  if (record.crashing && raise(SIGKILL) != 0) {
    return 4;
  }
  for (;;) {
    pause();
  }
}
