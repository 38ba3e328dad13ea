// What the benchmark's probe reports, in one write, every time a supervisor starts it.
#ifndef VELORN_BENCH_PROBE_RECORD_H_
#define VELORN_BENCH_PROBE_RECORD_H_

#include <sys/types.h>

#include <ctime>

struct ProbeRecord {
  pid_t pid = 0;
  pid_t ppid = 0;         // the supervisor: tells the bench the detached monitor's pid
  timespec start{};       // CLOCK_MONOTONIC, taken before anything else the probe does
  bool crashing = false;  // the probe took a crash token and is about to kill itself
};

#endif  // VELORN_BENCH_PROBE_RECORD_H_
