#!/usr/bin/env bash
# Package check, run as root: builds the Debian package from a configured and built build
# directory and checks it with lintian, or takes a built one (and checks it with lintian if that
# is installed); if it is for this machine, installs it, runs the installed monitor, purges the
# package and checks that nothing it installed is left behind.
#   packaging/check_package.sh BUILD_DIR|PACKAGE.deb
set -euo pipefail

readonly pkg=velorn-agent-monitor
readonly monitor=/usr/sbin/velorn_agent_monitor
readonly man_page=/usr/share/man/man8/velorn_agent_monitor.8.gz
readonly unit_example=/usr/share/doc/$pkg/examples/velorn_agent_monitor.service
# A native package's changelog (Debian policy 12.7).
readonly changelog=/usr/share/doc/$pkg/changelog.gz
readonly deadline_s=10
# sleep adds up its arguments; the fraction makes this run's command lines unique, so that
# pgrep -f finds this run's processes and nobody else's.
sleep_arg="86400.$(date +%s%N)"
readonly sleep_arg
readonly child_cmd="/usr/bin/sleep $sleep_arg"
readonly monitor_cmd="$monitor $child_cmd"

source=$(realpath -e "${1:?usage: check_package.sh BUILD_DIR|PACKAGE.deb}")
work=$(mktemp -d)
installed_here=false

step() { printf '== %s\n' "$*"; }
ok() { printf '   ok: %s\n' "$*"; }
fail() {
  printf 'FAIL: %s\n' "$*" >&2
  exit 1
}

pkg_state() { dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true; }

# pgrep takes a regular expression; the only metacharacter in these command lines is '.'.
pids_of() { pgrep -f -x -- "${1//./\\.}"; }

# A zombie counts as gone: its reaper is init, which may take its time or, in a container
# whose init reaps nothing, never get to it.
alive() {
  local state
  state=$(ps -o stat= -p "$1") && [[ $state != Z* ]]
}
gone() { ! alive "$1"; }

# Polls a command until it succeeds or the deadline has passed.
wait_for() {
  local end=$((SECONDS + deadline_s))
  until "$@"; do
    ((SECONDS < end)) || return 1
    sleep 0.05
  done
}

cleanup() {
  local status=$? pid
  # The monitor leads its own process group, which its child shares: one kill ends both.
  # Then any child whose monitor was already gone.
  for pid in $(pids_of "$monitor_cmd"); do
    if [[ $(ps -o pgid= -p "$pid" | tr -d ' ') == "$pid" ]]; then
      kill -KILL -- "-$pid" 2>/dev/null || true
    else
      kill -KILL "$pid" 2>/dev/null || true
    fi
  done
  pkill -KILL -f -x -- "${child_cmd//./\\.}" || true
  if $installed_here && [[ $(pkg_state) != not-installed && -n $(pkg_state) ]]; then
    dpkg --purge "$pkg" >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
  if ((status == 0)); then
    echo "package check passed"
  else
    echo "package check FAILED" >&2
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'fail "interrupted"' INT TERM HUP

((EUID == 0)) || fail "run as root: the check installs and purges a package"

step "preconditions"
state=$(pkg_state)
[[ -z $state || $state == not-installed ]] || fail "$pkg is already known to dpkg ($state); purge it first"
[[ ! -e $monitor ]] || fail "$monitor exists outside the package; the purge would remove it"
ok "$pkg not installed, $monitor absent"

if [[ -d $source ]]; then
  step "building the package from $source"
  # cpack makes the package's directories under the umask, so their modes depend on it; as
  # dpkg-buildpackage does, the package is built with 0022.
  umask 022
  cpack -G DEB --config "$source/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack -G DEB"; }
  debs=("$work"/*.deb)
  [[ ${#debs[@]} == 1 && -f ${debs[0]} ]] || fail "cpack made no single .deb: ${debs[*]}"
  deb=${debs[0]}
else
  step "checking $source"
  deb=$source
fi
dpkg-deb -f "$deb" Package Version Architecture Depends | sed 's/^/   /'
[[ $(dpkg-deb -f "$deb" Package) == "$pkg" ]] || fail "package name is not $pkg"
[[ $(dpkg-deb -f "$deb" Depends) =~ ^libc6\ \(\>=\ [0-9.]+\)$ ]] || fail "Depends is not libc6 alone"
ok "built ${deb##*/}"

# No error and no warning; informational tags are shown but pass. A built .deb may be checked
# where lintian is not installed (a test machine); one built here from a build directory may not.
step "lintian"
if [[ -d $source ]] || command -v lintian >/dev/null; then
  lintian_status=0
  lintian --fail-on error,warning --display-info "$deb" >"$work/lintian.log" 2>&1 || lintian_status=$?
  # lintian warns about itself when run as root; that line says nothing about the package.
  grep -vx 'running with root privileges is not recommended!' "$work/lintian.log" | sed 's/^/   /' || true
  ((lintian_status == 0)) || fail "lintian --fail-on error,warning exited with $lintian_status"
  ok "lintian: no error and no warning"
else
  echo "   skipped: lintian is not installed"
fi

arch=$(dpkg-deb -f "$deb" Architecture)
if [[ $arch != "$(dpkg --print-architecture)" ]]; then
  # A cross-built package cannot be installed here; its fields and contents are all there is.
  grep -q ' \./usr/sbin/velorn_agent_monitor$' <<<"$(dpkg-deb -c "$deb")" || fail "no monitor in ${deb##*/}"
  ok "$arch package holds the monitor; not installed on $(dpkg --print-architecture)"
  exit 0
fi

step "installing"
installed_here=true
dpkg -i "$deb" | sed 's/^/   /'
[[ $(dpkg-query -W -f='${Status}' "$pkg") == "install ok installed" ]] || fail "dpkg -s: not installed"
ok "dpkg -s: install ok installed"

# What the package owns, read before the purge makes dpkg forget it.
mapfile -t paths < <(dpkg -L "$pkg" | grep -vx '/\.')
((${#paths[@]})) || fail "dpkg -L lists nothing"
declare -A listed=()
for path in "${paths[@]}"; do
  listed[$path]=1
  [[ -e $path ]] || fail "listed by dpkg -L but missing: $path"
done
for path in "$monitor" "$man_page" "/usr/share/doc/$pkg/copyright" "$changelog" "$unit_example"; do
  [[ -n ${listed[$path]:-} && -f $path ]] || fail "not installed by the package: $path"
done
ok "${#paths[@]} paths installed, among them $monitor, $man_page, $unit_example"

step "man page"
grep -qxF "$man_page" <<<"$(man -aw velorn_agent_monitor)" || fail "man -w does not find $man_page"
ok "man -w velorn_agent_monitor finds $man_page"
rendered=$(MANWIDTH=80 man --warnings -l "$man_page" 2>"$work/man.err")
[[ ! -s $work/man.err ]] || fail "man --warnings: $(cat "$work/man.err")"
for heading in NAME SYNOPSIS DESCRIPTION 'EXIT STATUS' SIGNALS FILES EXAMPLES 'SEE ALSO'; do
  grep -qx "$heading" <<<"$rendered" || fail "rendered man page lacks $heading"
done
grep -q '^ *velorn_agent_monitor - keep one agent program running$' <<<"$rendered" ||
  fail "rendered man page lacks its NAME line"
ok "renders without warnings at 80 columns, all eight sections present"

step "example systemd unit"
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify "$unit_example" || fail "systemd-analyze verify $unit_example"
  ok "systemd-analyze verify $unit_example"
else
  echo "   skipped: systemd-analyze is not installed"
fi

step "running $monitor_cmd"
"$monitor" /usr/bin/sleep "$sleep_arg" </dev/null || fail "invoker saw exit status $? (expected 0)"
ok "invoker saw exit status 0"

# Sets $found to the only live process with command line $1 whose parent is $2 (any if empty).
find_one() {
  local pids
  pids=$(pids_of "$1") || return 1
  [[ $pids != *$'\n'* ]] || return 1
  [[ -z ${2:-} || $(ps -o ppid= -p "$pids" | tr -d ' ') == "$2" ]] || return 1
  found=$pids
}
wait_for find_one "$monitor_cmd" || fail "no single detached monitor within ${deadline_s}s"
monitor_pid=$found
read -r pgid sid < <(ps -o pgid=,sid= -p "$monitor_pid")
[[ $pgid == "$monitor_pid" && $sid == "$monitor_pid" ]] ||
  fail "monitor $monitor_pid is not leader of its session and group (pgid $pgid, sid $sid)"
ok "monitor $monitor_pid detached, leads its own session and process group"

wait_for find_one "$child_cmd" "$monitor_pid" || fail "monitor started no child within ${deadline_s}s"
child_pid=$found
[[ $(ps -o pgid= -p "$child_pid" | tr -d ' ') == "$monitor_pid" ]] || fail "child not in the monitor's group"
ok "child $child_pid runs $child_cmd in the monitor's group"

kill -KILL "$child_pid"
restarted() { find_one "$child_cmd" "$monitor_pid" && [[ $found != "$child_pid" ]]; }
wait_for restarted || fail "child killed by SIGKILL was not restarted within ${deadline_s}s"
old_child=$child_pid
child_pid=$found
ok "child killed by SIGKILL, restarted as $child_pid"

step "stopping: SIGKILL to process group $monitor_pid"
kill -KILL -- "-$monitor_pid"
wait_for gone "$monitor_pid" || fail "monitor $monitor_pid still alive after ${deadline_s}s"
wait_for gone "$child_pid" || fail "child $child_pid still alive after ${deadline_s}s"
gone "$old_child" || fail "first child $old_child still alive"
if pids=$(pids_of "$child_cmd") || pids=$(pids_of "$monitor_cmd"); then
  fail "processes left: $pids"
fi
ok "monitor and child gone, no process of this run left"

step "purging"
dpkg --purge "$pkg" | sed 's/^/   /'
state=$(pkg_state)
[[ -z $state || $state == not-installed ]] || fail "dpkg still knows $pkg after the purge ($state)"
ok "dpkg no longer knows $pkg"
left=()
for path in "${paths[@]}"; do
  [[ -e $path || -L $path ]] || continue
  # Directories such as /usr/sbin or /usr/share/man/man8 stay for the other packages in them.
  [[ -d $path && ! -L $path ]] && dpkg-query -S "$path" >/dev/null 2>&1 && continue
  left+=("$path")
done
((${#left[@]} == 0)) || fail "left behind by the purge: ${left[*]}"
ok "none of the ${#paths[@]} paths left, except directories other packages own"
