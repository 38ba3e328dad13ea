#!/usr/bin/env bash
# Every test and quality gate, as root on Debian, after installing what this machine lacks: the
# Debian source package, built for each supported release in a clean chroot of it, natively (the
# build runs the suite) and for arm64, checked by that release's lintian and its build log by blhc;
# the package's autopkgtests on each release's arm64 package, inside that release's AArch64 kernel
# under systemd, upgrading from 0.2.0 through an apt repository; meanwhile the linters, the suite
# against the release, static and sanitized builds with the static analysis, both packages rebuilt
# under reprotest's variations, the apt repository of every package built, and piuparts.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
# The two Debian releases supported: each builds the package and runs its tests on its own testbed.
releases=(bookworm trixie)
step() { printf '=== %s (at %d s)\n' "$*" $((SECONDS - started)); }

pipeline/prerequisites.sh

# Each release builds the source package in a clean chroot and tests it on its own testbed.
step "dpkg-source: the source package"
dsc=$(pipeline/source_package.sh)

# The emulated testbeds take most of the time, each in a session of its own (so that a failure here
# ends it) beside one other session's work, never two: autogroup scheduling shares the processors
# out between sessions (sched(7)), and a testbed given a third of them misses autopkgtest's fixed
# deadlines as it boots. So the first release is built and tested in the background while this
# session builds the second and runs half the host checks; the second testbed then starts, and this
# session runs the other half once the first has ended. A missing or stale image of the second is
# made meanwhile in a session of the least share (/proc/PID/autogroup). Beside another session a
# testbed gets about one processor, and one emulated processor costs the host less than two.
export VELORN_TESTBED_CPUS=1
first=${releases[0]} second=${releases[1]} native=$(dpkg --print-architecture)
jobs_first='' images='' jobs_second=''
stop() {
  local group
  for group in $jobs_first $images $jobs_second; do kill -- -"$group" 2>/dev/null || true; done
}
trap stop EXIT
# collect JOB LOG TITLE: waits for the background job whose session the variable JOB names, then
# shows its log under TITLE, and fails as the job did.
collect() {
  local -n running=$1
  local status=0
  wait "$running" || status=$?
  running=''
  step "$3"
  cat "$2"
  return "$status"
}
# host_checks RELEASE WORKFLOW...: the RELEASE package built natively, whose build runs the suite,
# then the workflows; one suite at a time, since a second breaks the rows that count nobody's
# processes.
host_checks() {
  if [[ $native != arm64 ]]; then
    step "sbuild: the $1 $native package, checked by $1's lintian"
    pipeline/sbuild.sh "$1" "$dsc" "$native"
  fi
  for workflow in "${@:2}"; do
    step "cmake --workflow --preset $workflow"
    cmake --workflow --preset "$workflow"
  done
}
step "sbuild and autopkgtest on arm64: $first, started"
# shellcheck disable=SC2016 # expanded by that shell
setsid sh -c 'pipeline/sbuild.sh "$1" "$2" arm64 && files=$(pipeline/testbed_files.sh "$1" arm64) &&
  pipeline/autopkgtest.sh "$1" arm64 "$2" build/sbuild-"$1"/velorn-agent-monitor_*_arm64.deb "$files"' \
  sh "$first" "$dsc" >"build/autopkgtest-$first.log" 2>&1 &
jobs_first=$!
# Where the kernel has no autogroups, nice alone does the same.
# shellcheck disable=SC2016 # expanded by that shell
setsid sh -c '(echo 19 >/proc/self/autogroup) 2>/dev/null
  exec nice -n 19 pipeline/autopkgtest.sh "$1" arm64' sh "$second" >build/testbed-images.log 2>&1 &
images=$!
step "sbuild: the $second arm64 package, checked by $second's lintian"
pipeline/sbuild.sh "$second" "$dsc" arm64
step "shellcheck and flake8"
mapfile -t scripts < <(grep -lE '^#!/bin/(ba)?sh|^# shellcheck shell=' debian/tests/*)
shellcheck -x .ci/run tools/*.sh pipeline/*.sh "${scripts[@]}"
flake8 tests
host_checks "$first" test-checked test-static
collect images build/testbed-images.log "the testbed image of $second"
step "autopkgtest on arm64: $second, started"
files=$(pipeline/testbed_files.sh "$second" arm64)
setsid pipeline/autopkgtest.sh "$second" arm64 "$dsc" build/sbuild-"$second"/velorn-agent-monitor_*_arm64.deb \
  "$files" >"build/autopkgtest-$second.log" 2>&1 &
jobs_second=$!
collect jobs_first "build/autopkgtest-$first.log" "sbuild and autopkgtest on arm64: $first, its log"
host_checks "$second" test-asan
# Every variation but user_group, which needs a second account with a sudoers entry on the
# machine that runs this. The suite ran in the native builds above: here it would only be slower.
for arch in "" arm64; do
  step "reprotest ${arch:-native}"
  reprotest --vary=-user_group --append-build-command="-Pnocheck${arch:+ -a $arch}" "$dsc" -- null
done
step "the apt repository of every package built"
pipeline/repository.sh build/repository "${releases[@]}"
step "blhc: the build logs"
mapfile -t logs < <(find build/sbuild-* -name '*.build' -type l)
blhc --all "${logs[@]}"
step "piuparts"
pipeline/piuparts.sh "${releases[@]}"
collect jobs_second "build/autopkgtest-$second.log" "autopkgtest on arm64: $second, its log"
step "every test and gate passed in $((SECONDS - started)) s"
