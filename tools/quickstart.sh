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
# PROGRAM keeps the meaning it has where this script was started: the monitor searches no PATH
# and resolves a relative path against its working directory, which is the caller's.
"$top/build/release/velorn_agent_monitor" "$@"
echo "velorn_agent_monitor is supervising: $*"
echo "stop it and its child with: kill -KILL -- -\"\$(pgrep -f 'velorn_agent_monitor $*\$')\""
