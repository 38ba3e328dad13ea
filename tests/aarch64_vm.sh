#!/usr/bin/env bash
# The AArch64 gate, as root on Debian: boots Debian's arm64 kernel under qemu-system-aarch64 with
# systemd as PID 1 and, in that guest, installs the arm64 package built from this tree, runs the
# suite against the installed monitor, the example unit under systemd and starts from a terminal,
# then the package check. The guest's log comes back on a second disk and is printed here; what
# it sent back stays in build/aarch64-vm.
#   tests/aarch64_vm.sh         the gate
#   tests/aarch64_vm.sh host    tests/run_all.sh itself in a bigger guest, from a copy of this tree,
#                               as on an AArch64 host (slow, so not part of tests/run_all.sh)
# Kernel, initrd and root filesystems are built from Debian's packages into $VELORN_VM_CACHE when
# missing, and a root filesystem again when its package list changes.
set -euo pipefail
cd "$(dirname "$0")/.."

readonly cache=${VELORN_VM_CACHE:-/var/cache/velorn-agent-monitor-vm}
readonly results=build/aarch64-vm
readonly monitor=/usr/sbin/velorn_agent_monitor
readonly unit=velorn_agent_monitor.service
# systemd, and what the suite and the package check run.
readonly gate_packages=systemd-sysv,udev,python3,strace,util-linux,procps,man-db
# What tests/prerequisites.sh would install on an arm64 host, for the guest has no network.
readonly host_packages=$gate_packages,g++,cmake,make,clang-tidy,clang-format,cppcheck,devscripts,\
groff-base,dpkg-dev,file,lintian,diffoscope-minimal,git,mmdebstrap,kmod,cpio,e2fsprogs,qemu-system-arm

say() { printf '=== %s\n' "$*"; }
fail() {
  printf 'FAIL: %s\n' "$*" >&2
  exit 1
}

# --- host: the cache -----------------------------------------------------------------------------

# Debian's arm64 kernel, and an initrd that loads with the arm64 busybox the modules that the root
# disk needs (virtio and ext4 are modules there), then switches to that disk.
build_kernel() {
  local dir=$work/kernel image version
  mkdir -p "$dir/initrd/bin" "$dir/initrd/modules"
  image=$(apt-cache depends linux-image-arm64:arm64 | awk '$1 == "Depends:" { print $2; exit }')
  download() {
    (cd "$dir" && apt-get download -qq -o APT::Sandbox::User=root "$image" busybox-static:arm64)
  }
  # The package lists may still name versions that the mirror has dropped.
  download || { apt-get update -qq && download; }
  dpkg-deb -x "$dir"/linux-image-*.deb "$dir/kernel"
  dpkg-deb --fsys-tarfile "$dir"/busybox-static_*.deb | tar -xO ./bin/busybox >"$dir/initrd/bin/busybox"
  chmod 755 "$dir/initrd/bin/busybox"
  version=$(ls "$dir/kernel/lib/modules")
  # The package leaves the module index to its postinst: build it, then ask modprobe for the load
  # order, dependencies and ext4's crc32c included.
  depmod -b "$dir/kernel" "$version"
  for module in virtio_pci virtio_blk ext4; do
    modprobe -d "$dir/kernel" -S "$version" --show-depends "$module"
  done | awk '$1 == "insmod" && !seen[$2]++ { print $2 }' | while read -r path; do
    cp "$path" "$dir/initrd/modules/"
    echo "${path##*/}" >>"$dir/initrd/modules/order"
  done
  cat >"$dir/initrd/init" <<'EOF'
#!/bin/busybox sh
b=/bin/busybox
$b mkdir -p /proc /dev /root
$b mount -t proc proc /proc && $b mount -t devtmpfs devtmpfs /dev
for module in $($b cat /modules/order); do
  $b insmod "/modules/$module" || echo "initrd: insmod $module failed"
done
i=0
while [ ! -b /dev/vda ] && [ $i -lt 200 ]; do $b sleep 0.1; i=$((i + 1)); done
$b mount -t ext4 /dev/vda /root || { echo "initrd: cannot mount /dev/vda"; $b poweroff -f; }
$b mount --move /dev /root/dev && $b umount /proc
exec $b switch_root /root /sbin/init
EOF
  chmod 755 "$dir/initrd/init"
  (cd "$dir/initrd" && find . | cpio -o -H newc -R 0:0 --quiet) | gzip -1 >"$dir/initrd.img"
  mv "$dir/kernel/boot/vmlinuz-$version" "$dir/vmlinuz"
  mv "$dir/initrd.img" "$dir/vmlinuz" "$cache/"
}

# build_rootfs NAME PACKAGES: a bookworm arm64 root filesystem with those packages, as a tarball.
build_rootfs() {
  # The host's own apt sources, in whichever files and formats it keeps them.
  local sources=() file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [[ -s $file ]] && sources+=("$file")
  done
  ((${#sources[@]})) || fail "no apt sources in /etc/apt to build the root filesystem from"
  # No kernel in it: its initramfs, built under user-mode emulation, would take half an hour.
  mmdebstrap --quiet --arch=arm64 --variant=minbase --include="$2" bookworm "$work/$1.tar" "${sources[@]}"
  mv "$work/$1.tar" "$cache/"
  echo "$2" >"$cache/$1.packages"
}

# cached NAME PACKAGES
cached() {
  if [[ ! -f $cache/vmlinuz || ! -f $cache/initrd.img ]]; then
    say "building the kernel and initrd into $cache"
    build_kernel
  fi
  if [[ ! -f $cache/$1.tar || $(cat "$cache/$1.packages" 2>/dev/null) != "$2" ]]; then
    say "building the $1 root filesystem into $cache (mmdebstrap, a few minutes)"
    build_rootfs "$1" "$2"
  fi
}

# --- host: disk, boot, results -------------------------------------------------------------------

# stage MODE SIZE: the guest's disk, MODE's root filesystem with a service that runs this script's
# guest MODE once systemd has booted, then powers off.
stage() {
  local root=$work/root units=$work/root/etc/systemd/system masked
  mkdir "$root"
  tar -C "$root" -xpf "$cache/$1.tar"
  # An empty machine-id would make systemd run its first-boot setup.
  od -An -N16 -tx1 /dev/urandom | tr -d ' \n' >"$root/etc/machine-id"
  echo >>"$root/etc/machine-id"
  echo velorn-vm >"$root/etc/hostname"
  for masked in serial-getty@ttyAMA0.service getty@tty1.service apt-daily.timer \
    apt-daily-upgrade.timer e2scrub_all.timer e2scrub_reap.service fstrim.timer \
    dpkg-db-backup.timer man-db.timer; do
    ln -sf /dev/null "$units/$masked"
  done
  cat >"$units/velorn-vm.service" <<EOF
[Unit]
Description=velorn_agent_monitor checks
After=multi-user.target
SuccessAction=poweroff-force
FailureAction=poweroff-force
[Service]
Type=oneshot
ExecStart=/ci/aarch64_vm.sh guest $1
StandardOutput=journal+console
StandardError=journal+console
TimeoutStartSec=infinity
EOF
  mkdir -p "$units/multi-user.target.wants"
  ln -s ../velorn-vm.service "$units/multi-user.target.wants/"
  mkdir -m 755 "$root/ci"
  cp tests/aarch64_vm.sh "$root/ci/"
  if [[ $1 == gate ]]; then
    # The suite as it is in this tree, run natively against the installed monitor.
    cp "$work"/deb/*.deb tests/monitor_test.py build/aarch64/tests/monitor_probe \
      packaging/check_package.sh "$root/ci/"
  else
    # The checkout as it stands, its history included: the reproducibility check builds HEAD.
    mkdir "$root/ci/repo"
    git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$root/ci/repo"
    cp -a .git "$root/ci/repo/"
  fi
  mke2fs -q -t ext4 -d "$root" "$work/root.img" "$2" >/dev/null
  rm -rf "$root"
}

# boot MEMORY LIMIT: runs the guest until it powers off, for LIMIT seconds at most.
boot() {
  local status=0
  truncate -s 64M "$work/results.img"
  # pauth-impdef: the architected pointer authentication is two to three times slower to emulate.
  timeout --kill-after=10 "$2" qemu-system-aarch64 -M virt -cpu max,pauth-impdef=on -smp 2 -m "$1" \
    -display none -monitor none -serial "file:$work/console.log" -no-reboot -nic none \
    -kernel "$cache/vmlinuz" -initrd "$cache/initrd.img" \
    -append "console=ttyAMA0 root=/dev/vda rw panic=-1 velorn_vm" \
    -drive "file=$work/root.img,if=none,format=raw,id=root,cache=unsafe" \
    -device virtio-blk-pci,drive=root \
    -drive "file=$work/results.img,if=none,format=raw,id=results" \
    -device virtio-blk-pci,drive=results </dev/null &
  qemu=$!
  wait "$qemu" || status=$?
  qemu=
  rm -rf "$results"
  mkdir -p "$results"
  cp "$work/console.log" "$results/"
  ((status != 124)) || fail "the guest did not power off within $2 s; console in $results"
  ((status == 0)) || fail "qemu-system-aarch64 exited with status $status; console in $results"
}

# What the guest wrote to the second disk: its log, exit status and journal.
collect() {
  local status
  tar -C "$results" -xf "$work/results.img" 2>/dev/null || true
  if [[ ! -f $results/status ]]; then
    tail -n 30 "$results/console.log" >&2
    fail "no results from the guest; console in $results"
  fi
  cat "$results/log"
  status=$(<"$results/status")
  grep -q "@@velorn-vm: exit $status@@" "$results/console.log" || fail "no exit status on the console"
  ((status == 0)) || fail "the guest's checks failed (status $status); log and journal in $results"
}

stop_qemu() {
  if [[ -n ${qemu:-} ]]; then
    kill -TERM "$qemu" 2>/dev/null || true # timeout passes it on to qemu
    wait "$qemu" || true
  fi
  rm -rf "$work"
}

host() {
  local mode=$1 started=$SECONDS
  if grep -qw velorn_vm /proc/cmdline; then
    echo "skipped: this is the gate's own AArch64 guest, which has no network for a root filesystem"
    return
  fi
  ((EUID == 0)) || fail "run as root: the guest's disk holds root-owned files"
  mkdir -p "$cache"
  # One run at a time on a machine: two emulated guests starve each other past the suite's deadlines.
  exec {lock}>"$cache/lock"
  flock -n "$lock" || { say "waiting for another run of the gate to end" && flock "$lock"; }
  work=$(mktemp -d /var/tmp/velorn-vm.XXXXXX)
  trap stop_qemu EXIT
  trap 'exit 130' INT TERM HUP
  if [[ $mode == gate ]]; then
    cmake --workflow --preset aarch64
    cpack -G DEB --config build/aarch64/CPackConfig.cmake -B "$work/deb" >/dev/null
    cached gate "$gate_packages"
    stage gate 2G
  else
    cached host "$host_packages"
    stage host 8G
  fi
  say "booting the AArch64 guest ($((SECONDS - started)) s so far)"
  if [[ $mode == gate ]]; then boot 1024 900; else boot 4096 14400; fi
  collect
  say "AArch64 guest passed in $((SECONDS - started)) s"
}

# --- guest ---------------------------------------------------------------------------------------

# Polls a command until it succeeds, for 20 s at most (the guest's processor is emulated).
wait_for() {
  local end=$((SECONDS + 20))
  until "$@"; do
    ((SECONDS < end)) || return 1
    sleep 0.1
  done
}

gone() {
  local pid
  for pid; do [[ ! -e /proc/$pid ]] || return 1; done
}

argv_of() { tr '\0' ' ' <"/proc/$1/cmdline"; }

# check NAME COMMAND...: runs one check and counts its outcome.
check() {
  local name=$1
  shift
  echo "--- $name"
  if "$@"; then
    echo "ok: $name"
    passed=$((passed + 1))
  else
    echo "FAIL: $name"
    failed=$((failed + 1))
  fi
}

booted() {
  echo "$(uname -m), PID 1 $(</proc/1/comm), kernel $(uname -r)"
  [[ $(uname -m) == aarch64 && $(</proc/1/comm) == systemd ]]
}

suite() {
  python3 /ci/monitor_test.py "$monitor" /ci/monitor_probe 2>&1 | tee /run/suite.log
  # unittest's last line is OK, or OK (skipped=N): only a run that skipped nothing passes.
  [[ ${PIPESTATUS[0]} == 0 && $(tail -n 1 /run/suite.log) == OK ]]
}

# The example unit runs a sleep with an argument of its own, by which the checks find it.
readonly agent="/usr/bin/sleep 86400.25"
readonly cgroup=/sys/fs/cgroup/system.slice/$unit

# Sets main and child once the unit's main process is the monitor, its only child the agent, and
# those two are all of the unit's control group.
unit_runs() {
  local children
  main=$(systemctl show -P MainPID $unit) && [[ $main != 0 ]] || return 1
  [[ $(readlink "/proc/$main/exe") == "$monitor" ]] || return 1
  children=$(<"/proc/$main/task/$main/children") && [[ $children =~ ^([0-9]+)\ $ ]] || return 1
  child=${BASH_REMATCH[1]}
  [[ $(argv_of "$child") == "$agent " ]] || return 1
  [[ $(sort -n "$cgroup/cgroup.procs") == "$(printf '%s\n' "$main" "$child" | sort -n)" ]]
}

new_agent() { unit_runs && [[ $main == "$1" && $child != "$2" ]]; }
new_monitor() { unit_runs && [[ $main != "$1" && $child != "$2" ]]; }

# with_status CHECK: runs a check of the unit, and shows what systemd says of it when it fails.
with_status() {
  "$@" && return
  systemctl status --no-pager --lines=10 $unit
  return 1
}

unit_starts() {
  sed "s|^ExecStart=.*|ExecStart=$monitor $agent|" \
    /usr/share/doc/velorn-agent-monitor/examples/$unit >/etc/systemd/system/$unit &&
    systemctl daemon-reload && systemctl start $unit || return 1
  [[ $(systemctl is-active $unit) == active ]] && wait_for unit_runs &&
    echo "monitor $main, agent $child"
}

agent_restarts() {
  local monitor_pid=$main agent_pid=$child
  kill -KILL "$agent_pid" && wait_for new_agent "$monitor_pid" "$agent_pid" &&
    echo "agent $agent_pid killed, restarted as $child"
}

monitor_restarts() {
  local monitor_pid=$main agent_pid=$child
  kill -KILL "$monitor_pid" && wait_for new_monitor "$monitor_pid" "$agent_pid" &&
    wait_for gone "$monitor_pid" "$agent_pid" &&
    echo "monitor $monitor_pid killed, systemd started monitor $main and agent $child"
}

unit_stops() {
  local pids=("$main" "$child") start=${EPOCHREALTIME/./} ms
  timeout 10 systemctl stop $unit
  ms=$(((${EPOCHREALTIME/./} - start) / 1000))
  echo "systemctl stop took $ms ms"
  ((ms < 2000)) && gone "${pids[@]}" && ! pgrep -f -x "${agent//./\\.}" && [[ ! -e $cgroup ]]
}

# detached AGENT: sets main once a monitor runs AGENT as its child.
detached() {
  main=$(pgrep -f -x "$monitor ${1//./\\.}") && pgrep -P "$main" -f -x "${1//./\\.}" >/dev/null
}

# The monitor as operators start it from a shell: script(1) runs it as the leader of a session on
# a new terminal, whose end it must survive. Repeated, since what it survives is a race.
terminal_starts() {
  local i agent_argv
  for i in {1..20}; do
    agent_argv="/usr/bin/sleep 600.$i"
    script -qec "$monitor $agent_argv" /dev/null </dev/null || return 1
    if ! wait_for detached "$agent_argv"; then
      echo "start $i: no monitor running $agent_argv after its terminal session ended"
      pkill -KILL -f -x "${agent_argv//./\\.}"
      return 1
    fi
    kill -KILL -- "-$main"
  done
  echo "20 starts, each monitor and its agent alive after the session ended"
}

guest_gate() {
  local debs=(/ci/*.deb)
  passed=0 failed=0
  check "an AArch64 kernel, systemd as PID 1" booted
  check "dpkg -i ${debs[0]##*/}" dpkg -i "${debs[0]}"
  check "the suite against the installed $monitor" suite
  check "systemctl start: monitor and agent in the unit's cgroup" with_status unit_starts
  check "agent killed: restarted, same argv" with_status agent_restarts
  check "monitor killed: systemd starts both anew" with_status monitor_restarts
  check "systemctl stop: at once, nothing left" with_status unit_stops
  systemctl kill --signal=KILL $unit 2>/dev/null # what a failed stop left would hold up the shutdown
  check "started from a terminal: survives the session's end" terminal_starts
  check "dpkg --purge" dpkg --purge velorn-agent-monitor
  check "check_package.sh ${debs[0]##*/}" /ci/check_package.sh "${debs[0]}"
  echo "aarch64: $passed passed, $failed failed"
  ((failed == 0))
}

guest_host() {
  cd /ci/repo && tests/run_all.sh
}

# guest MODE: runs guest_MODE, then writes its log and exit status to the second disk.
guest() {
  local out=/run/velorn-vm status=0
  mkdir -p "$out"
  "guest_$1" 2>&1 | tee "$out/log" || status=$?
  echo "$status" >"$out/status"
  journalctl -b --no-pager >"$out/journal" 2>&1 || true
  tar -C "$out" -cf /dev/vdb . && sync
  echo "@@velorn-vm: exit $status@@"
}

case ${1:-gate} in
gate | host) host "${1:-gate}" ;;
guest) guest "$2" ;;
*) fail "usage: tests/aarch64_vm.sh [host]" ;;
esac
