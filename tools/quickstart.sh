#!/usr/bin/env bash
# Builds the hardened release and starts the monitor on PROGRAM [ARG]..., or on a harmless
# `sleep infinity` when none is given, installing first what the build lacks (as root, on Debian).
#   tools/quickstart.sh [PROGRAM [ARG]...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

missing=()
for package in g++ cmake ninja-build; do
  [[ $(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null) == installed ]] || missing+=("$package")
done
if ((${#missing[@]})); then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

(cd "$top" && cmake --workflow --preset release)
(($#)) || set -- /usr/bin/sleep infinity
# The monitor that stays is not the process started here, which daemon(3) forks and ends, and
# another monitor may run the same command line: a token in its environment, which its agent
# inherits too, tells it apart, and it leads a session of its own.
token=$$.$SRANDOM
# PROGRAM keeps the meaning it has where this script was started: the monitor searches no PATH
# and resolves a relative path against its working directory, which is the caller's.
VELORN_QUICKSTART=$token "$top/build/release/velorn_agent_monitor" "$@"
# leader: prints the pid of the process that carries the token and leads its session.
leader() {
  local holders
  holders=$(grep -lzx "VELORN_QUICKSTART=$token" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 | paste -sd,)
  [[ -n $holders ]] && ps -o pid=,sid= -p "$holders" | awk '$1 == $2 { print $1; found = 1 } END { exit !found }'
}
for _ in $(seq 50); do
  monitor=$(leader) && break
  sleep 0.1
done
[[ -n $monitor ]] || { echo "quickstart: the detached monitor was not found" >&2 && exit 1; }
echo "velorn_agent_monitor $monitor is supervising: $*"
echo "stop it and its child with: kill -KILL -- -$monitor"
