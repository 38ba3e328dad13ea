#!/usr/bin/env bash
# Installs, as root on Debian, whatever the tests need and this machine lacks. Off arm64 it also adds
# Debian's arm64 architecture and lets arm64 programs run through qemu-user-static, as the AArch64
# gate's root filesystem is built with them; on arm64 they are the machine's own.
set -euo pipefail

# Each command the tests need, and the Debian package that provides it.
declare -A provider=(
  [g++]=g++ [cmake]=cmake [make]=make [python3]=python3 [strace]=strace
  [clang-tidy]=clang-tidy [clang-format]=clang-format [cppcheck]=cppcheck
  [hardening-check]=devscripts [groff]=groff-base [man]=man-db
  [dpkg-shlibdeps]=dpkg-dev [file]=file [pgrep]=procps
  [aarch64-linux-gnu-g++]=g++-aarch64-linux-gnu [qemu-aarch64-static]=qemu-user-static
  [lintian]=lintian [diffoscope]=diffoscope-minimal [git]=git [cmp]=diffutils [strings]=binutils
)

# The AArch64 gate's: it builds the guest's root filesystem, kernel and disk, and boots it.
provider+=(
  [mmdebstrap]=mmdebstrap [depmod]=kmod [cpio]=cpio [mke2fs]=e2fsprogs
  [qemu-system-aarch64]=qemu-system-arm
)

arm64_native=false
[[ $(dpkg --print-architecture) == arm64 ]] && arm64_native=true
if $arm64_native; then
  # Debian's g++ is aarch64-linux-gnu-g++ here, and arm64 programs run without an emulator.
  provider[aarch64-linux-gnu-g++]=g++
  unset 'provider[qemu-aarch64-static]'
  echo "prerequisites: arm64 is this machine's own: no arm64 multiarch, cross compiler or qemu-user entry"
else
  provider[arch-test]=arch-test # with which mmdebstrap checks that arm64 programs run
fi

missing=()
for tool in "${!provider[@]}"; do
  command -v "$tool" >/dev/null || missing+=("${provider[$tool]}")
done
# The arm64 C library, from Debian's multiarch: the arm64 package's dependencies are read from it.
if ! $arm64_native; then
  dpkg-query -W -f='${Status}' libc6:arm64 2>/dev/null | grep -q ' installed$' || missing+=(libc6:arm64)
fi
if ((${#missing[@]})); then
  $arm64_native || dpkg --add-architecture arm64
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

# Arm binaries run through qemu-user-static once binfmt_misc is mounted and the package's entry
# registered, as systemd-binfmt would at boot (binfmt.d(5)).
if ! $arm64_native; then
  binfmt=/proc/sys/fs/binfmt_misc
  mountpoint -q "$binfmt" || mount -t binfmt_misc binfmt_misc "$binfmt"
  [[ -e $binfmt/qemu-aarch64 ]] || grep -v '^#' /usr/lib/binfmt.d/qemu-aarch64.conf >"$binfmt/register"
fi
