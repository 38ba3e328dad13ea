#!/usr/bin/env bash
# Installs, as root on Debian, whatever the tests need and this machine lacks, and lets it run
# AArch64 programs through qemu-user-static.
set -euo pipefail

# Each command the tests need, and the Debian package that provides it.
declare -A provider=(
  [g++]=g++ [cmake]=cmake [make]=make [python3]=python3 [strace]=strace
  [clang-tidy]=clang-tidy [clang-format]=clang-format [cppcheck]=cppcheck
  [hardening-check]=devscripts [groff]=groff-base [man]=man-db
  [dpkg-shlibdeps]=dpkg-dev [file]=file
  [aarch64-linux-gnu-g++]=g++-aarch64-linux-gnu [qemu-aarch64-static]=qemu-user-static
  [lintian]=lintian [diffoscope]=diffoscope-minimal [git]=git [cmp]=diffutils [strings]=binutils
)
missing=()
for tool in "${!provider[@]}"; do
  command -v "$tool" >/dev/null || missing+=("${provider[$tool]}")
done
# The arm64 C library, from Debian's multiarch: the emulated tests load it, and the arm64
# package's dependencies are read from it.
dpkg-query -W -f='${Status}' libc6:arm64 2>/dev/null | grep -q ' installed$' || missing+=(libc6:arm64)
if ((${#missing[@]})); then
  dpkg --add-architecture arm64
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

# Arm binaries run through qemu-user-static once binfmt_misc is mounted and the package's entry
# registered, as systemd-binfmt would at boot (binfmt.d(5)).
binfmt=/proc/sys/fs/binfmt_misc
mountpoint -q "$binfmt" || mount -t binfmt_misc binfmt_misc "$binfmt"
[[ -e $binfmt/qemu-aarch64 ]] || grep -v '^#' /usr/lib/binfmt.d/qemu-aarch64.conf >"$binfmt/register"
