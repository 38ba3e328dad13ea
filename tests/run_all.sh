#!/usr/bin/env bash
# Every test and every quality gate, as root on Debian, after installing what this machine lacks:
# the suite against the release, static and sanitized builds (the release run adds the static
# analysis, format, hardening and man page checks), the AArch64 cross build, both Debian packages
# (lintian on both, the arm64 one inspected, the native one installed, run and purged), both
# packages built twice and compared, then the AArch64 gate: the arm64 package and the suite on an
# AArch64 kernel under systemd.
set -euo pipefail
cd "$(dirname "$0")/.."

started=$SECONDS
tests/prerequisites.sh
for workflow in test-checked test-static test-asan aarch64; do
  echo "=== cmake --workflow --preset $workflow"
  cmake --workflow --preset "$workflow"
done
for build in aarch64 checked; do
  echo "=== packaging/check_package.sh build/$build"
  packaging/check_package.sh "build/$build"
done
echo "=== packaging/check_reproducible.sh"
packaging/check_reproducible.sh
echo "=== tests/aarch64_vm.sh"
tests/aarch64_vm.sh
echo "=== every test and check passed in $((SECONDS - started)) s"
