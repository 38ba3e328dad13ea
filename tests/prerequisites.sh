#!/usr/bin/env bash
# Installs, as root on Debian, the packages that tests/run_all.sh needs and this machine lacks. Off
# arm64 that includes Debian's arm64 architecture, its cross toolchain, and qemu-user-static, with
# which the arm64 testbed's root filesystem is built; on arm64 those are the machine's own.
set -euo pipefail

packages=(
  build-essential cmake ninja-build python3 strace git # the builds and the suite
  clang-tidy clang-format cppcheck devscripts groff-base shellcheck flake8 # the linters
  dpkg-dev debhelper sbuild uidmap iproute2 reprotest diffoscope-minimal disorderfs faketime # the packages
  autopkgtest qemu-system-arm qemu-utils ipxe-qemu mmdebstrap e2fsprogs kmod cpio # the testbed
)
arm64_native=false
[[ $(dpkg --print-architecture) == arm64 ]] && arm64_native=true
$arm64_native || packages+=(crossbuild-essential-arm64 libc6:arm64 qemu-user-static arch-test)

missing=()
for package in "${packages[@]}"; do
  [[ $(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null) == installed ]] || missing+=("$package")
done
if ((${#missing[@]})); then
  $arm64_native || dpkg --add-architecture arm64
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

# sbuild's unshare mode maps the chroot's users to ids subordinate to root's (subuid(5)).
if ! grep -qs '^root:' /etc/subuid || ! grep -qs '^root:' /etc/subgid; then
  usermod --add-subuids 1000000000-1000065535 --add-subgids 1000000000-1000065535 root
fi

# Arm binaries run through qemu-user-static once binfmt_misc is mounted and the package's entry
# registered, as systemd-binfmt would at boot (binfmt.d(5)).
if ! $arm64_native; then
  binfmt=/proc/sys/fs/binfmt_misc
  mountpoint -q "$binfmt" || mount -t binfmt_misc binfmt_misc "$binfmt"
  [[ -e $binfmt/qemu-aarch64 ]] || grep -v '^#' /usr/lib/binfmt.d/qemu-aarch64.conf >"$binfmt/register"
fi
