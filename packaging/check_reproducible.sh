#!/usr/bin/env bash
# Reproducibility check: builds the amd64 and the arm64 package twice from the commit checked
# out, in two directories of different names, one after the other, and checks with cmp that
# both builds give the same binaries and the same .deb files, byte for byte; diffoscope shows
# what differs when they do not. No path of either build may appear in a binary.
#   packaging/check_reproducible.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# What is checked is the package's own choice of date, the commit's, and not the caller's.
unset SOURCE_DATE_EPOCH
# cpack makes the package's directories under the umask, so their modes depend on it; as
# dpkg-buildpackage does, packages are built with 0022.
umask 022

readonly presets=(release aarch64)
commit=$(git rev-parse --verify HEAD)
readonly commit
work=$(mktemp -d)
readonly work

step() { printf '== %s\n' "$*"; }
ok() { printf '   ok: %s\n' "$*"; }
fail() {
  printf 'FAIL: %s\n' "$*" >&2
  exit 1
}

cleanup() {
  local status=$?
  rm -rf "$work"
  if ((status == 0)); then
    echo "reproducibility check passed"
  else
    echo "reproducibility check FAILED" >&2
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'fail "interrupted"' INT TERM HUP

# Clones the commit into $1, builds both presets there, and packs them into $1/deb/PRESET/.
# The clone borrows this repository's objects (--shared) and writes nothing into it.
build_copy() {
  local dir=$1 preset log=$1.log
  git clone --quiet --shared --no-checkout . "$dir"
  git -C "$dir" checkout --quiet --detach "$commit"
  for preset in "${presets[@]}"; do
    if ! (cd "$dir" && cmake --preset "$preset" -DBUILD_TESTING=OFF &&
      cmake --build --preset "$preset" &&
      cpack -G DEB --config "build/$preset/CPackConfig.cmake" -B "deb/$preset") >>"$log" 2>&1; then
      cat "$log" >&2
      fail "building $preset in $dir"
    fi
  done
  sed -n 's/^-- \(SOURCE_DATE_EPOCH=\)/   \1/p' "$log" | sort -u
}

# Compares one file of both builds; on a difference, shows the start of diffoscope's account
# of it, without disassembly, which the host's objdump cannot give for arm64 anyway.
same() {
  local first=$1 second=$2
  cmp -- "$first" "$second" >"$work/cmp.out" && return 0
  sed 's/^/   cmp: /' "$work/cmp.out"
  echo "   diffoscope ${first#"$work"/} ${second#"$work"/}:"
  diffoscope --text - --diff-context 1 --max-text-report-size 8000 \
    --exclude-command '^objdump .*--disassemble' -- "$first" "$second" | sed 's/^/     /' || true
  return 1
}

the_deb() {
  local debs=("$1"/*.deb)
  [[ ${#debs[@]} == 1 && -f ${debs[0]} ]] || fail "no single .deb in $1: ${debs[*]}"
  printf '%s\n' "${debs[0]}"
}

step "building commit ${commit:0:12} twice, in ${work}/{one,second-copy}"
git diff --quiet HEAD || echo "   note: uncommitted changes are not part of the commit checked"
# Different lengths, so that a path that leaks in moves everything after it as well.
copies=("$work/one" "$work/second-copy")
for copy in "${copies[@]}"; do
  build_copy "$copy"
  ok "built and packed ${presets[*]} in $copy"
done

# Both checks run in full, so that a fault shows everything it breaks.
faults=()

step "comparing the two builds with cmp"
for preset in "${presets[@]}"; do
  binary=build/$preset/velorn_agent_monitor
  if same "${copies[0]}/$binary" "${copies[1]}/$binary"; then
    ok "$preset: the binary as linked is identical"
  else
    faults+=("the $preset binaries differ")
  fi
  first=$(the_deb "${copies[0]}/deb/$preset")
  second=$(the_deb "${copies[1]}/deb/$preset")
  if same "$first" "$second"; then
    ok "$preset: ${first##*/} is identical, sha256 $(sha256sum <"$first" | cut -c1-16)..."
  else
    faults+=("the two ${first##*/} differ")
  fi
done

step "no path of the build machine in the binaries"
faults_before=${#faults[@]}
for copy in "${copies[@]}"; do
  for preset in "${presets[@]}"; do
    # The binary as linked, before cpack strips it: it holds every string the packaged one does.
    binary=$copy/build/$preset/velorn_agent_monitor
    if grep -q -a -F -- "$work" "$binary"; then
      strings -a "$binary" | grep -F -- "$work" | head -n 3 | sed 's/^/   found: /' || true
      faults+=("${binary#"$work"/} holds a path under $work")
    fi
  done
done
((${#faults[@]} > faults_before)) || ok "neither build's source or build directory appears in any binary"
((${#faults[@]} == 0)) || fail "$(printf '%s; ' "${faults[@]}")"
