#!/usr/bin/env bash
# Every test and quality gate, as root on Debian, after installing what this machine lacks: the
# Debian source package, built for each supported release in a clean chroot of it, natively (the
# build runs the suite) and for arm64, and checked by that release's lintian; the package's
# autopkgtests on each release's arm64 package, inside that release's AArch64 kernel under
# systemd; meanwhile the linters, the suite against the release, static and sanitized builds with
# the static analysis, and both packages rebuilt under reprotest's variations.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
# The Debian releases supported: each builds the package and runs its tests on its own testbed.
releases=(bookworm trixie)
step() { printf '=== %s (at %d s)\n' "$*" $((SECONDS - started)); }

tests/prerequisites.sh

# Each release builds the source package in a clean chroot and tests it on its own testbed.
step "dpkg-source: the source package"
dsc=$(tests/source_package.sh)

# The emulated testbeds take most of the time, and go one at a time: two starve each other past
# autopkgtest's own deadlines. The first starts as soon as its arm64 package is built, in a session
# of its own (so that a failure here ends it), while the other checks go on beside it. The other
# releases' images, where missing or stale, are made meanwhile at the lowest priority, which under
# autogroup scheduling ranks them only within their own session (sched(7)): they take its share.
first=${releases[0]} native=$(dpkg --print-architecture) testbed='' images=''
step "sbuild: the $first arm64 package, checked by $first's lintian"
tests/sbuild.sh "$first" "$dsc" arm64
step "autopkgtest on arm64: $first, started"
stop() { local group; for group in $testbed $images; do kill -- -"$group" 2>/dev/null || true; done; }
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
setsid tests/autopkgtest.sh "$first" arm64 "$dsc" build/sbuild-"$first"/velorn-agent-monitor_*_arm64.deb \
  >"build/autopkgtest-$first.log" 2>&1 &
testbed=$!
printf '%s\n' "${releases[@]:1}" |
  setsid nice -n 19 ionice -c 3 xargs -I {} tests/autopkgtest.sh {} arm64 >build/testbed-images.log 2>&1 &
images=$!
if [[ $native != arm64 ]]; then
  step "sbuild: the $first $native package, checked by $first's lintian"
  tests/sbuild.sh "$first" "$dsc" "$native"
fi
for release in "${releases[@]:1}"; do
  step "sbuild: the $release packages, checked by $release's lintian"
  tests/sbuild.sh "$release" "$dsc"
done

step "shellcheck and flake8"
shellcheck -x .ci/run tools/*.sh tests/*.sh debian/tests/lib.sh debian/tests/suite debian/tests/units \
  debian/tests/terminal
flake8 tests
for workflow in test-checked test-static test-asan; do
  step "cmake --workflow --preset $workflow"
  cmake --workflow --preset "$workflow"
done

# Every variation but user_group, which needs a second account with a sudoers entry on the
# machine that runs this. The suite ran in the native builds above: here it would only be slower.
for arch in "" arm64; do
  step "reprotest ${arch:-native}"
  reprotest --vary=-user_group --append-build-command="-Pnocheck${arch:+ -a $arch}" "$dsc" -- null
done

collect testbed "build/autopkgtest-$first.log" "autopkgtest on arm64: $first, its log"
collect images build/testbed-images.log "testbed images of ${releases[*]:1}"
for release in "${releases[@]:1}"; do
  step "autopkgtest on arm64: $release"
  tests/autopkgtest.sh "$release" arm64 "$dsc" build/sbuild-"$release"/velorn-agent-monitor_*_arm64.deb
done
step "every test and gate passed in $((SECONDS - started)) s"
