#!/usr/bin/env bash
# Publishes the packages built for each RELEASE, build/sbuild-RELEASE/velorn-agent-monitor_*.deb,
# as an apt repository in DIRECTORY, made by reprepro(1): dists/RELEASE, main, for the
# architectures built, signed by a key made for the purpose and thrown away, whose public half is
# DIRECTORY/archive-key.asc.
#   pipeline/repository.sh DIRECTORY RELEASE...
# The releases' versions must rise in the order given, and stay below the next upstream version.
set -euo pipefail
repository=$(realpath -m "$1")
cd "$(dirname "$0")/.."
state=$(mktemp -d) && trap 'rm -rf "$state"' EXIT
export GNUPGHOME=$state/gnupg
rm -rf "$repository" && mkdir -p "$repository" "$state/conf" && mkdir -m 700 "$GNUPGHOME"
gpg --batch --quiet --passphrase '' --quick-generate-key 'velorn-agent-monitor test archive' ed25519 sign 1d
gpg --batch --export --armor >"$repository/archive-key.asc"

upstream=$(dpkg-parsechangelog -S Version)
previous=0
for release in "${@:2}"; do
  debs=(build/sbuild-"$release"/velorn-agent-monitor_*.deb)
  version=$(dpkg-deb -f "${debs[0]}" Version)
  dpkg --compare-versions "$previous" lt "$version" || { echo "$release's $version is not above $previous" >&2; exit 1; }
  previous=$version
  printf 'Codename: %s\nComponents: main\nArchitectures: %s\nSignWith: default\n\n' "$release" \
    "$(for deb in "${debs[@]}"; do dpkg-deb -f "$deb" Architecture; done | sort -u | paste -sd' ')" \
    >>"$state/conf/distributions"
  reprepro --silent -b "$state" --outdir "$repository" includedeb "$release" "${debs[@]}"
done
next=${upstream%.*}.$((${upstream##*.} + 1))
dpkg --compare-versions "$previous" lt "$next" || { echo "$previous is not below the next upstream $next" >&2; exit 1; }
echo "$1: $(find "$repository/pool" -name '*.deb' -printf '%f ' | sort)"
