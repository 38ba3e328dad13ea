# shellcheck shell=bash
# Shared by the tests in this directory; sourced, not run.
shopt -s extglob

fail() { echo "FAIL: $*" >&2; exit 1; }

# wait_for COMMAND...: polls until it succeeds, for 20 s at most: an emulated processor is slow.
wait_for() {
  local end=$((SECONDS + 20))
  until "$@"; do
    ((SECONDS < end)) || return 1
    sleep 0.1
  done
}

# gone PID...: none of them is alive any more.
gone() { local pid && for pid; do [[ ! -e /proc/$pid ]] || return 1; done; }

# What runs an instance's agent, its output on the journal.
output="/usr/libexec/velorn-agent-monitor/velorn_agent_watch --output"

# build_probe: the suite's probe, which stands in for an agent, built once for every test.
probe=/var/tmp/velorn-probe
build_probe() {
  [[ -x $probe ]] || g++ -std=c++20 -O2 -o "$probe" tests/probe.cpp
}

# The agents under the template unit. Their paths escape to \x2d and \x20 in the instance's name.
# sleeper: a copy of sleep given its arguments by its file; spaced: the suite's probe, which waits
# without any, and has no file.
# shellcheck disable=SC2034 # for the tests that source this
sleeper=/usr/local/bin/sleeping-agent sleeper_argv="/usr/local/bin/sleeping-agent 86400 0.5" \
  spaced="/usr/local/bin/spaced agent" spaced_argv="/usr/local/bin/spaced agent"

# instance PATH: the instance that supervises the agent at PATH.
instance() { echo "velorn-agent-monitor@$(systemd-escape --path "$1").service"; }
# shellcheck disable=SC2034 # for the tests that source this
sleeper_unit=$(instance "$sleeper") spaced_unit=$(instance "$spaced")

# install_agents: the sleeper and the spaced agent, and the sleeper's arguments.
install_agents() {
  build_probe
  cp --remove-destination /usr/bin/sleep "$sleeper"
  cp --remove-destination "$probe" "$spaced"
  mkdir -p /etc/velorn-agent-monitor/usr/local/bin
  echo 'AGENT_ARGS=86400 0.5' >"/etc/velorn-agent-monitor$sleeper.conf"
}

# on_failure UNIT...: on a failure, what systemd says of the units and their watchers; and on any
# exit, the units stopped and their failures reset, for the tests that come after.
on_failure() {
  local units=() unit
  for unit; do units+=("$unit" "$(watcher "$unit")"); done
  # shellcheck disable=SC2064 # the units are named now
  trap "status=\$?; ((status == 0)) || systemctl status --no-pager $(printf '%q ' "${units[@]}") >&2 || true
    systemctl stop $(printf '%q ' "${units[@]}") 2>/dev/null || true; systemctl reset-failed 2>/dev/null || true" EXIT
}

# pair UNIT ARGV: prints "MONITOR AGENT" once the unit's main process is the monitor, its only
# child runs ARGV, and those two are all of the unit's control group.
pair() {
  local main agent cgroup monitor
  main=$(systemctl show -P MainPID "$1") && [[ $main != 0 ]] || return 1
  # An upgrade leaves the running monitor's /proc/PID/exe "(deleted)": its command line names it.
  # Its agent runs through the watcher's --output, but under an instance started by 0.2.0.
  monitor=$(tr '\0' ' ' <"/proc/$main/cmdline")
  [[ $monitor == "/usr/sbin/velorn_agent_monitor "?("$output ")"$2 " ]] || return 1
  agent=$(pgrep -P "$main") && [[ $(tr '\0' ' ' <"/proc/$agent/cmdline") == "$2 " ]] || return 1
  cgroup=/sys/fs/cgroup$(systemctl show -P ControlGroup "$1")
  [[ $(sort -n "$cgroup/cgroup.procs") == "$(printf '%s\n' "$main" "$agent" | sort -n)" ]] || return 1
  echo "$main $agent"
}

# started UNIT ARGV: waits for the unit's pair, and prints it.
started() {
  wait_for pair "$1" "$2" >/dev/null || fail "$1: no monitor and agent alone in its group"
  pair "$1" "$2"
}

# runs UNIT ARGV PAIR: the unit runs PAIR ("MONITOR AGENT").
runs() { [[ $(pair "$1" "$2") == "$3" ]]; }

# replaced UNIT ARGV OLD WHICH: a new pair runs, whose monitor (WHICH=monitor) or agent alone
# (WHICH=agent) differs from OLD's, and the processes replaced are gone.
replaced() {
  local now old
  read -ra old <<<"$3"
  read -ra now <<<"$(pair "$1" "$2")" && ((${#now[@]} == 2)) || return 1
  if [[ $4 == agent ]]; then
    [[ ${now[0]} == "${old[0]}" && ${now[1]} != "${old[1]}" ]] && gone "${old[1]}"
  else
    [[ ${now[0]} != "${old[0]}" && ${now[1]} != "${old[1]}" ]] && gone "${old[@]}"
  fi
}

# watcher UNIT: the unit of the instance UNIT's watcher.
watcher() { echo "velorn-agent-watch@${1#velorn-agent-monitor@}"; }
# nothing_failed: no unit of the package's is failed, and the system is not degraded by one.
nothing_failed() { [[ -z $(systemctl list-units --failed --plain --no-legend 'velorn-agent-*') ]]; }
# current UNIT...: systemd has loaded each instance and its watcher as their files now are.
current() {
  local unit && for unit; do ! systemctl show -P NeedDaemonReload "$unit" "$(watcher "$unit")" | grep -q yes || return 1; done
}
# watched UNIT: the instance's watcher runs, and nothing is failed; prints the watcher's pid.
watched() {
  systemctl -q is-active "$(watcher "$1")" && nothing_failed || return 1
  systemctl show -P MainPID "$(watcher "$1")"
}
# flagged UNIT: waits, 30 s at most on an emulated processor, for the instance's watcher to fail,
# its journal naming the instance, and prints how long that took.
flagged() {
  local start=${EPOCHREALTIME/./}
  until systemctl -q is-failed "$(watcher "$1")"; do
    ((${EPOCHREALTIME/./} - start < 30000000)) || fail "$1: its agent down, its watcher not failed in 30 s"
    sleep 0.05
  done
  journalctl -q -b -u "$(watcher "$1")" | grep -qF "$1: its agent is down for good" ||
    fail "$1: its watcher's journal does not name it"
  [[ $(systemctl is-system-running) == degraded ]] || fail "$1: its watcher failed, yet the system is not degraded"
  echo "$(((${EPOCHREALTIME/./} - start) / 1000)) ms"
}

# unfailed UNIT: no "Failed with result" in its journal since boot, which it prints if there is.
unfailed() { ! journalctl -q -b -u "$1" | grep -F 'Failed with result'; }

# stopped UNIT PAIR: systemctl stop ends the pair within 2 s and leaves the unit inactive, as a
# success, with nothing of it left and no failure in its journal since boot.
stopped() {
  local cgroup start ms state
  cgroup=/sys/fs/cgroup$(systemctl show -P ControlGroup "$1") start=${EPOCHREALTIME/./}
  timeout 10 systemctl stop "$1"
  ms=$(((${EPOCHREALTIME/./} - start) / 1000))
  ((ms < 2000)) || fail "$1: systemctl stop took $ms ms"
  wait_for gone "${2% *}" "${2#* }" || fail "$1 stopped, yet $2 live on"
  [[ ! -e $cgroup ]] || fail "$1 stopped, yet its control group is left"
  state=$(systemctl show -P ActiveState "$1")/$(systemctl show -P Result "$1")
  [[ $state == inactive/success ]] || fail "$1 stopped: $state, not inactive/success"
  unfailed "$1" || fail "$1: a failure in its journal"
  { [[ $(systemctl show -P ActiveState "$(watcher "$1")") == inactive ]] && nothing_failed; } ||
    fail "$1 stopped: its watcher $(systemctl show -P ActiveState "$(watcher "$1")"), or a unit failed"
  echo "ok: $1 stopped in $ms ms, a success, its watcher too, leaving nothing"
}
