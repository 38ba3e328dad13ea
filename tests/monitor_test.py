#!/usr/bin/env python3
"""Black-box tests of the monitor binary, and of its watcher.

    monitor_test.py MONITOR PROBE WATCHER [unittest arguments: -k NAME, or MonitorTest.test_NAME, to run rows alone]

Each row of the table starts the real monitor under strace -ff, which records the status lines that
detaching sends to /dev/null, acts on it from outside, then reads the outcome from the traces and
/proc. The test is a child subreaper, so the detached monitor and every orphan it leaves become its
children: teardown kills and reaps them all, whether the row passed or not."""
import collections
import contextlib
import ctypes
import functools
import glob
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

MONITOR, PROBE, WATCHER = (os.path.abspath(p) for p in sys.argv[1:4])
MANUAL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs", "velorn_agent_monitor.8")
USAGE = "usage: velorn_agent_monitor PROGRAM [ARG]..."
DROPPED = [signal.SIGHUP, signal.SIGINT, signal.SIGTERM, signal.SIGPIPE, signal.SIGALRM]
SIX = {*DROPPED, signal.SIGCHLD}
# The monitor is started as an unfriendly invoker might: with signals blocked and ignored, which the child must find so
# too, some of them among the six the monitor takes for itself (SIGTERM blocked; SIGHUP ignored as under nohup, and
# SIGPIPE); with SIGCHLD ignored, which it must not; with a soft core-file limit of 0; and with a descriptor above the
# standard three, variables of its own (the unit's AGENT_ARGS among them), a umask that no default gives, and the
# suite's other limits, the soft open-files one below the hard, all of which the child must find as they were given.
# env(1) gives every other signal its default action, whatever the test inherited, and sets the mask to exactly these.
# About every other row (PLAIN) starts it as a plain shell would instead: SIGHUP and SIGPIPE at their default actions,
# which a monitor that ignored them itself would hand on, and a soft core-file limit above 0, which it must raise all
# the same.
BLOCKED, IGNORED, HELD = {signal.SIGUSR2, signal.SIGTERM}, {signal.SIGUSR1, signal.SIGHUP, signal.SIGPIPE}, 7
UMASK = 0o027
HARD_CORE = resource.getrlimit(resource.RLIMIT_CORE)[1]
# The finite hard core-file limit given to nobody: prlimit cannot raise the one in force without privilege.
FINITE = 4096 if HARD_CORE == resource.RLIM_INFINITY else min(4096, HARD_CORE)
PLAIN = {"ignored": IGNORED - {signal.SIGHUP, signal.SIGPIPE}, "soft_core": min(1024, FINITE)}
# LeakSanitizer cannot work under ptrace: a sanitized monitor is checked for leaks in the untraced refused starts.
ENV = {**os.environ, "VELORN_TEST": "kept as given", "AGENT_ARGS": "--port 7000",
       "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}
# Each architecture names some of these its own way ("?": absent from some): getrlimit and setrlimit are prlimit64, or
# on 32-bit ones built without large-file flags ugetrlimit and setrlimit; sigwait is rt_sigtimedwait, or its _time64.
TRACED = ("trace=write,writev,execve,clone,?clone3,/^rt_sigtimedwait,prlimit64,?ugetrlimit,?getrlimit,?setrlimit,"
          "rt_sigaction,rt_sigprocmask,setsid")
STRACE = ["strace", "-ff", "--seccomp-bpf", "-s", "256", "-e", "signal=none", "-e", TRACED]
PING = "child exit normally:0"  # the answer to a SIGCHLD sent from outside
RESTART = ["child exit by signal:9", "fork ok"]
# A crash loop of CRASHES must end before a bare supervisor, run beside it, has started the probe SLOWER times as often:
# a tuned bound that a pause of 3 ms before each restart breaks, and a busy machine does not. The bare one is sh under
# the same tracing, in a session of its own as the monitor is (autogroup scheduling shares the processors out by
# session), so that whatever load the machine has slows both alike.
CRASHES, SLOWER = 500, 2
# After a signal that dumps core the monitor restarts as promptly as after SIGTERM: the quickest of three restarts takes
# at most PROMPT times the slowest of three after SIGTERM, each from the child's end to the fork. A tuned bound, far
# below what a pause of a second gives.
PROMPT = 20
WARM, WARMUPS = 200, 25  # restarts a batch, and how many batches the monitor may grow over
# What measures time or ratios runs where time is the builder's own: not in a package build, on a busy build daemon.
TIMED = not os.environ.get("VELORN_UNTIMED")
IDLE = 2  # seconds of watching a process asleep, which must not wake: a timer's wake-up switches context at least once
# The watcher sleeps through a crash loop of WATCHED restarts, and names an agent down for good within DOWN_WITHIN s.
# An emulated testbed, where each restart costs many times more, runs fewer (VELORN_WATCHED).
WATCHED, DOWN_WITHIN = int(os.environ.get("VELORN_WATCHED", 1000)), 5
# Where a row's monitor runs in a control group of its own, named as a unit's, for the watcher to find it by.
CGROUP2 = next((line.split()[4] for line in open("/proc/self/mountinfo") if " - cgroup2 " in line), None)
# It stops at a file, not a kill: its children come and go by the thousand, and where pids wrap at 32768 a pid listed
# as one of them could name another's process by the time the kill came.
BARE = 'i=0; while [ $i -lt "$3" ] && ! [ -e stop ]; do "$1" --crash "$2" "$3"; i=$((i + 1)); done'
UNPRIVILEGED = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
# Root without CAP_SYS_RESOURCE, as in a container: out of the inheritable set too, which root's execve would otherwise
# add back to the permitted one.
NO_RESOURCE = ["setpriv", "--bounding-set=-sys_resource", "--inh-caps=-sys_resource"]
# The environment the sanitizer runtime needs, else none at all: not even PATH, which a monitor must not add.
EMPTY = {name: ENV[name] for name in ["ASAN_OPTIONS"] if name in os.environ}
# Python's own spawning refuses an empty argument vector; libc's execve(2) does not.
EMPTY_ARGV = ("import ctypes, sys; libc = ctypes.CDLL(None); libc.execve(sys.argv[1].encode(),"
              " (ctypes.c_char_p * 1)(), ctypes.c_void_p.in_dll(libc, 'environ'))")
# Runs its command under a seccomp filter that fails rt_sigprocmask(SIG_SETMASK, ...) with EINVAL, and with SIGXFSZ,
# which Python ignores, back at its default action (it ignores SIGPIPE too, as the unfriendly invoker does). The
# monitor's own code only adds to its mask: what fails is each child's restoring of the invoker's (and a sanitizer
# runtime's own restoring, see check_row). strace cannot fail the child's call alone, as it counts calls per process:
# each child's is its first, as is the invoker's own from env(1).
# The filter names the monitor's own architecture (AUDIT_ARCH_*), from its ELF header: a 32-bit userland may run on a
# 64-bit kernel, which uname(2) names.
REFUSE_SETMASK = [sys.executable, "-c", """import ctypes, os, signal, struct, sys
with open(sys.argv[1], "rb") as elf:
    header = elf.read(20)
wide, big = header[4] == 2, header[5] == 2
machine = int.from_bytes(header[18:20], "big" if big else "little")
arch = machine | wide << 31 | (not big) << 30
nr = {62: 14, 183: 135, 243: 135, 21: 174, 3: 175, 40: 175, 22: 175}[machine]  # rt_sigprocmask's number
load, equal, allow = 0x20, 0x15, (6, 0, 0, 0x7FFF0000)  # BPF_LD|BPF_W|BPF_ABS, BPF_JMP|BPF_JEQ|BPF_K, SECCOMP_RET_ALLOW
low = 20 if wide and big else 16  # the low half of the first argument, a 64-bit field of seccomp_data
code = [(load, 0, 0, 4), (equal, 0, 5, arch), (load, 0, 0, 0), (equal, 0, 3, nr), (load, 0, 0, low),
        (equal, 0, 1, signal.SIG_SETMASK), (6, 0, 0, 0x50000 | 22), allow]  # SECCOMP_RET_ERRNO | EINVAL
program = ctypes.create_string_buffer(b"".join(struct.pack("HBBI", *op) for op in code))
libc = ctypes.CDLL(None, use_errno=True)
if libc.prctl(38, 1, 0, 0, 0) or libc.prctl(22, 2, struct.pack("HP", len(code), ctypes.addressof(program))):
    raise OSError(ctypes.get_errno(), "prctl(PR_SET_SECCOMP)")
signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
os.execv(sys.argv[1], sys.argv[1:])"""]
# Runs its command with standard input closed, and SIGXFSZ, which Python ignores, back at its default action.
CLOSED_STDIN = [sys.executable, "-c", "import os, signal, sys; os.close(0);"
                " signal.signal(signal.SIGXFSZ, signal.SIG_DFL); os.execv(sys.argv[1], sys.argv[1:])"]
Trace = collections.namedtuple("Trace", "lines end execs forks text")  # lines as (fd, text); end as strace says
# Fails the invoker's first system call that call, a pattern, matches as strace shows it ("name(arguments"), and with
# onward "+" every later one of that name too. A dry run of the row finds the name, which is the architecture's, and
# counts its calls made before, by libc and by the commands before the monitor.
Fault = collections.namedtuple("Fault", "call error onward", defaults=("",))


def documented():
    """The status lines that the manual lists, without the number some end with, and the exit statuses it gives."""
    with open(MANUAL) as page:
        text = page.read()
    lines = text.split(".SS Status lines\n", 1)[1].split("\n.SS ", 1)[0]
    exits = text.split('.SH "EXIT STATUS"\n', 1)[1].split("\n.SH ", 1)[0]
    return ({re.sub(r'^"(.*?)".*', r"\1", entry).replace("\\%", "").replace("\\-", "-")
             for entry in re.findall(r"^\.TP\n\.BI? (.*)$", lines, re.M)},
            {int(n) for n in re.findall(r"^\.TP\n\.B (\d+)$", exits, re.M) + re.findall(r"exits (\d+)", lines)})


def invoker_command(row):
    def names(signals):
        return ",".join(signal.Signals(signo).name[3:] for signo in sorted(signals))
    # Looked up here, in the suite's PATH: strace looks its command up in the row's environment, which may have none.
    return [shutil.which("env"), "--default-signal", f"--ignore-signal=CHLD,{names(row.ignored)}",
            f"--block-signal={names(row.blocked)}"]


def enter(soft_core, cgroup):
    """In the invoker, before strace runs it: its soft core-file limit, and its control group, if any."""
    resource.setrlimit(resource.RLIMIT_CORE, (soft_core, HARD_CORE))
    if cgroup:
        with open(f"{cgroup}/cgroup.procs", "w") as procs:
            procs.write(str(os.getpid()))


def poll(probe, what, seconds=30.0):
    """Returns the first truthy value of probe(); fails once the deadline has passed, which is far off: an emulated
    processor shared with another takes a second for what takes a millisecond natively."""
    deadline = time.monotonic() + seconds
    while not (value := probe()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {seconds:g} s waiting for {what}")
        time.sleep(0.005)
    return value


@contextlib.contextmanager
def proc_access():
    try:
        yield
    except PermissionError as error:
        raise AssertionError(f"this environment cannot run the row: {error}; reading the /proc entries of another"
                             " user's process needs CAP_SYS_PTRACE") from error


def read(path):
    with proc_access():
        try:
            with open(path, "rb") as f:
                return f.read().decode(errors="surrogateescape")
        except (FileNotFoundError, ProcessLookupError):
            return ""  # the process has gone


def parents():
    """pid -> parent pid of every process, from /proc/PID/stat: works without CONFIG_PROC_CHILDREN."""
    found = {}
    for name in filter(str.isdigit, os.listdir("/proc")):
        if stat := read(f"/proc/{name}/stat"):  # the name in parentheses may hold anything
            found[int(name)] = int(stat[stat.rindex(")") + 2:].split()[1])
    return found


def state(pid):
    stat = read(f"/proc/{pid}/stat")
    return stat[stat.rindex(")") + 2] if stat else None


def children(pid):
    return sorted(p for p, parent in parents().items() if parent == pid)


def descendants(pid):
    tree, found = parents(), [pid]
    for parent in found:  # grows as it goes
        found += [p for p, its_parent in tree.items() if its_parent == parent]
    return found[1:]


def signals(pid, field):
    bits = int(re.search(rf"{field}:\s*(\w+)", read(f"/proc/{pid}/status")).group(1), 16)
    return {n for n in range(1, 65) if bits >> (n - 1) & 1}


def program_argv(pid):
    return read(f"/proc/{pid}/cmdline").split("\0")[:-1]


def limits(pid):
    """The core-file size limit, which the monitor raises, and every other limit, which it must leave as it found."""
    text = read(f"/proc/{pid}/limits")
    core = re.search(r"^Max core file size\s+(\S+).*\n", text, re.M)
    return core.group(1), text.replace(core.group(0), "")


def inherited(pid):
    with proc_access():
        core, others = limits(pid)
        return {"cwd": os.readlink(f"/proc/{pid}/cwd"), "limits": others,
                "umask": re.search(r"^Umask:\s*(\d+)", read(f"/proc/{pid}/status"), re.M).group(1), "core": core,
                "session": os.getsid(pid), "group": os.getpgid(pid), "ignored": signals(pid, "SigIgn"),
                "fds": {int(fd): os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")},
                "env": dict(v.split("=", 1) for v in read(f"/proc/{pid}/environ").split("\0")[:-1])}


def footprint(pid):
    def field(name, text):
        return re.search(rf"^{name}:\s*(\d+)", text, re.M).group(1)
    # Resident size from the page tables: before Linux 6.2, VmRSS in status lags by up to 64 page events a thread.
    return {"descriptors": len(os.listdir(f"/proc/{pid}/fd")), "mappings": read(f"/proc/{pid}/maps").count("\n"),
            "resident kB": field("Rss", read(f"/proc/{pid}/smaps_rollup")),
            "threads": field("Threads", read(f"/proc/{pid}/status")),
            "zombies": sum(state(c) == "Z" for c in children(pid))}


def switches(pid):
    return sum(map(int, re.findall(r"^(?:non)?voluntary_ctxt_switches:\s*(\d+)$", read(f"/proc/{pid}/status"), re.M)))


def stays_asleep(test, pid, what):
    """Watches the process, asleep, for IDLE seconds, in which it must not wake."""
    woken, since = switches(pid), time.monotonic()
    time.sleep(IDLE)  # a window to watch, not a wait for anything
    test.assertEqual(switches(pid) - woken, 0, f"{what}: context switches in {time.monotonic() - since:.1f} s idle")


def idle(pid):
    """Waits until the monitor sleeps in its wait with nothing pending: it has taken every signal sent before."""
    poll(lambda: state(pid) == "S" and not signals(pid, "SigPnd") and not signals(pid, "ShdPnd"), "the monitor to idle")


def trace(scratch, pid):
    text = re.sub(r"^[\d.]+ ", "", read(f"{scratch}/trace.{pid}"), flags=re.M)  # without the times of -ttt
    # A status line: the strings of one write(2) or writev(2) to standard output or error, joined, ending a line.
    writes = [(int(fd), "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', strings)))
              for fd, strings in re.findall(r"^writev?\(([12]), (.*), \d+\)\s+= \d+$", text, re.M)]
    end = re.search(r"^\+\+\+ (.*) \+\+\+$", text, re.M)
    lines = [(fd, line[:-2] if line.endswith("\\n") else f"{line} (no end of line)") for fd, line in writes]
    return Trace(lines, end and end.group(1),
                 re.findall(r'^execve\("(.*?)", .* = 0$', text, re.M),
                 [int(p) for p in re.findall(r"^clone3?\(.* = (\d+)$", text, re.M)], text)


def executed(scratch, program):
    """The traced process that executed program, once it has."""
    pids = (int(path.rsplit(".", 1)[1]) for path in glob.glob(f"{scratch}/trace.*"))
    return next((pid for pid in pids if program in trace(scratch, pid).execs), None)


def end_of(pid):
    """How a child of this test ended, in strace's words, once it has; it is reaped then."""
    reaped, status = os.waitpid(pid, os.WNOHANG)
    if not reaped:
        return None
    return (f"killed by {signal.Signals(os.WTERMSIG(status)).name}" if os.WIFSIGNALED(status)
            else f"exited with {os.WEXITSTATUS(status)}")


def kill_all():
    while pids := descendants(os.getpid()):
        for pid in pids:
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
        with contextlib.suppress(ChildProcessError):
            os.waitpid(-1, 0)


def child(monitor, argv, other_than=None):
    return poll(lambda: next((c for c in children(monitor) if c != other_than and program_argv(c) == argv), None),
                f"a child {argv}")


def kill_child(*sigs):
    """Kills the child with each signal in turn, each one's restart with the next."""
    def kill(test, monitor, running, scratch):
        argv = program_argv(running)
        for n, sig in enumerate(sigs):
            running = child(monitor, argv, other_than=running) if n else running
            os.kill(running, sig)
    return kill


def stop_and_continue(test, monitor, running, scratch):
    """Stops the child, then continues it once the monitor has answered the stop: it answers each as it answers a
    SIGCHLD with nothing to collect, and the child stays, stopped until continued from outside."""
    os.kill(running, signal.SIGSTOP)
    poll(lambda: len(trace(scratch, monitor).lines) > 1, "the answer to the stop")
    idle(monitor)  # whatever it does about the stop, done
    test.assertIn(state(running), ["t", "T"], "the child after the answer to its stop")  # t: strace traces it
    os.kill(running, signal.SIGCONT)


def restart_times(scratch, monitor, count):
    """Seconds from the end of each child that a signal killed to the monitor's fork of the next, by signal, once there
    are count: strace stamps both (-ttt), and reports a child's end once its core, if any, has been dumped."""
    forks, took = re.findall(r"^([\d.]+) clone3?\(.* = (\d+)", read(f"{scratch}/trace.{monitor}"), re.M), {}
    for (_, pid), (forked, _) in zip(forks, forks[1:]):
        if end := re.search(r"^([\d.]+) \+\+\+ killed by (SIG\w+)", read(f"{scratch}/trace.{pid}"), re.M):
            took.setdefault(end.group(2), []).append(float(forked) - float(end.group(1)))
    return took if sum(map(len, took.values())) == count else None


def kill_in_turn(*sigs):
    """Kills the child as kill_child does, then holds the restarts after each signal to those after SIGTERM."""
    def kill(test, monitor, running, scratch):
        kill_child(*sigs)(test, monitor, running, scratch)
        took = poll(lambda: restart_times(scratch, monitor, len(sigs)), "every restart's fork")
        in_ms = {name: [round(t * 1e3, 3) for t in times] for name, times in took.items()}
        for sig in took.keys() - {"SIGTERM"} if TIMED else []:
            test.assertLessEqual(min(took[sig]), PROMPT * max(took["SIGTERM"]), f"a pause after {sig}? restarts in ms:"
                                 f" {in_ms}")
    return kill


def upgrade(test, monitor, running, scratch):
    """Repoints the program's symbolic link between two starts, as a package upgrade does: the restart must run the
    new target, found again through the path as typed."""
    argv, old, new = program_argv(running), os.readlink(f"/proc/{running}/exe"), f"{scratch}/upgraded"
    os.symlink(shutil.copy(PROBE, new), f"{scratch}/probe.new")
    os.replace(f"{scratch}/probe.new", f"{scratch}/probe")
    os.kill(running, signal.SIGKILL)
    restarted = child(monitor, argv, other_than=running)
    test.assertEqual((old, os.readlink(f"/proc/{restarted}/exe")), (PROBE, new), "the program before and after")


def watch(test, monitor, running, scratch):
    """Starts the watcher on the monitor's unit. It sleeps while the agent runs, and through a crash loop; it says once
    that the agent is down for good, when the agent's restart finds no program to run, and ends."""
    argv = program_argv(running)
    with open(f"{scratch}/watcher.out", "w+") as said:
        watcher = subprocess.Popen([WATCHER, test.unit], stdout=said, stderr=said)
        poll(lambda: state(watcher.pid) == "S", "the watcher to sleep")
        if TIMED:
            stays_asleep(test, watcher.pid, "the watcher, while the agent waits")
        open(f"{scratch}/crashes", "x").close()  # each start adds a byte, and crashes up to WATCHED bytes
        os.kill(running, signal.SIGKILL)
        poll(lambda: os.path.getsize(f"{scratch}/crashes") > WATCHED, f"{WATCHED} crash-restarts", 1800)
        test.assertIsNone(watcher.poll(), "the watcher ended in a crash loop")
        os.remove(f"{scratch}/probe")
        os.kill(child(monitor, argv), signal.SIGKILL)
        killed = time.monotonic()
        poll(lambda: watcher.poll() is not None, "the watcher to name the agent down", DOWN_WITHIN if TIMED else 30)
        print(f"the watcher named the agent down {time.monotonic() - killed:.3f} s after its end", file=sys.stderr)
        said.seek(0)
        test.assertEqual((watcher.returncode, said.read()),
                         (1, f"{test.unit}: its agent is down for good: monitor {monitor} has no child\n"))
    test.restarts = WATCHED + 2


def kill_monitor(test, monitor, running, scratch):
    os.kill(monitor, signal.SIGKILL)


def kill_group(test, monitor, running, scratch):  # what the README gives to stop both
    os.killpg(monitor, signal.SIGKILL)


def storm(test, monitor, running, scratch, rounds=20):
    for sig in DROPPED * rounds:
        os.kill(monitor, sig)


def crash_loop(test, monitor, running, scratch):
    """Hundreds of crash-restarts and thousands of dropped signals must leave the monitor as it was, once warm, and the
    running child alone. Warm is when a batch of WARM restarts has left its footprint as it found it: a sanitizer's
    runtime grows over the first thousands, as it first touches each frame of its fake stacks, which it uses in turn
    (detect_stack_use_after_return)."""
    argv, before, test.restarts = program_argv(running), None, 0

    def starts(counter):
        return os.path.getsize(f"{scratch}/{counter}")

    def crash(running, count):  # the start after the last crash waits, the only live one
        # Only once that start waits has it read the counter for good: rewritten before, it would crash too.
        poll(lambda: state(running) == "S", "the last start to wait")
        with open(f"{scratch}/crashes", "w") as counter:  # each start adds a byte, and crashes up to CRASHES bytes
            counter.write("x" * (CRASHES - count))
        os.kill(running, signal.SIGKILL)
        test.restarts += count + 1
    for batch in range(WARMUPS + 1):
        idle(monitor)
        if (now := footprint(monitor)) == before:
            break
        if batch == WARMUPS:
            test.fail(f"the monitor grew over each of {WARMUPS} batches of {WARM} restarts, the last from {before}"
                      f" to {now}")
        before = now
        crash(running, WARM)
        poll(lambda: starts("crashes") > CRASHES, f"{WARM} crash-restarts", 1800)
        running = child(monitor, argv)
    open(f"{scratch}/bare", "x").close()
    # A sanitizer's runtime makes each fork dearer, which is no fault of the monitor's: against it the bare loop may
    # make twice as many.
    slower = SLOWER * (2 if "/libasan.so" in read(f"/proc/{monitor}/maps") else 1)
    bare = TIMED and subprocess.Popen([*STRACE, "-o", f"{scratch}/bare.trace", "setsid", "sh", "-c", BARE, "sh", PROBE,
                                       f"{scratch}/bare", str(slower * CRASHES)], cwd=scratch, env=ENV,
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    crash(running, CRASHES)
    # The bare loop ends by itself: this deadline only guards against both stalling.
    poll(lambda: starts("crashes") > CRASHES or bare and bare.poll() is not None, f"{CRASHES} crash-restarts", 1800)
    if bare:
        open(f"{scratch}/stop", "x").close()
        bare.wait()
        test.assertGreater(starts("crashes"), CRASHES,
                           f"restarts delayed or limited? the bare loop made {starts('bare')} starts meanwhile")
    running = child(monitor, argv)  # the start after the last crash, the only live one
    storm(test, monitor, running, scratch, rounds=1000)
    idle(monitor)
    if TIMED:
        stays_asleep(test, monitor, "the monitor")
    test.assertEqual(footprint(monitor), before, "the monitor grew")
    return running


# A row of the table, its fields named where it is written:
#   argv: the monitor's arguments; action: what the row does to (test, monitor, running child, scratch), which may
#     return the child expected to run at the end;
#   lines: the monitor's status lines (text for stdout, (fd, text) otherwise), a function of the test that gives them
#     once the action has run, or None when no monitor may detach;
#   child: a "new" child, the "same" child, the "orphan" left by the monitor, the child "killed" with it, None, or the
#     exit code of a child that ends; end: how the monitor ends (None: it lives);
#   invoker: what the invoker writes, and its exit status; strace: strace options (faults); prefix: commands before the
#     monitor; unprivileged: run as nobody (True), or once as each entry of a tuple (True or a command that drops
#     privilege); core: the core-file limit expected; fault: an invoker fault; repeat: how many starts; terminal: on a
#     terminal of their own; blocked, ignored: the signals the invoker blocks and ignores; soft_core: its soft
#     core-file limit; env: its environment; watched: the monitor starts in a control group named as its unit's.
Row = collections.namedtuple("Row", "name argv action lines child end invoker strace prefix unprivileged core fault"
                                    " repeat terminal blocked ignored soft_core env watched",
                             defaults=([], None, None, None, None, ([], 0), [], [], False, None, None, 1, False,
                                       BLOCKED, IGNORED, 0, ENV, False))
LIVE = ("new", "same", "orphan", "killed")


class MonitorTest(unittest.TestCase):
    maxDiff = None
    ROWS = [
        # Dozens of arguments, empty to long: a vector copied into a fixed array would lose its tail.
        Row("sigkill_upgraded", argv=["./probe", "", "-x", "a b", *("x" * 25 * n for n in range(40))],
            action=upgrade, lines=["fork ok", *RESTART], child="new"),
        # Any signal restarts it, at once: SIGTERM, kill(1)'s default, which only reaches a child whose invoker left it
        # unblocked, and two that dump core (the core-file limit is above 0), whose flag the status line leaves out;
        # three times each, timed by strace.
        Row("other_signals", argv=["probe", "--", " "],
            action=kill_in_turn(*[signal.SIGSEGV, signal.SIGTERM, signal.SIGABRT] * 3),
            lines=["fork ok", *(line for signo in (11, 15, 6) * 3
                                for line in (f"child exit by signal:{signo}", "fork ok"))],
            child="new", blocked={signal.SIGUSR2}, strace=["-ttt", "-e", "signal=all"], **PLAIN),
        Row("dropped_signals", argv=[PROBE], action=storm, lines=["fork ok"], child="same",
            env=EMPTY, **PLAIN),  # no PATH to find
        # Nothing to collect. Started with standard input closed, so that detaching opens /dev/null as descriptor 0.
        Row("stopped", argv=[PROBE, "stopped"], action=stop_and_continue, lines=["fork ok", PING, PING], child="same",
            prefix=CLOSED_STDIN),
        # An agent that daemonizes exits 0 at once: what it leaves is not the monitor's to adopt (and keep a zombie of).
        Row("exit_0", argv=["/bin/sh", "-c", "sleep infinity & exit 0"], lines=["fork ok", "child exit normally:0"],
            child=0, **PLAIN),
        Row("exit_1", argv=["/bin/false", "x"], lines=["fork ok", "child exit normally:256"], child=1),
        Row("missing", argv=["./missing"], lines=["fork ok", "child exit normally:32512"], child=127, **PLAIN),
        Row("no_path_search", argv=["true"], lines=["fork ok", "child exit normally:32512"], child=127),
        Row("missing_interpreter", argv=["./script"], lines=["fork ok", "child exit normally:32512"], child=127,
            **PLAIN),
        Row("not_executable", argv=["./data"], lines=["fork ok", "child exit normally:32256"], child=126),
        Row("not_a_program", argv=["./text"], lines=["fork ok", "child exit normally:32256"], child=126,
            **PLAIN),  # ENOEXEC
        # ETXTBSY: the descriptor that the monitor is handed, and hands on, is open for writing on it.
        Row("text_busy", argv=["./held"], lines=["fork ok", "child exit normally:32256"], child=126),
        # A child that cannot restore the invoker's mask must not run the program with the monitor's.
        Row("mask_restore_fails", argv=[PROBE], lines=["fork ok", "child exit normally:32256"], child=126,
            prefix=REFUSE_SETMASK),
        Row("monitor_killed", argv=[PROBE], action=kill_monitor, lines=["fork ok"], child="orphan",
            end="killed by SIGKILL", **PLAIN),
        Row("group_killed", argv=[PROBE], action=kill_group, lines=["fork ok"], child="killed",
            end="killed by SIGKILL"),
        Row("crash_loop", argv=["./probe", "--crash", "crashes", str(CRASHES)], action=crash_loop,
            lines=lambda test: ["fork ok", *RESTART * test.restarts], child="same", **PLAIN),
        Row("watched", argv=["./probe", "--crash", "crashes", str(WATCHED)], action=watch,
            lines=lambda test: ["fork ok", *RESTART * test.restarts, "child exit normally:32512"],
            watched=True),
        # The leader of a terminal's session, which the monitor then is, hangs its foreground group up as it exits:
        # the process daemon(3) forked is in that group until its setsid(). Often enough that a race cannot hide, and
        # with SIGHUP's default action, which ends the process that the signal reaches unblocked.
        Row("terminal_session", argv=[PROBE, "terminal"], lines=["fork ok"], child="same",
            prefix=["setsid", "--ctty"], repeat=20, terminal=True, ignored=IGNORED - {signal.SIGHUP}),
        # Failures injected by strace, which counts each system call per process: the monitor's second fork is its
        # first restart, its first sigwait is the one after the first launch.
        Row("restart_fork_fails", argv=[PROBE], action=kill_child(signal.SIGKILL),
            lines=["fork ok", "child exit by signal:9", (2, "fork error")],
            strace=["-e", "inject=clone:error=EAGAIN:when=2"], **PLAIN),
        Row("wait_fails", argv=[PROBE], action=kill_child(signal.SIGKILL),
            lines=["fork ok", (2, "wait signal error"), *RESTART], child="new",
            strace=["-e", "inject=/^rt_sigtimedwait:error=EINVAL:when=1"]),
        Row("setsid_fails", argv=[PROBE], lines=[], end="exited with 255", strace=["-e", "inject=setsid:error=EPERM"],
            **PLAIN),
        # With at most two processes for nobody, the invoker, kept a zombie by a parent that never reaps it, leaves
        # the detached monitor none for its first fork.
        Row("first_fork_fails", argv=[PROBE], lines=[(2, "fork error")], end="exited with 255",
            prefix=["sh", "-c", 'exec "$@" & exec sleep infinity', "sh", "prlimit", "--nproc=2"], unprivileged=True),
        # Without privilege (nobody, or root without CAP_SYS_RESOURCE) the hard limit cannot be raised, so the soft one
        # is raised to meet it.
        Row("unprivileged_finite_core", argv=[PROBE, "finite"], action=kill_child(signal.SIGKILL),
            lines=["fork ok", *RESTART], child="new", prefix=["prlimit", f"--core={PLAIN['soft_core']}:{FINITE}"],
            unprivileged=(True, NO_RESOURCE), core=str(FINITE), **PLAIN),
        Row("unprivileged_zero_core", argv=[PROBE, "zero"], action=kill_child(signal.SIGKILL),
            lines=["fork ok", *RESTART], child="new", prefix=["prlimit", "--core=0:0"], unprivileged=True, core="0"),
        # Root lifts a finite hard limit too, where it may (not without CAP_SYS_RESOURCE).
        Row("root_finite_core", argv=[PROBE, "root"], action=kill_child(signal.SIGKILL),
            lines=["fork ok", *RESTART], child="new", prefix=["prlimit", f"--core={PLAIN['soft_core']}:{FINITE}"],
            core="unlimited", **PLAIN),
        # Refused starts: the invoker exits 255 and nothing is started.
        Row("no_program", invoker=([(2, USAGE)], 255)),
        Row("empty_argv", invoker=([(2, USAGE)], 255), prefix=[sys.executable, "-c", EMPTY_ARGV]),
        Row("core_limit_unreadable", argv=[PROBE], invoker=([], 255),
            fault=Fault(r"prlimit64\(0, RLIMIT_CORE, NULL|u?getrlimit\(RLIMIT_CORE", "EPERM")),
        Row("core_limit_fixed", argv=[PROBE], invoker=([], 255),
            fault=Fault(r"prlimit64\(0, RLIMIT_CORE, \{|setrlimit\(RLIMIT_CORE", "EPERM", "+")),
        Row("sigchld_reset_fails", argv=[PROBE], invoker=([], 255),
            fault=Fault(r"rt_sigaction\(SIGCHLD, \{sa_handler=SIG_DFL", "EINVAL")),
        Row("block_fails", argv=[PROBE], invoker=([(2, "pthread_sigmask fail")], 255),
            fault=Fault(r"rt_sigprocmask\(SIG_BLOCK, \[HUP INT PIPE ALRM TERM CHLD\]", "EINVAL")),
        Row("detach_fork_fails", argv=[PROBE], invoker=([], 255), fault=Fault(r"clone3?\(", "EAGAIN")),
    ]

    @classmethod
    def setUpClass(cls):
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.prctl(36, 1, 0, 0, 0) != 0:  # PR_SET_CHILD_SUBREAPER
            raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")
        if subprocess.run(["strace", "-o", os.devnull, "true"], capture_output=True, check=False).returncode:
            raise AssertionError("this environment cannot run the suite: strace cannot trace (ptrace refused?)")
        resource.setrlimit(resource.RLIMIT_CORE, (0, HARD_CORE))
        # A soft limit below the hard one, as systemd gives (1,024 open files of 524,288): one the monitor raised shows.
        files = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(1024, files // 2), files))
        cls.limits = limits(os.getpid())[1]  # what the monitor and its child must find, but for the core-file limit
        cls.core = "unlimited" if cls.may_raise_core(HARD_CORE) else str(HARD_CORE)
        # env(1) cannot reset the two signals below SIGRTMIN that glibc keeps for itself: ignored where the suite runs
        # (make(1) ignores them, and a package build runs the suite under make), the monitor and its child find them so.
        cls.reserved = {n for n in signals(os.getpid(), "SigIgn") if n not in signal.valid_signals()}
        # Stopped from outside, the suite still kills what it started: the rows clean up as they unwind.
        signal.pthread_sigmask(signal.SIG_SETMASK, [])
        for sig in (signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.default_int_handler)
        # Copies that nobody can reach, wherever the build lies (under /root, say); removed at exit in any case.
        cls.shared = tempfile.TemporaryDirectory(prefix="monitor_test.")
        os.chmod(cls.shared.name, 0o755)
        cls.copies = {path: shutil.copy(path, cls.shared.name) for path in (MONITOR, PROBE)}

    @classmethod
    def tearDownClass(cls):
        cls.shared.cleanup()

    @staticmethod
    def may_raise_core(hard):
        """Whether this process, given that hard core-file limit, may lift it, as the monitor will try: root may,
        unless it lacks CAP_SYS_RESOURCE (a container's, say); anyone may when it is already unlimited."""
        if (pid := os.fork()) == 0:
            with contextlib.suppress(BaseException):
                resource.setrlimit(resource.RLIMIT_CORE, (0, hard))
                resource.setrlimit(resource.RLIMIT_CORE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
                os._exit(0)
            os._exit(1)
        return os.waitpid(pid, 0)[1] == 0

    def tearDown(self):
        kill_all()

    def run_row(self, row):
        for user in row.unprivileged if isinstance(row.unprivileged, tuple) else [row.unprivileged]:
            with self.subTest(user=user) if user != row.unprivileged else contextlib.nullcontext():
                self.run_as(row._replace(unprivileged=UNPRIVILEGED if user is True else user))

    def run_as(self, row):
        if row.unprivileged and os.geteuid() != 0:  # a package build, say
            self.skipTest(f"dropping privilege needs root, and the suite runs as uid {os.geteuid()}")
        if row.unprivileged and (refused := subprocess.run([*row.unprivileged, "true"], capture_output=True,
                                                           check=False)).returncode:
            self.fail(f"this environment cannot run the row as {row.unprivileged}: {refused.stderr.decode().strip()}")
        if row.watched and not (CGROUP2 and os.access(CGROUP2, os.W_OK)):
            self.skipTest("a control group of the row's own needs a cgroup2 hierarchy this process may write to")
        if row.core == "unlimited" and not self.may_raise_core(FINITE):
            self.skipTest(f"this process may not lift a hard core-file limit of {FINITE}: it lacks CAP_SYS_RESOURCE")
        for start in range(row.repeat):
            with self.subTest(start=start + 1) if row.repeat > 1 else contextlib.nullcontext(), \
                    self.started(row) as (scratch, invoker, monitor):
                self.check_row(row, scratch, invoker, monitor)

    def as_run(self, row, *words):
        """The row's words as its start gives them: nobody runs the monitor and the probe from their copies."""
        return [self.copies.get(word, word) if row.unprivileged else word for word in words]

    @contextlib.contextmanager
    def started(self, row):
        """Starts the monitor as the row says, in a scratch directory; gives that directory and the pids of the
        invoker and of the detached monitor (None if there is none), once the monitor has written or ended."""
        monitor, *argv = self.as_run(row, MONITOR, *row.argv)
        strace = [*STRACE, *row.strace, *self.fault_options(row)]
        with tempfile.TemporaryDirectory() as scratch, contextlib.ExitStack() as cleanup:
            os.symlink(PROBE, f"{scratch}/probe")
            # Programs that exist but cannot run: not executable, an interpreter that is missing, neither a script
            # nor a binary for this machine.
            for name, text, mode in (("data", "", 0o644), ("script", "#!/nonexistent/interpreter\n", 0o755),
                                     ("text", "neither a script nor a binary\n", 0o755)):
                with open(f"{scratch}/{name}", "w") as program:
                    program.write(text)
                os.chmod(program.name, mode)
            errors = cleanup.enter_context(open(f"{scratch}/strace.err", "w+"))
            held = os.open(f"{scratch}/held", os.O_RDWR | os.O_CREAT, 0o755)  # left open for the monitor
            os.dup2(held, HELD)
            os.close(held)
            cleanup.callback(os.close, HELD)
            cgroup = row.watched and f"{CGROUP2}/velorn-agent-monitor@suite{os.getpid()}.service"
            if cgroup:
                os.mkdir(cgroup)
                cleanup.callback(os.rmdir, cgroup)  # once kill_all below has reaped everything in it
                self.unit = os.path.basename(cgroup)
            terminal, console = os.openpty() if row.terminal else (None, subprocess.DEVNULL)
            if terminal is not None:
                cleanup.callback(os.close, terminal)
                cleanup.callback(os.close, console)
            process = subprocess.Popen([*strace, "-o", f"{scratch}/trace", *invoker_command(row), *row.prefix,
                                        *(row.unprivileged or []), monitor, *argv],
                                       cwd=scratch, env=row.env, pass_fds=[HELD], stdin=console, stdout=errors,
                                       stderr=errors, umask=UMASK,
                                       preexec_fn=functools.partial(enter, row.soft_core, cgroup))
            cleanup.callback(process.wait)
            cleanup.callback(kill_all)

            def awaited(what):
                errors.seek(0)
                return f"{what} (strace said: {errors.read()!r})"

            invoker = poll(lambda: executed(scratch, monitor), awaited("the monitor's execve"))
            poll(lambda: trace(scratch, invoker).end, awaited("the invoker to exit"))
            detached = trace(scratch, invoker).forks[:1]
            if detached:
                poll(lambda: trace(scratch, detached[0]).lines or state(detached[0]) == "Z",
                     "the monitor's first status line, or its end")
            yield scratch, invoker, (detached or [None])[0]

    def fault_options(self, row):
        if not row.fault:
            return []
        call, error, onward = row.fault
        with self.started(row._replace(fault=None)) as (scratch, invoker, _):
            calls = re.findall(r"^(\w+\(.*)$", trace(scratch, invoker).text, re.M)
        at = next((n for n, line in enumerate(calls) if re.match(call, line)), None)
        self.assertIsNotNone(at, f"a dry run made no call like {call}")
        syscall = calls[at].split("(", 1)[0]
        index = sum(line.startswith(f"{syscall}(") for line in calls[:at + 1])
        return ["-e", f"inject={syscall}:error={error}:when={index}{onward}"]

    def check_row(self, row, scratch, invoker, monitor):
        invoked = trace(scratch, invoker)
        self.assertEqual((invoked.lines, invoked.end), (row.invoker[0], f"exited with {row.invoker[1]}"),
                         "the invoker's status lines and exit")
        if row.lines is None:  # refused: nothing started, and the usage refused before touching anything
            self.assertIsNone(monitor, "a refused start detached")
            if (2, USAGE) in invoked.lines:
                self.assertNotRegex(invoked.text, r"RLIMIT_CORE|^clone")
                self.check_untraced(row)
            return
        self.assertIsNotNone(monitor, "the invoker did not detach")
        expected = {"cwd": scratch, "core": row.core or self.core,
                    "session": monitor, "group": monitor, "ignored": row.ignored | self.reserved, "env": row.env,
                    "umask": f"{UMASK:04o}", "limits": self.limits,
                    "fds": {0: "/dev/null", 1: "/dev/null", 2: "/dev/null", HELD: f"{scratch}/held"}}
        if row.end is None or row.action:  # else the monitor ends by itself at once
            self.assertIsNone(end_of(monitor), "the monitor ended")
            self.assertEqual(inherited(monitor), expected)
            if row.prefix != REFUSE_SETMASK:  # GCC 14's sanitizer restores the monitor's own mask after each fork
                self.check_monitor_mask(monitor, row.blocked)
        argv = self.as_run(row, *row.argv)
        first = child(monitor, argv) if row.action or row.child in LIVE else None
        if first:
            self.assert_launched(first, expected, row.blocked)
        running = row.action and row.action(self, monitor, first, scratch) or first
        want = [(1, s) if isinstance(s, str) else s for s in (row.lines(self) if callable(row.lines) else row.lines)]
        end = None
        if row.end is None:
            poll(lambda: len(trace(scratch, monitor).lines) >= len(want), f"the lines {want}")
            os.kill(monitor, signal.SIGCHLD)  # answered only once everything sent before it has been handled
            poll(lambda: len(trace(scratch, monitor).lines) > len(want), "the answer to SIGCHLD")
            want.append((1, PING))
        else:
            end = poll(lambda: end_of(monitor), "the monitor to end")
        self.assertEqual(end, row.end, "how the monitor ended")
        ended = trace(scratch, monitor)
        self.assert_lines(ended.lines, want)
        self.check_children(row, scratch, monitor, argv, first, running, ended.forks, expected)

    def assert_lines(self, lines, want):
        """Compares the monitor's status lines, naming the first that differs: the crash loop's run into thousands."""
        if lines != want:
            at = next(n for n, (line, wanted) in enumerate(zip([*lines, None], [*want, None])) if line != wanted)
            self.fail(f"the monitor's status line {at + 1} of {len(lines)}: {lines[at:at + 3]}, expected"
                      f" {want[at:at + 3]} of {len(want)}")

    def check_children(self, row, scratch, monitor, argv, first, running, forks, expected):
        if row.child == "same":
            self.assertEqual(children(monitor), [running])
        elif row.child == "new":
            restarted = child(monitor, argv, other_than=first)
            self.assert_launched(restarted, expected, row.blocked)
            self.assertEqual(children(monitor), [restarted])
        elif row.child == "orphan":  # not told of the monitor's end, and now the subreaper's
            self.assertEqual((state(running), parents().get(running), trace(scratch, running).end),
                             ("S", os.getpid(), None))
        elif row.child == "killed":
            self.assertEqual(poll(lambda: end_of(running), "the child's end"), "killed by SIGKILL")
        elif row.end is None:
            self.assertEqual(children(monitor), [])
        if isinstance(row.child, int):
            said = "pthread_sigmask fail" if row.prefix == REFUSE_SETMASK else "exec error"
            errors = [(2, said)] if row.child >= 126 else []
            self.assertEqual([trace(scratch, pid)[:2] for pid in forks], [(errors, f"exited with {row.child}")])
            left = [p for pid in forks for p in trace(scratch, pid).forks]  # a daemonizing agent's daemon
            self.assertEqual([parents().get(p) for p in left], [os.getpid()] * len(left), "the leftovers' parents")

    def check_monitor_mask(self, pid, blocked):
        os.kill(pid, signal.SIGSTOP)  # inside sigwait the kernel shows the waited-for set unblocked

        def stopped():
            return state(pid) in "tT" and signals(pid, "SigBlk")
        self.assertEqual(poll(stopped, "the monitor to stop"), blocked | SIX)
        os.kill(pid, signal.SIGCONT)

    def assert_launched(self, child_pid, expected, blocked):
        """A child has what the monitor has, and the invoker's signal mask, not the monitor's."""
        poll(lambda: state(child_pid) == "S", "the child to wait")  # the loader holds libc open until then
        self.assertEqual((inherited(child_pid), signals(child_pid, "SigBlk")), (expected, blocked))

    def test_manual(self):
        """The manual lists exactly the status lines and exit statuses that the rows see the monitor give."""
        seen = {re.sub(r"\d+$", "", line if isinstance(line, str) else line[1])
                for row in self.ROWS for line in [*(row.lines if isinstance(row.lines, list) else []),
                                                  *row.invoker[0]]} | {"exec error"}
        statuses = {row.invoker[1] for row in self.ROWS} | {row.child for row in self.ROWS
                                                            if isinstance(row.child, int) and row.child >= 126}
        self.assertEqual(documented(), (seen, statuses))

    def check_untraced(self, row):
        run = subprocess.run([*invoker_command(row), *row.prefix, MONITOR, *row.argv], capture_output=True, check=False,
                             timeout=30)
        self.assertEqual((run.returncode, run.stdout, run.stderr), (255, b"", f"{USAGE}\n".encode()), "untraced")


for _row in MonitorTest.ROWS:
    setattr(MonitorTest, f"test_{_row.name}", lambda self, row=_row: self.run_row(row))

if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], *sys.argv[4:]], verbosity=2)
