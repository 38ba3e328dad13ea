#!/usr/bin/env bash
# Every test and quality gate, as root on Debian, after installing what this machine lacks: the
# linters; the suite against the release, static and sanitized builds, with the static analysis;
# the Debian source package and its amd64 and arm64 packages (the native build runs the suite),
# checked by lintian and rebuilt under reprotest's variations; and the package's autopkgtests on
# the arm64 package, inside an AArch64 kernel under systemd.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
# The Debian releases supported: each builds the package and runs its tests on its own testbed.
releases=(bookworm trixie)
step() { printf '=== %s\n' "$*"; }

tests/prerequisites.sh
step "shellcheck and flake8"
shellcheck -x .ci/run tools/*.sh tests/*.sh debian/tests/lib.sh debian/tests/suite debian/tests/units \
  debian/tests/terminal
flake8 tests
for workflow in test-checked test-static test-asan; do
  step "cmake --workflow --preset $workflow"
  cmake --workflow --preset "$workflow"
done

# The source package is made from a copy of this tree as it stands, since dpkg-source writes beside
# the tree it reads; each release then builds it in a clean chroot and tests it on its own testbed.
out=build/debian
rm -rf "$out" && mkdir -p "$out/src"
git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$out/src"
step "dpkg-source: the source package"
(cd "$out/src" && dpkg-source --build .)
dsc=$(echo "$out"/*.dsc)
for release in "${releases[@]}"; do
  step "sbuild: the $release packages, checked by $release's lintian"
  tests/sbuild.sh "$release" "$dsc"
done

# Every variation but user_group, which needs a second account with a sudoers entry on the
# machine that runs this. The suite ran in the native builds above: here it would only be slower.
for arch in "" arm64; do
  step "reprotest ${arch:-native}"
  reprotest --vary=-user_group --append-build-command="-Pnocheck${arch:+ -a $arch}" "$dsc" -- null
done

for release in "${releases[@]}"; do
  step "autopkgtest on arm64: $release"
  tests/autopkgtest_arm64.sh "$release" "$dsc" build/sbuild-"$release"/velorn-agent-monitor_*_arm64.deb
done
step "every test and gate passed in $((SECONDS - started)) s"
