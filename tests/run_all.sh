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

# The emulated testbeds take most of the time, so each release's starts as soon as its arm64 package
# is built, its image made first where missing or stale, and the checks below go on beside them.
# Each runs in a session of its own, so that a failure here ends it, and so that autogroup
# scheduling gives each testbed and the checks a fair share of the processors: a testbed starved
# of its share misses autopkgtest's deadlines.
native=$(dpkg --print-architecture) testbeds=()
stop() { local group; for group in "${testbeds[@]}"; do [[ -z $group ]] || kill -- -"$group" 2>/dev/null || true; done; }
trap stop EXIT
for release in "${releases[@]}"; do
  step "sbuild: the $release arm64 package, checked by $release's lintian"
  tests/sbuild.sh "$release" "$dsc" arm64
  step "autopkgtest on arm64: $release, started"
  setsid tests/autopkgtest.sh "$release" arm64 "$dsc" build/sbuild-"$release"/velorn-agent-monitor_*_arm64.deb \
    >"build/autopkgtest-$release.log" 2>&1 &
  testbeds+=($!)
done
if [[ $native != arm64 ]]; then
  for release in "${releases[@]}"; do
    step "sbuild: the $release $native package, checked by $release's lintian"
    tests/sbuild.sh "$release" "$dsc" "$native"
  done
fi

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

# Each testbed's log is shown once it ends, and the run fails as the testbed did.
for i in "${!releases[@]}"; do
  status=0
  wait "${testbeds[i]}" || status=$?
  testbeds[i]=''
  step "autopkgtest on arm64: ${releases[i]}, its log"
  cat "build/autopkgtest-${releases[i]}.log"
  ((status == 0)) || exit "$status"
done
step "every test and gate passed in $((SECONDS - started)) s"
