#!/usr/bin/env bash
# Builds a source package as Debian's build daemons do, in a clean chroot of RELEASE made afresh
# for each build by sbuild(1) in its unshare mode: the native package, whose build runs the suite,
# and off arm64 the arm64 package, cross-built; each checked by RELEASE's own lintian, whose error
# or warning fails the build (tests/sbuild.conf). As root on Debian, after tests/prerequisites.sh:
#   tests/sbuild.sh RELEASE SOURCE.dsc [ARCH]...
# RELEASE is a Debian code name (bookworm, trixie, sid). The chroot tarball is made by mmdebstrap
# into $VELORN_SBUILD_CACHE when it is missing or the package's build dependencies changed, with
# those installed, so that a build downloads nothing that has not changed. Packages and logs go to
# build/sbuild-RELEASE. Given ARCHes, of those two, it builds only them.
set -euo pipefail
release=$1 dsc=$(realpath -e "$2")
cd "$(dirname "$0")/.."
readonly cache=${VELORN_SBUILD_CACHE:-/var/cache/velorn-agent-monitor-sbuild}
readonly tarball=$cache/$release.tar output=$PWD/build/sbuild-$release
native=$(dpkg --print-architecture)
arches=("$native") && [[ $native == arm64 ]] || arches+=(arm64)
builds=("${@:3}") && ((${#builds[@]})) || builds=("${arches[@]}")

# The tarball is build-essential, lintian and apt-utils (apt's own solver, which sbuild would copy
# in from this machine for a cross build, where another release's apt cannot run it), then what apt
# itself resolves from the package's build dependencies for each architecture, and no more.
make_tarball() {
  local hooks=(--customize-hook="upload $dsc /tmp/package.dsc") arch
  for arch in "${arches[@]}"; do
    hooks+=(--customize-hook="chroot \"\$1\" apt-get build-dep -qq -y -a $arch /tmp/package.dsc >/dev/null")
  done
  [[ $native == arm64 ]] || hooks+=(--include=crossbuild-essential-arm64)
  mkdir -p "$cache"
  mmdebstrap --quiet --variant=buildd --architectures="$(IFS=,; echo "${arches[*]}")" --include=lintian,apt-utils \
    "${hooks[@]}" --customize-hook="rm \"\$1/tmp/package.dsc\"" "$release" "$cache/$release.new.tar"
  mv "$cache/$release.new.tar" "$tarball"
}
recipe=$(declare -f make_tarball; cat debian/control; echo "$release ${arches[*]}")
if [[ $(cat "$tarball.recipe" 2>/dev/null) != "$recipe" ]]; then
  echo "making the $release chroot tarball $tarball"
  make_tarball
  echo "$recipe" >"$tarball.recipe"
fi

mkdir -p "$output"
# The .changes names the release the changelog targets, as lintian expects, whichever built it.
target=$(dpkg-parsechangelog -S Distribution)
for arch in "${builds[@]}"; do
  echo "sbuild: $release, $arch"
  rm -f "$output"/*_"$arch"[.-]*
  (cd "$output" && SBUILD_CONFIG=$OLDPWD/tests/sbuild.conf sbuild --chroot="$tarball" --dist="$target" \
    --host="$arch" "$dsc" >/dev/null) || { tail -n 60 "$output"/*"_$arch.build" >&2; exit 1; }
  grep -E '^(Status|Lintian|Build-Time):' "$output"/*"_$arch.build" | tail -n 3
done
