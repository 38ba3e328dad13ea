#!/usr/bin/env bash
# The package on every architecture Debian builds it for, on each supported release, one at a time:
# built in the release's clean chroot (cross-built off this machine's architecture) and checked by
# its lintian, then debian/tests in that architecture's own kernel under qemu, upgrading from 0.2.0
# through an apt repository. Then piuparts across the host's release upgrade, from Debian 12 to 13.
# As root on Debian; it installs what this machine lacks first:
#   pipeline/matrix.sh [RELEASE:ARCH]...
# Each combination's log is build/matrix/RELEASE-ARCH.log; a failure goes on to the next, and the
# run fails when any did.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
combos=("$@")
((${#combos[@]})) || combos=(bookworm:{amd64,arm64,armhf} trixie:{amd64,arm64,armel,armhf,i386,ppc64el,riscv64,s390x})
pipeline/prerequisites.sh
dsc=$(pipeline/source_package.sh)
mkdir -p build/matrix
failed=()
for combo in "${combos[@]}"; do
  release=${combo%:*} arch=${combo#*:} at=$SECONDS
  if (pipeline/sbuild.sh "$release" "$dsc" "$arch" && files=$(pipeline/testbed_files.sh "$release" "$arch") &&
    pipeline/autopkgtest.sh "$release" "$arch" "$dsc" build/sbuild-"$release"/velorn-agent-monitor_*_"$arch".deb \
      "$files") >"build/matrix/$release-$arch.log" 2>&1; then
    echo "passed: $release $arch in $((SECONDS - at)) s"
  else
    echo "FAILED: $release $arch in $((SECONDS - at)) s, see build/matrix/$release-$arch.log"
    failed+=("$combo")
  fi
done
native=$(dpkg --print-architecture) at=$SECONDS
if [[ " ${combos[*]} " == *" bookworm:$native "*" trixie:$native "* ]]; then
  if (pipeline/repository.sh build/repository bookworm trixie &&
    pipeline/piuparts.sh --across bookworm trixie) >build/matrix/piuparts.log 2>&1; then
    echo "passed: piuparts from bookworm to trixie in $((SECONDS - at)) s"
  else
    echo "FAILED: piuparts from bookworm to trixie in $((SECONDS - at)) s, see build/matrix/piuparts.log"
    failed+=(piuparts)
  fi
fi
echo "the matrix took $((SECONDS - started)) s: ${#failed[@]} of ${#combos[@]} failed ${failed[*]}"
((${#failed[@]} == 0))
