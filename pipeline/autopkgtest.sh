#!/usr/bin/env bash
# Runs the package's autopkgtests (debian/tests) against a package of ARCH inside that release's
# own Debian kernel with systemd as PID 1, under qemu-system, through autopkgtest's own qemu
# virtualisation server. As root on Debian, after pipeline/prerequisites.sh:
#   pipeline/autopkgtest.sh RELEASE ARCH [SOURCE.dsc PACKAGE_ARCH.deb [FILES]]
# FILES, a directory, is copied into the testbed as /var/tmp/velorn-files: the apt repository and
# the previous version that debian/tests/upgrade upgrades from.
# RELEASE is a Debian code name (bookworm, trixie), ARCH a Debian architecture of the table below.
# Its testbed image is built from that release's packages into
# $VELORN_AUTOPKGTEST_CACHE/RELEASE-ARCH when it is missing or its recipe changed: a root
# filesystem by mmdebstrap, made a testbed by autopkgtest's setup-testbed, booted directly from the
# release's kernel. What autopkgtest does not do is here: that kernel and a small initrd, the
# modules the testbed needs, and the qemu command line that boots them. Logs and artifacts go to
# build/autopkgtest-ARCH-RELEASE. Given RELEASE and ARCH alone, it only makes the image. The
# testbed has $VELORN_TESTBED_CPUS emulated processors, 2 unless set.
set -euo pipefail
release=$1 arch=$2
(($# == 2)) || dsc=$(realpath -e "$3") deb=$(realpath -e "$4")
copy=()
(($# < 5)) || copy=(--copy="$(realpath -e "$5"):/var/tmp/velorn-files")
cd "$(dirname "$0")/.."
# What each architecture's testbed boots: qemu's name for the machine, the Debian architecture and
# package of its kernel (a 32-bit userland runs on the kernel Debian gives it, as on Debian's CI),
# the kernel's console, the bus modules besides virtio_blk and ext4 that reach the root disk (s390x
# has its channel bus built in), and qemu's options beyond autopkgtest's.
declare -A machines=(
  [amd64]='x86_64 amd64 linux-image-amd64 ttyS0 virtio_pci'
  [i386]='x86_64 amd64 linux-image-amd64 ttyS0 virtio_pci'
  [arm64]='aarch64 arm64 linux-image-arm64 ttyAMA0 virtio_pci'
  [armhf]='arm armhf linux-image-armmp-lpae ttyAMA0 virtio_pci'
  [armel]='arm armhf linux-image-armmp-lpae ttyAMA0 virtio_pci'
  [ppc64el]='ppc64le ppc64el linux-image-powerpc64le hvc0 virtio_pci'
  [riscv64]='riscv64 riscv64 linux-image-riscv64 ttyS0 virtio_pci -machine virt'
  [s390x]='s390x s390x linux-image-s390x ttysclp0 virtio'
)
[[ -v machines[$arch] ]] || { echo "no testbed for $arch: one of ${!machines[*]}" >&2; exit 2; }
read -r qemu_arch kernel_arch kernel console bus qemu_options <<<"${machines[$arch]}"
readonly cache=${VELORN_AUTOPKGTEST_CACHE:-/var/cache/velorn-agent-monitor-autopkgtest}/$release-$arch
readonly output=$PWD/build/autopkgtest-$arch-$release
# What the tests depend on, preinstalled, since the testbed has no network, nor waits at boot to
# set one up; apt-utils for autopkgtest itself, which serves the package under test from a local
# apt archive.
readonly packages=systemd-sysv,udev,apt-utils,python3,strace,g++,procps,dpkg-repack,systemd-coredump

# The release's kernel, and an initrd that loads with the kernel's busybox the modules the root disk
# needs (virtio and ext4 are modules there), then switches to that disk.
build_kernel() {
  local version
  # Extracted, not installed: no initramfs-tools run under emulation.
  mmdebstrap --quiet --arch="$kernel_arch" --variant=extract --include="$kernel",busybox-static \
    "$release" "$work/kernel"
  # Debian 13's packages ship under /usr, which an extracted tree does not link from / (merged /usr).
  for dir in bin lib; do [[ -e $work/kernel/$dir ]] || ln -s "usr/$dir" "$work/kernel/$dir"; done
  version=$(ls "$work/kernel/lib/modules")
  depmod -b "$work/kernel" "$version"
  mkdir -p "$work/initrd/bin" "$work/initrd/modules"
  cp "$work/kernel/bin/busybox" "$work/initrd/bin/busybox"
  for module in "$bus" virtio_blk ext4; do
    modprobe -d "$work/kernel" -S "$version" --show-depends "$module"
  done | awk '$1 == "insmod" && !seen[$2]++ { print $2 }' | while read -r path; do
    # Debian 13's modules are xz-compressed, which busybox's insmod cannot load; -f copies others.
    module=${path##*/} && module=${module%.xz}
    xz -dcf "$path" >"$work/initrd/modules/$module"
    echo "$module" >>"$work/initrd/modules/order"
  done
  cat >"$work/initrd/init" <<'EOF'
#!/bin/busybox sh
b=/bin/busybox
$b mkdir -p /proc /dev /root
$b mount -t proc proc /proc && $b mount -t devtmpfs devtmpfs /dev
for module in $($b cat /modules/order); do $b insmod "/modules/$module"; done
i=0
while [ ! -b /dev/vda ] && [ $i -lt 200 ]; do $b sleep 0.1; i=$((i + 1)); done
$b mount -t ext4 /dev/vda /root || { echo "initrd: cannot mount /dev/vda"; $b poweroff -f; }
$b mount --move /dev /root/dev && $b umount /proc
exec $b switch_root /root /sbin/init
EOF
  chmod 755 "$work/initrd/init"
  (cd "$work/initrd" && find . | cpio -o -H newc -R 0:0 --quiet) | gzip -1 >"$work/image/initrd.img"
  # ppc64el's kernel is an uncompressed vmlinux.
  cp "$work/kernel/boot/"vmlinu[xz]-"$version" "$work/image/vmlinuz"
}

build_image() {
  local root=$work/root mirror
  mkdir "$work/image"
  build_kernel
  # With no mirror given, mmdebstrap adds a stable release's updates and security archives.
  mmdebstrap --quiet --arch="$arch" --variant=minbase --include="$packages" "$release" "$root"
  # An empty machine-id makes every boot a first boot, whose presets undo setup-testbed's units.
  tr -d - </proc/sys/kernel/random/uuid >"$root/etc/machine-id"
  mirror=$(apt-get indextargets --format "\$(REPO_URI)" 'Created-By: Packages' | grep -v security | head -n 1)
  RELEASE=$release MIRROR=${mirror%/} /usr/share/autopkgtest/setup-commands/setup-testbed "$root" \
    >"$work/setup-testbed.log" 2>&1 || { cat "$work/setup-testbed.log" >&2; exit 1; }
  # The testbed has what its tests depend on, and autopkgtest serves the package under test from an
  # archive of its own: without Debian's lists, apt does not parse them under emulation.
  rm -rf "$root"/var/lib/apt/lists/*
  # Nor does every boot do what a host does once after an upgrade (ConditionNeedsUpdate=).
  touch -r "$root/usr" "$root/etc/.updated" "$root/var/.updated"
  # The root shell autopkgtest drives is on hvc1, which needs virtio_console; its shared directory
  # is 9p. ttyS1, which setup-testbed also enables, leads nowhere on most of the machines.
  rm -f "$root/etc/systemd/system/multi-user.target.wants/autopkgtest@ttyS1.service"
  mkdir -p "$root/lib/modules"
  cp -a "$work/kernel/lib/modules/." "$root/lib/modules/"
  printf '%s\n' virtio_console 9pnet_virtio 9p >"$root/etc/modules-load.d/autopkgtest.conf"
  truncate -s 3G "$work/image.raw"
  mke2fs -q -t ext4 -d "$root" "$work/image.raw"
  qemu-img convert -O qcow2 "$work/image.raw" "$work/image/image.qcow2"
  echo "$recipe" >"$work/image/recipe"
  rm -rf "$cache/image" && mv "$work/image" "$cache/"
}

# The image is rebuilt when the way it is built changes.
recipe=$(declare -f build_kernel build_image; echo "$release $arch ${machines[$arch]} $packages")
mkdir -p "$cache"
# One run at a time on a testbed image, which a run may rebuild; runs on different images may overlap.
exec {lock}>"$cache/lock"
flock -n "$lock" || { echo "waiting for another run to end" && flock "$lock"; }
work=$(mktemp -d /var/tmp/velorn-autopkgtest.XXXXXX)
trap 'rm -rf "$work"' EXIT
started=$SECONDS
if [[ $(cat "$cache/image/recipe" 2>/dev/null) != "$recipe" ]]; then
  echo "building the $arch testbed image into $cache/image"
  build_image
  echo "image built in $((SECONDS - started)) s"
fi
(($# > 2)) || exit 0

# autopkgtest's qemu server asks for KVM, and on x86-64 for the host's processor, wherever /dev/kvm
# exists; but a nested KVM may open and still fail once the testbed's kernel runs, and the testbed
# would wait out autopkgtest's timeouts. So unless $VELORN_TESTBED_KVM says yes or no, a short boot
# of that kernel under KVM, to a shell that powers the machine off, decides.
kvm=${VELORN_TESTBED_KVM:-}
if [[ -z $kvm ]]; then
  kvm=no
  # On an AArch64 host the probe boots the machine and processor that autopkgtest gives the testbed
  # there: qemu-system-aarch64 has no default machine, and would fail the probe wherever KVM works.
  probe_machine=()
  [[ $qemu_arch != aarch64 ]] || probe_machine=(-machine virt -cpu host)
  # shellcheck disable=SC2086 # qemu's options, one word each
  if [[ -e /dev/kvm && $qemu_arch == "$(uname -m)" ]] && timeout 30 "qemu-system-${qemu_arch%le}" -enable-kvm \
    "${probe_machine[@]}" -m 256 -nographic -no-reboot -kernel "$cache/image/vmlinuz" -initrd "$cache/image/initrd.img" \
    -append "console=$console panic=-1 rdinit=/bin/busybox -- poweroff -f" $qemu_options </dev/null >/dev/null; then
    kvm=yes
  fi
fi
echo "autopkgtest: the testbed runs $([[ $kvm == yes ]] && echo under KVM || echo emulated)"
# autopkgtest splits --qemu-options at whitespace, so the kernel's command line comes from here.
# autopkgtest itself picks the machine and processor where one must be named on arm. It gives the
# testbed 5 s for the commands that set up its shell, at boot and after a reboot, which an emulated
# processor misses when other work takes the host's: the testbed comes first, though only within its
# own session, since autogroup scheduling shares the processors out between sessions (sched(7)).
# A throwaway machine that runs nothing but its tests needs no mitigations of side channels, which
# cost an emulated processor dearly at every system call.
echo '#!/bin/sh' >"$work/qemu"
[[ $kvm == yes ]] || cat >>"$work/qemu" <<'EOF'
# Emulated: what asks for KVM goes, -enable-kvm and a processor model that only KVM runs.
for arg; do
  shift
  case $cpu$arg in
  -enable-kvm | -cpuhost* | -cpukvm64*) cpu= ;;
  -cpu) cpu=-cpu ;;
  *) set -- "$@" ${cpu:+"$cpu"} "$arg" && cpu= ;;
  esac
done
EOF
cat >>"$work/qemu" <<EOF
exec nice -n -10 qemu-system-${qemu_arch%le} -kernel $cache/image/vmlinuz -initrd $cache/image/initrd.img \
  -append "console=$console root=/dev/vda rw panic=-1 mitigations=off" $qemu_options "\$@"
EOF
chmod 755 "$work/qemu"
# autopkgtest gives the testbed the host's /etc/timezone and waits 30 s for dpkg-reconfigure tzdata,
# which an emulated processor under load may not finish; hidden, the testbed keeps UTC.
hide_timezone=()
[[ ! -e /etc/timezone ]] || hide_timezone=(unshare --mount sh -c 'mount --bind /dev/null /etc/timezone && exec "$@"' sh)
# Even so, the emulated testbed now and then misses one of the 5 s deadlines: a testbed failure (status
# 16), which is autopkgtest's and not a test's, is tried again, three times in all. Its reason is in
# autopkgtest's own log: a log file that takes its standard error has been seen to lose the lines.
for try in 1 2 3; do
  rm -rf "$output"
  status=0
  "${hide_timezone[@]}" autopkgtest --output-dir "$output" "${copy[@]}" "$dsc" "$deb" -- qemu --qemu-architecture="$qemu_arch" \
    --dpkg-architecture="$arch" --boot=none --qemu-command="$work/qemu" \
    --cpus="${VELORN_TESTBED_CPUS:-2}" --ram-size=1024 --timeout-reboot=300 "$cache/image/image.qcow2" || status=$?
  ((status == 16 && try < 3)) || break
  echo "autopkgtest: the testbed failed, so trying again; its log ended:"
  tail -n 3 "$output/log" || true
done
((status == 0)) || exit "$status"
echo "autopkgtest on $arch ($release) passed in $((SECONDS - started)) s"
