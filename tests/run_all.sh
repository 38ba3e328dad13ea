#!/usr/bin/env bash
# Every test and quality gate, as root on Debian, after installing what this machine lacks: the
# linters; the suite against the release, static and sanitized builds, with the static analysis;
# the Debian source package and its amd64 and arm64 packages (the native build runs the suite),
# checked by lintian and rebuilt under reprotest's variations; and the package's autopkgtests on
# the arm64 package, inside an AArch64 kernel under systemd.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
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

# dpkg-buildpackage writes beside the tree it builds: build a copy of this one, as it stands.
out=build/debian
rm -rf "$out" && mkdir -p "$out/src"
git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$out/src"
step "dpkg-buildpackage: the source package and the native binary package"
(cd "$out/src" && dpkg-buildpackage -us -uc)
if [[ $(dpkg --print-architecture) != arm64 ]]; then
  step "dpkg-buildpackage -a arm64"
  (cd "$out/src" && dpkg-buildpackage -us -uc -b -a arm64)
fi
step "lintian"
lintian --fail-on error,warning --display-info "$out"/*.changes

# Every variation but user_group, which needs a second account with a sudoers entry on the
# machine that runs this. The suite ran in the native build above: here it would only be slower.
for arch in "" arm64; do
  step "reprotest ${arch:-native}"
  reprotest --vary=-user_group --append-build-command="-Pnocheck${arch:+ -a $arch}" "$out"/*.dsc -- null
done

step "autopkgtest on arm64"
tests/autopkgtest_arm64.sh "$out"/*.dsc "$out"/velorn-agent-monitor_*_arm64.deb
step "every test and gate passed in $((SECONDS - started)) s"
