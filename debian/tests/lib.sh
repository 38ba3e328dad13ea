# shellcheck shell=bash
# Shared by the tests in this directory; sourced, not run.

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# wait_for COMMAND...: polls until it succeeds, for 20 s at most: an emulated processor is slow.
wait_for() {
  local end=$((SECONDS + 20))
  until "$@"; do
    ((SECONDS < end)) || return 1
    sleep 0.1
  done
}

# gone PID...: none of them is alive any more.
gone() {
  local pid
  for pid; do [[ ! -e /proc/$pid ]] || return 1; done
}

# monitoring AGENT_COMMAND_LINE: a monitor runs it, as its only child.
monitoring() {
  local monitor
  monitor=$(pgrep -f "velorn_agent_monitor $1\$") && [[ $(pgrep -P "$monitor") == $(pgrep -f -x "$1") ]]
}

# build_probe: the suite's probe, which stands in for an agent, built once.
build_probe() {
  [[ -x $AUTOPKGTEST_TMP/probe ]] || g++ -std=c++20 -O2 -o "$AUTOPKGTEST_TMP/probe" tests/probe.cpp
}
