#!/usr/bin/env bash
# Makes the Debian source package into build/debian from a copy of this tree as it stands, since
# dpkg-source writes beside the tree it reads, and prints the path of its .dsc.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/debian
rm -rf "$out" && mkdir -p "$out/src"
git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$out/src"
(cd "$out/src" && dpkg-source --build . >&2)
echo "$PWD/$out"/*.dsc
