#!/usr/bin/env bash
# piuparts(1), as Debian's QA runs it, on the package built for this machine's architecture, each
# time in a fresh chroot of the release from a base tarball kept in $VELORN_PIUPARTS_CACHE (made by
# mmdebstrap when missing or stale). As root on Debian, after pipeline/prerequisites.sh:
#   pipeline/piuparts.sh RELEASE...        for each, the install and purge test of its build, then
#                                          its upgrade test from 0.2.0, which apt installs first
#   pipeline/piuparts.sh --across OLD NEW  the host's release upgrade: the package that apt installs
#                                          from OLD's suite of build/repository must end as NEW's
#                                          build, once the whole chroot has been upgraded to NEW
set -euo pipefail
cd "$(dirname "$0")/.."
readonly cache=${VELORN_PIUPARTS_CACHE:-/var/cache/velorn-agent-monitor-piuparts}
native=$(dpkg --print-architecture)
across=false
[[ $1 != --across ]] || { across=true && shift; }

# base RELEASE: prints the path of its base tarball, made first where missing or stale.
base() {
  local tarball=$cache/$1.tar.gz recipe
  recipe="mmdebstrap --quiet --variant=minbase --architectures=$native $1"
  if [[ $(cat "$tarball.recipe" 2>/dev/null) != "$recipe" ]]; then
    mkdir -p "$cache"
    $recipe "$tarball.new.tar.gz" >&2 && mv "$tarball.new.tar.gz" "$tarball" && echo "$recipe" >"$tarball.recipe"
  fi
  echo "$tarball"
}
# Debian 12's piuparts finds /var/cache/debconf/tmp.ci left behind by any package in a Debian 13
# chroot, hello's too: a change of debconf's, not the package's.
options=(-i /var/cache/debconf/tmp.ci/)

if $across; then
  # The repository is signed by a key of its own, which apt in the chroot trusts from the start: from
  # before its first update, which follows the scripts named post_chroot_unpack.
  scripts=$(mktemp -d) && trap 'rm -rf "$scripts"' EXIT
  printf "#!/bin/sh\ncat >/etc/apt/trusted.gpg.d/velorn-agent-monitor.asc <<'EOF'\n%s\nEOF\n" \
    "$(cat build/repository/archive-key.asc)" >"$scripts/post_chroot_unpack_velorn_key"
  chmod 755 "$scripts/post_chroot_unpack_velorn_key"
  tarball=$(base "$1")
  piuparts "${options[@]}" -b "$tarball" -d "$1" -d "$2" --apt --scriptsdir="$scripts" -l "$scripts/log" \
    -m http://deb.debian.org/debian -m "file://$PWD/build/repository main" --bindmount="$PWD/build/repository" \
    velorn-agent-monitor
  ended=$(dpkg-deb -f build/sbuild-"$2"/velorn-agent-monitor_*_"$native".deb Version)
  grep -q "Unpacking velorn-agent-monitor ($ended)" "$scripts/log" || { echo "piuparts: $2's $ended never unpacked" >&2; exit 1; }
  exit
fi
for release; do
  # 0.2.0 as an apt repository of its own, for piuparts's upgrade test to install it from.
  previous=$PWD/build/previous-$release
  pipeline/previous.sh "$release" "$native"
  (cd "$previous" && apt-ftparchive packages . >Packages)
  tarball=$(base "$release")
  piuparts "${options[@]}" -b "$tarball" -d "$release" --bindmount="$previous" \
    --extra-repo="deb [trusted=yes] file://$previous ./" build/sbuild-"$release"/velorn-agent-monitor_*_"$native".deb
done
