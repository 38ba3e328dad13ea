#!/usr/bin/env bash
# Gathers into build/testbed-RELEASE-ARCH what debian/tests/upgrade takes in the RELEASE testbed,
# and prints that directory: 0.2.0 as built for RELEASE and ARCH, and an apt repository of what
# build/sbuild-* holds for the supported releases up to RELEASE, Debian 12's first.
#   pipeline/testbed_files.sh RELEASE ARCH
set -euo pipefail
cd "$(dirname "$0")/.."
files=$PWD/build/testbed-$1-$2 suites=(bookworm)
[[ $1 == bookworm ]] || suites+=("$1")
rm -rf "$files" && mkdir -p "$files/previous"
pipeline/previous.sh "$1" "$2" >&2
cp build/previous-"$1"/velorn-agent-monitor_0.2.0_"$2".deb "$files/previous/"
pipeline/repository.sh "$files/repository" "${suites[@]}" >&2
echo "$files"
