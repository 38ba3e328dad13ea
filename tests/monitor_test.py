#!/usr/bin/env python3
"""Black-box tests of the monitor binary. Usage: monitor_test.py MONITOR PROBE

Each row starts the real monitor under strace -ff, which records the status lines that detaching
sends to /dev/null, acts on it from outside, then reads the outcome from the traces and /proc.
The test is a child subreaper, so the detached monitor and every orphan it leaves become its
children: teardown kills and reaps them all, whether the row passed or not."""
import collections, contextlib, ctypes, glob, os, re, resource, signal, subprocess, sys, tempfile, time, unittest

MONITOR, PROBE = (os.path.abspath(p) for p in sys.argv[1:3])
USAGE = b"usage: velorn_agent_monitor PROGRAM [ARG]...\n"
DROPPED = [signal.SIGHUP, signal.SIGINT, signal.SIGTERM, signal.SIGPIPE, signal.SIGALRM]
SIX = {*DROPPED, signal.SIGCHLD}
# The monitor is started as an unfriendly invoker might: with SIGUSR2 blocked, which the child
# must find blocked too, with SIGCHLD ignored, and with a core-file limit of 0 (setUpClass).
INVOKER, INVOKER_MASK = ["env", "--ignore-signal=CHLD"], {signal.SIGUSR2}
PING = "child exit normally:0"  # the answer to a SIGCHLD sent from outside
# Python's own spawning refuses an empty argument vector; libc's execve(2) does not.
EMPTY_ARGV = ("import ctypes, sys; libc = ctypes.CDLL(None); libc.execve(sys.argv[1].encode(),"
              " (ctypes.c_char_p * 1)(), ctypes.c_void_p.in_dll(libc, 'environ'))")
Trace = collections.namedtuple("Trace", "lines end invoker")  # lines as (fd, text); end as strace says
# A row: the monitor's argv, an action on (monitor, child), the monitor's status lines after the first
# "fork ok" (text for stdout, (fd, text) otherwise), then "new" child, "same" child, None, or the exit
# code of a child that ends; extra strace options, commands that start the invoker, the core limit.
Row = collections.namedtuple("Row", "argv action lines after strace prefix core", defaults=([], [], None))


def elf_machine(path):
    with open(path, "rb") as f:
        return f.read(20)[18:20]


# A cross-built monitor runs under user-mode emulation (binfmt_misc): /proc then shows the emulator,
# whose command line starts with the interpreter and the program's full path.
EMULATED = elf_machine(MONITOR) != elf_machine("/proc/self/exe")


def poll(probe, what, seconds=10.0):
    """Returns the first truthy value of probe(); fails once the deadline has passed."""
    deadline = time.monotonic() + seconds
    while not (value := probe()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.005)
    return value


def read(path):
    with contextlib.suppress(OSError), open(path, "rb") as f:
        return f.read().decode()
    return ""  # the process has gone


INTERPRETERS = {line.split()[1] for entry in glob.glob("/proc/sys/fs/binfmt_misc/*")
                for line in read(entry).splitlines() if line.startswith("interpreter ")}


def program_argv(pid):
    argv = read(f"/proc/{pid}/cmdline").split("\0")[:-1]
    return argv[2:] if EMULATED and argv[:1] and argv[0] in INTERPRETERS else argv


def children(pid):
    return [int(c) for c in read(f"/proc/{pid}/task/{pid}/children").split()]


def descendants(pid):
    return [d for c in children(pid) for d in [c, *descendants(c)]]


def blocked(pid):
    bits = int(re.search(r"SigBlk:\s*(\w+)", read(f"/proc/{pid}/status")).group(1), 16)
    return {n for n in range(1, 65) if bits >> (n - 1) & 1}


def inherited(pid):
    core = re.search(r"Max core file size\s+(\S+)", read(f"/proc/{pid}/limits")).group(1)
    return {"cwd": os.readlink(f"/proc/{pid}/cwd"), "core": core, "session": os.getsid(pid),
            "stdio": [os.readlink(f"/proc/{pid}/fd/{fd}") for fd in range(3)]}


def traces(scratch):
    """pid -> Trace of every process that strace -ff followed."""
    found, threads = {}, set()  # an emulator's own threads are traced too
    for path in glob.glob(f"{scratch}/trace.*"):
        text = read(path)
        threads.update(re.findall(r"^clone3?\(.*CLONE_THREAD.* = (\d+)$", text, re.M))
        lines = re.findall(r'^write\(([12]), "(.*)\\n", \d+\)\s+= \d+$', text, re.M)
        end = re.search(r"^\+\+\+ (.*) \+\+\+$", text, re.M)
        found[int(path.rsplit(".", 1)[1])] = Trace([(int(fd), s) for fd, s in lines], end and end.group(1),
                                                   f'execve("{MONITOR}"' in text)
    return {pid: trace for pid, trace in found.items() if str(pid) not in threads}


def kill_all():
    while pids := descendants(os.getpid()):
        for pid in pids:
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
        with contextlib.suppress(ChildProcessError):
            os.waitpid(-1, 0)


@contextlib.contextmanager
def started(row):
    """Starts the monitor as the row says, in a scratch directory; gives its pid and that directory."""
    with tempfile.TemporaryDirectory() as scratch:
        os.symlink(PROBE, f"{scratch}/probe")
        open(f"{scratch}/data", "w").close()  # a program that exists but cannot be executed
        # strace injects faults only into the calls it traces.
        strace = subprocess.Popen(["strace", "-ff", "-o", f"{scratch}/trace", "-e", "signal=none", "-e",
                                   "trace=write,execve,clone,clone3,rt_sigtimedwait", *row.strace, *row.prefix,
                                   *INVOKER, MONITOR, *row.argv], cwd=scratch)
        try:
            pid = poll(lambda: [p for p in children(os.getpid()) if p != strace.pid], "the monitor")[0]
            poll(lambda: lines(scratch, pid), "the first status line")  # detached, blocked, forked
            yield pid, scratch
        finally:
            kill_all()
            strace.wait()


def lines(scratch, pid):
    return traces(scratch).get(pid, Trace([], None, False)).lines


def child(pid, argv, other_than=None):
    return poll(lambda: next((c for c in children(pid) if c != other_than
                              and program_argv(c) == argv), None), f"a child {argv}")


def kill_child(sig):
    return lambda monitor, running: os.kill(running, sig)


def storm(monitor, _):
    for sig in DROPPED * 20:
        os.kill(monitor, sig)


UNPRIVILEGED = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]


class MonitorTest(unittest.TestCase):
    ROWS = [
        Row(["./probe", "", "-x", "a b"], kill_child(signal.SIGKILL), ["child exit by signal:9", "fork ok"], "new"),
        Row(["probe", "--", " "], kill_child(signal.SIGSEGV), ["child exit by signal:11", "fork ok"], "new"),
        Row([PROBE], storm, [], "same"),
        Row([PROBE, "stopped"], kill_child(signal.SIGSTOP), [PING], "same"),  # waitpid reports nothing
        Row(["/bin/true"], None, ["child exit normally:0"], 0),
        Row(["/bin/false", "x"], None, ["child exit normally:256"], 1),
        Row(["./missing"], None, ["child exit normally:32512"], 127),
        Row(["true"], None, ["child exit normally:32512"], 127),  # PATH is never searched
        Row(["./data"], None, ["child exit normally:32256"], 126),
        # Failures injected by strace, which counts each system call per process: the monitor's
        # second fork is its first restart, its first sigwait is the one after the first launch.
        Row([PROBE, "no fork"], kill_child(signal.SIGKILL), ["child exit by signal:9", (2, "fork error")], None,
            ["-e", "inject=clone:error=EAGAIN:when=2"]),
        Row([PROBE, "no wait"], kill_child(signal.SIGKILL),
            [(2, "wait signal error"), "child exit by signal:9", "fork ok"], "new",
            ["-e", "inject=rt_sigtimedwait:error=EINVAL:when=1"]),
        # Without privilege the hard limit cannot be raised, so the soft one is raised to meet it.
        Row([PROBE, "finite"], kill_child(signal.SIGKILL), ["child exit by signal:9", "fork ok"], "new",
            [], ["prlimit", "--core=0:4096", *UNPRIVILEGED], "4096"),
        Row([PROBE, "zero"], kill_child(signal.SIGKILL), ["child exit by signal:9", "fork ok"], "new",
            [], ["prlimit", "--core=0:0", *UNPRIVILEGED], "0"),
    ]

    @classmethod
    def setUpClass(cls):
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.prctl(36, 1, 0, 0, 0) != 0:  # PR_SET_CHILD_SUBREAPER
            raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")
        signal.pthread_sigmask(signal.SIG_SETMASK, INVOKER_MASK)
        hard = resource.getrlimit(resource.RLIMIT_CORE)[1]
        resource.setrlimit(resource.RLIMIT_CORE, (0, hard))
        cls.core = "unlimited" if os.geteuid() == 0 or hard == resource.RLIM_INFINITY else str(hard)
        if EMULATED:
            print("\nEmulated: the monitor's signal mask is not checked, since /proc shows the emulator's own,"
                  " which it keeps in step with the program's only lazily.", file=sys.stderr)

    def tearDown(self):
        kill_all()

    def test_supervision(self):
        for row in self.ROWS:
            with self.subTest(argv=row.argv, after=row.after), started(row) as (pid, scratch):
                self.check_row(pid, scratch, row)

    def check_row(self, pid, scratch, row):
        want = [(1, s) if isinstance(s, str) else s for s in ["fork ok", *row.lines]]
        expected = {"cwd": scratch, "core": row.core or self.core, "session": pid, "stdio": ["/dev/null"] * 3}
        self.assertEqual(inherited(pid), expected)
        self.check_monitor_mask(pid)
        first = child(pid, row.argv) if row.action else None
        if row.action:
            self.assert_launched(first, expected)
            row.action(pid, first)
        poll(lambda: len(lines(scratch, pid)) >= len(want), f"the lines {want}")
        os.kill(pid, signal.SIGCHLD)  # answered only once everything sent before it has been handled
        poll(lambda: len(lines(scratch, pid)) > len(want), "the answer to SIGCHLD")
        found = traces(scratch)
        self.assertEqual(found.pop(pid)[:2], (want + [(1, PING)], None))
        self.assertEqual([t.end for t in found.values() if t.invoker], ["exited with 0"])
        if row.after == "same":
            self.assertEqual(children(pid), [first])
        elif row.after == "new":
            restarted = child(pid, row.argv, other_than=first)
            self.assert_launched(restarted, expected)
        else:
            self.assertEqual(children(pid), [])
        if isinstance(row.after, int):
            errors = [(2, "exec error")] if row.after >= 126 else []
            self.assertEqual([t[:2] for t in found.values() if not t.invoker], [(errors, f"exited with {row.after}")])

    def check_monitor_mask(self, pid):
        if EMULATED:
            return  # see setUpClass
        os.kill(pid, signal.SIGSTOP)  # inside sigwait the kernel shows the waited-for set unblocked
        stopped = lambda: read(f"/proc/{pid}/stat").split()[2] in "tT" and blocked(pid)  # noqa: E731
        self.assertEqual(poll(stopped, "the monitor to stop"), INVOKER_MASK | SIX)
        os.kill(pid, signal.SIGCONT)

    def assert_launched(self, child_pid, expected):
        """A child has what the monitor has, and the invoker's signal mask, not the monitor's."""
        if EMULATED:  # the emulator shows the program's mask once the program waits in pause()
            with contextlib.suppress(AssertionError):
                poll(lambda: blocked(child_pid) == INVOKER_MASK, "the program's signal mask", 2)
        self.assertEqual((inherited(child_pid), blocked(child_pid)), (expected, INVOKER_MASK))

    def test_refuses_to_start_without_a_program(self):
        # In a sanitized build LeakSanitizer checks the untraced run: it cannot work under ptrace.
        no_leak_check = {**os.environ, "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}
        for command in ([MONITOR], [sys.executable, "-c", EMPTY_ARGV, MONITOR]):
            with self.subTest(command=command), tempfile.NamedTemporaryFile("r") as log:
                run = subprocess.run(command, capture_output=True, check=False, timeout=10)
                self.assertEqual((run.returncode, run.stdout, run.stderr), (255, b"", USAGE))
                subprocess.run(["strace", "-f", "-o", log.name, "-e", "trace=%process,/rlimit", *command],
                               capture_output=True, check=False, timeout=10, env=no_leak_check)
                # Nothing touched, nothing left behind: no core limit set, no process created.
                traced = log.read()
                self.assertIn(f'execve("{MONITOR}", [', traced)
                self.assertNotRegex(traced, re.compile(r"RLIMIT_CORE|^\d+ +(clone3?\((?!.*CLONE_THREAD)|v?fork\()", re.M))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
