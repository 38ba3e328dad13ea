#!/usr/bin/env bash
# Every test and every quality gate, as root: the suite against the release, static, sanitized
# and AArch64 builds (the release run adds the static analysis, format, hardening and man page
# checks), then both Debian packages: the arm64 one inspected, the native one installed, run
# and purged.
set -euo pipefail
cd "$(dirname "$0")/.."

for workflow in test-checked test-static test-asan test-aarch64; do
  echo "=== cmake --workflow --preset $workflow"
  cmake --workflow --preset "$workflow"
done
for build in aarch64 checked; do
  echo "=== packaging/check_package.sh build/$build"
  packaging/check_package.sh "build/$build"
done
echo "=== packaging/check_reproducible.sh" && packaging/check_reproducible.sh
echo "=== every test and check passed"
