#!/usr/bin/env bash
# Installs, as root on Debian, what pipeline/run_all.sh and pipeline/matrix.sh need and this machine
# lacks: qemu for every testbed (qemu-user-static while its root file system is built), and off arm64
# Debian's arm64 architecture and its cross toolchain.
set -euo pipefail

packages=(
  build-essential cmake ninja-build python3 strace git # the builds and the suite
  clang-tidy clang-format cppcheck devscripts groff-base shellcheck flake8 # the linters
  dpkg-dev debhelper sbuild uidmap iproute2 reprotest diffoscope-minimal disorderfs faketime # the packages
  reprepro gnupg apt-utils blhc piuparts # their repository and Debian's QA
  autopkgtest qemu-utils ipxe-qemu seabios mmdebstrap e2fsprogs kmod cpio qemu-user-static # the testbeds
  qemu-system-arm qemu-system-x86 qemu-system-ppc qemu-system-misc
)
native=$(dpkg --print-architecture) arm64_native=false
[[ $native == arm64 ]] && arm64_native=true
$arm64_native || packages+=(crossbuild-essential-arm64 libc6:arm64 arch-test)

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

# Foreign binaries run through qemu-user-static once binfmt_misc is mounted and the package's entries
# registered, as systemd-binfmt would at boot (binfmt.d(5)); the machine's own are left alone.
binfmt=/proc/sys/fs/binfmt_misc
mountpoint -q "$binfmt" || mount -t binfmt_misc binfmt_misc "$binfmt"
for entry in /usr/lib/binfmt.d/qemu-{aarch64,arm,ppc64le,riscv64,s390x}.conf; do
  name=$(basename "$entry" .conf)
  [[ ! -e $entry || -e $binfmt/$name ]] || grep -v '^#' "$entry" >"$binfmt/register"
done
# An amd64 kernel built without IA32 emulation runs no i386 binary (arch-test(1) tells), and
# qemu-user-static registers no entry for what Debian deems this machine's own: i386's ELF header.
if [[ $native == amd64 && ! -e $binfmt/qemu-i386 ]] && ! arch-test -n i386 >/dev/null; then
  printf '%s\n' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' >"$binfmt/register"
fi
