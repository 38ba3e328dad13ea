#!/usr/bin/env bash
# Builds a source package as Debian's build daemons do, with sbuild(1) in a clean chroot of RELEASE
# made afresh for each build in its unshare mode: natively, where the build runs the suite, and
# cross-built for any other ARCH; RELEASE's lintian fails a build on an error or a warning
# (pipeline/sbuild.conf). As root on Debian, after pipeline/prerequisites.sh:
#   pipeline/sbuild.sh RELEASE SOURCE.dsc [ARCH]...
# The ARCHes default to this machine's and arm64. Each one's chroot tarball, made by mmdebstrap into
# $VELORN_SBUILD_CACHE when missing or stale, holds the build dependencies already. Packages and logs
# go to build/sbuild-RELEASE.
set -euo pipefail
release=$1 dsc=$(realpath -e "$2")
cd "$(dirname "$0")/.."
readonly cache=${VELORN_SBUILD_CACHE:-/var/cache/velorn-agent-monitor-sbuild}
readonly output=$PWD/build/sbuild-$release
native=$(dpkg --print-architecture)
builds=("${@:3}")
if ((${#builds[@]} == 0)); then
  builds=("$native") && [[ $native == arm64 ]] || builds+=(arm64)
fi

# make_tarball ARCH TARBALL: build-essential, lintian, fakeroot and apt-utils (apt's own solver,
# which sbuild would copy in from this machine for a cross build, where another release's apt cannot
# run it), for a foreign ARCH its cross toolchain with the libc and libstdc++ that sbuild adds to a
# cross build's dependencies (sbuild.conf(5), CROSSBUILD_CORE_DEPENDS), then what apt itself resolves
# from the package's build dependencies for ARCH: what each build would otherwise install again. The
# package lists are kept, so that the build's own update fetches only what changed since.
make_tarball() {
  local arches=("$native") hooks=(--customize-hook="upload $dsc /tmp/package.dsc")
  if [[ $1 != "$native" ]]; then
    arches+=("$1") hooks+=(--include=crossbuild-essential-"$1")
    hooks+=(--customize-hook="chroot \"\$1\" apt-get satisfy -qq -y -a $1 'libc-dev, libstdc++-dev' >/dev/null")
  fi
  hooks+=(--customize-hook="chroot \"\$1\" apt-get build-dep -qq -y -a $1 /tmp/package.dsc >/dev/null")
  mkdir -p "$cache"
  mmdebstrap --quiet --variant=buildd --architectures="$(IFS=,; echo "${arches[*]}")" \
    --include=lintian,apt-utils,fakeroot --skip=cleanup/apt/lists "${hooks[@]}" \
    --customize-hook="rm \"\$1/tmp/package.dsc\"" "$release" "${2%.tar}.new.tar"
  mv "${2%.tar}.new.tar" "$2"
}

mkdir -p "$output"
# Each release's build gets a version of its own, so that one apt repository holds them all and a
# host's upgrade to the next release upgrades the package too: VERSION+debNN, ordered by the
# releases and below the next upstream version. It comes from a binary-only changelog entry of the
# release's own (a binNMU without its +bN), the only kind that names the release in the .changes and
# satisfies lintian, dated as the source's last entry, so that a rebuild gives the same package.
declare -A suffixes=([bookworm]=+deb12 [trixie]=+deb13 [sid]=+sid)
[[ -v suffixes[$release] ]] || { echo "no version suffix for $release: one of ${!suffixes[*]}" >&2; exit 2; }
entry=(--make-binNMU="Built for $release." --binNMU=0 --append-to-version="${suffixes[$release]}"
  --binNMU-timestamp="$(dpkg-parsechangelog -S Date)" --maintainer="$(dpkg-parsechangelog -S Maintainer)")
for arch in "${builds[@]}"; do
  tarball=$cache/$release-$arch.tar
  recipe=$(declare -f make_tarball; cat debian/control; echo "$release $native $arch")
  if [[ $(cat "$tarball.recipe" 2>/dev/null) != "$recipe" ]]; then
    echo "making the $release chroot tarball $tarball"
    make_tarball "$arch" "$tarball"
    echo "$recipe" >"$tarball.recipe"
  fi
  echo "sbuild: $release, $arch"
  rm -f "$output"/*_"$arch"[.-]*
  (cd "$output" && SBUILD_CONFIG=$OLDPWD/pipeline/sbuild.conf sbuild --chroot="$tarball" --dist="$release" \
    "${entry[@]}" --host="$arch" "$dsc" >/dev/null) || { tail -n 60 "$output"/*"_$arch.build" >&2; exit 1; }
  grep -E '^(Status|Lintian|Build-Time):' "$output"/*"_$arch.build" | tail -n 3
  # Neither program links a C++ runtime library.
  depends=$(dpkg-deb -f "$output"/velorn-agent-monitor_*_"$arch".deb Depends)
  [[ $depends =~ ^libc6\ \(\>=\ [0-9.]+\)$ ]] || { echo "Depends: $depends: not libc6 alone" >&2; exit 1; }
done
