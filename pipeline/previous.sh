#!/usr/bin/env bash
# Builds 0.2.0, the version that fleets run today, from its commit, as it was built then: for
# RELEASE and each ARCH, in the release's chroot tarball that pipeline/sbuild.sh made, one version
# for every release. It never changes, so each package is built once into
# $VELORN_SBUILD_CACHE/0.2.0, and copied from there to build/previous-RELEASE.
#   pipeline/previous.sh RELEASE ARCH...
set -euo pipefail
release=$1
cd "$(dirname "$0")/.."
readonly commit=570b6fdc01247911e4be3f19b2883a91c2be32a7
readonly sbuild_cache=${VELORN_SBUILD_CACHE:-/var/cache/velorn-agent-monitor-sbuild}
readonly cache=$sbuild_cache/0.2.0 output=$PWD/build/previous-$release
mkdir -p "$cache" "$output"
for arch in "${@:2}"; do
  kept=$cache/$release-$arch.deb
  if [[ ! -e $kept ]]; then
    git cat-file -e "$commit^{commit}" || { echo "0.2.0's commit $commit is not in this clone's history" >&2; exit 1; }
    work=$(mktemp -d) && mkdir "$work/src"
    git archive "$commit" | tar -x -C "$work/src"
    (cd "$work/src" && dpkg-source --build . >/dev/null)
    (cd "$work" && SBUILD_CONFIG=$OLDPWD/pipeline/sbuild.conf sbuild --chroot="$sbuild_cache/$release-$arch.tar" \
      --dist=bookworm --host="$arch" --profiles=nocheck --no-run-lintian velorn-agent-monitor_0.2.0.dsc >/dev/null) ||
      { tail -n 40 "$work"/*.build >&2; exit 1; }
    mv "$work/velorn-agent-monitor_0.2.0_$arch.deb" "$kept" && rm -rf "$work"
  fi
  cp "$kept" "$output/velorn-agent-monitor_0.2.0_$arch.deb"
done
