#!/usr/bin/env python3
"""Black-box tests of the monitor binary. Usage: monitor_test.py MONITOR PROBE

Each row starts the real monitor under strace, which records the status lines that detaching
sends to /dev/null, then acts on it from outside and reads the outcome from the trace and /proc.
The test process is a child subreaper, so the detached monitor and every orphan it leaves become
its children: teardown kills and reaps all of them, whether the row passed or not."""
import collections
import contextlib
import ctypes
import glob
import os
import re
import resource
import signal
import subprocess
import sys
import tempfile
import time
import unittest

MONITOR, PROBE = (os.path.abspath(p) for p in sys.argv[1:3])
USAGE = b"usage: velorn_agent_monitor PROGRAM [ARG]...\n"
DROPPED = [signal.SIGHUP, signal.SIGINT, signal.SIGTERM, signal.SIGPIPE, signal.SIGALRM]
SIX = {*DROPPED, signal.SIGCHLD}
# The monitor is started as an unfriendly invoker might: with SIGUSR2 blocked, which the child
# must find blocked too, with SIGCHLD ignored, and with a core-file limit of 0 (see setUpClass).
INVOKER_MASK = {signal.SIGUSR2}
INVOKER = ["env", "--ignore-signal=CHLD"]
PING = "child exit normally:0"  # the answer to a SIGCHLD sent from outside
# Python's own spawning refuses an empty argument vector; libc's execve(2) does not.
EXEC_WITH_EMPTY_ARGV = "import ctypes, sys; ctypes.CDLL(None).execve(sys.argv[1].encode(), (ctypes.c_char_p * 1)(), None)"


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


def children(pid):
    return [int(c) for c in read(f"/proc/{pid}/task/{pid}/children").split()]


def descendants(pid):
    return [d for c in children(pid) for d in [c, *descendants(c)]]


def cmdline(pid):
    return read(f"/proc/{pid}/cmdline").split("\0")[:-1]


def blocked(pid):
    bits = int(re.search(r"SigBlk:\s*(\w+)", read(f"/proc/{pid}/status")).group(1), 16)
    return {n for n in range(1, 65) if bits >> (n - 1) & 1}


def inherited(pid):
    """What a process takes from the one that started it, as the rows compare it."""
    core = re.search(r"Max core file size\s+(\S+)", read(f"/proc/{pid}/limits")).group(1)
    return {"cwd": os.readlink(f"/proc/{pid}/cwd"), "core": core, "session": os.getsid(pid),
            "stdio": [os.readlink(f"/proc/{pid}/fd/{fd}") for fd in range(3)]}


def kill_all():
    while pids := descendants(os.getpid()):
        for pid in pids:
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
        with contextlib.suppress(ChildProcessError):
            os.waitpid(-1, 0)


Trace = collections.namedtuple("Trace", "lines end invoker")  # lines as (fd, text); end as strace says


class Monitor:
    """The monitor started under strace -ff in a scratch directory holding the probe."""

    def __init__(self, argv):
        self.scratch = tempfile.TemporaryDirectory()
        self.dir = self.scratch.name
        os.symlink(PROBE, f"{self.dir}/probe")
        open(f"{self.dir}/data", "w").close()  # a program that exists but cannot be executed
        self.strace = subprocess.Popen(["strace", "-ff", "-o", f"{self.dir}/trace", "-e", "signal=none",
                                        "-e", "trace=write,execve", *INVOKER, MONITOR, *argv], cwd=self.dir)

    def __enter__(self):
        others = lambda: [p for p in children(os.getpid()) if p != self.strace.pid]  # noqa: E731
        self.pid = poll(others, "the detached monitor")[0]
        poll(self.lines, "the first status line")  # start-up is over: detached, blocked, forked
        return self

    def __exit__(self, *_):
        kill_all()
        self.strace.wait()
        self.scratch.cleanup()

    def traces(self):
        """pid -> Trace for every process the monitor's start created."""
        found = {}
        for path in glob.glob(f"{self.dir}/trace.*"):
            text = read(path)
            lines = re.findall(r'^write\(([12]), "(.*)\\n", \d+\)\s+= \d+$', text, re.M)
            end = re.search(r"^\+\+\+ (.*) \+\+\+$", text, re.M)
            found[int(path.rsplit(".", 1)[1])] = Trace([(int(fd), s) for fd, s in lines],
                                                       end and end.group(1), f'execve("{MONITOR}"' in text)
        return found

    def lines(self):
        trace = self.traces().get(self.pid)
        return trace.lines if trace else []

    def child(self, argv, other_than=None):
        return poll(lambda: next((c for c in children(self.pid) if c != other_than and cmdline(c) == argv), None),
                    f"a child running {argv}")


def kill_child(sig):
    return lambda monitor, child: os.kill(child, sig)


def storm(monitor, _):
    for sig in DROPPED * 20:
        os.kill(monitor.pid, sig)


class MonitorTest(unittest.TestCase):
    ROWS = [  # argv, action on (monitor, child), lines after the first "fork ok", then: child or exit
        (["./probe", "", "-x", "a b"], kill_child(signal.SIGKILL), ["child exit by signal:9", "fork ok"], "new"),
        (["probe", "--", " "], kill_child(signal.SIGSEGV), ["child exit by signal:11", "fork ok"], "new"),
        ([PROBE], storm, [], "same"),
        ([PROBE, "stopped"], kill_child(signal.SIGSTOP), [PING], "same"),  # waitpid reports nothing
        (["/bin/true"], None, ["child exit normally:0"], 0),
        (["/bin/false", "x"], None, ["child exit normally:256"], 1),
        (["./missing"], None, ["child exit normally:32512"], 127),
        (["true"], None, ["child exit normally:32512"], 127),  # PATH is never searched
        (["./data"], None, ["child exit normally:32256"], 126),
    ]

    @classmethod
    def setUpClass(cls):
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.prctl(36, 1, 0, 0, 0) != 0:  # PR_SET_CHILD_SUBREAPER
            raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")
        signal.pthread_sigmask(signal.SIG_SETMASK, INVOKER_MASK)
        hard = resource.getrlimit(resource.RLIMIT_CORE)[1]
        resource.setrlimit(resource.RLIMIT_CORE, (0, hard))  # so that raising it shows
        cls.core = "unlimited" if os.geteuid() == 0 or hard == resource.RLIM_INFINITY else str(hard)

    def test_supervision(self):
        for argv, action, lines, after in self.ROWS:
            with self.subTest(argv=argv, after=after), Monitor(argv) as monitor:
                self.check_row(monitor, argv, action, ["fork ok", *lines], after)

    def check_row(self, monitor, argv, action, lines, after):
        pid = monitor.pid
        expected = {"cwd": monitor.dir, "core": self.core, "session": pid, "stdio": ["/dev/null"] * 3}
        self.assertEqual(inherited(pid), expected)
        os.kill(pid, signal.SIGSTOP)  # inside sigwait the kernel shows the waited-for set unblocked
        self.assertEqual(poll(lambda: read(f"/proc/{pid}/stat").split()[2] in "tT" and blocked(pid),
                              "the monitor to stop"), INVOKER_MASK | SIX)
        os.kill(pid, signal.SIGCONT)
        child = None
        if action:
            child = monitor.child(argv)
            self.assertEqual((inherited(child), blocked(child)), (expected, INVOKER_MASK))
            action(monitor, child)
        want = [(1, line) for line in lines]
        poll(lambda: len(monitor.lines()) >= len(want), f"the lines {lines}")
        os.kill(pid, signal.SIGCHLD)  # answered only once everything before it has been handled
        poll(lambda: len(monitor.lines()) > len(want), "the answer to SIGCHLD")
        traces = monitor.traces()
        self.assertEqual(traces.pop(pid)[:2], (want + [(1, PING)], None))
        self.assertEqual([t.end for t in traces.values() if t.invoker], ["exited with 0"])
        if after == "same":
            self.assertEqual(children(pid), [child])
        elif after == "new":
            restarted = monitor.child(argv, other_than=child)
            self.assertEqual((inherited(restarted), blocked(restarted)), (expected, INVOKER_MASK))
        else:
            self.assertEqual(children(pid), [])
            errors = [(2, "exec error")] if after >= 126 else []
            self.assertEqual([t[:2] for t in traces.values() if not t.invoker], [(errors, f"exited with {after}")])

    def test_refuses_to_start_without_a_program(self):
        for command in ([MONITOR], [sys.executable, "-c", EXEC_WITH_EMPTY_ARGV, MONITOR]):
            with self.subTest(command=command), tempfile.NamedTemporaryFile("r") as log:
                run = subprocess.run(["strace", "-f", "-o", log.name, "-e", "trace=%process,/rlimit", *command],
                                     capture_output=True, check=False, timeout=10)
                self.assertEqual((run.returncode, run.stdout, run.stderr), (255, b"", USAGE))
                # Nothing touched, nothing left behind: no core limit set, no process created.
                self.assertNotRegex(log.read(), re.compile(r"RLIMIT_CORE|^\d+ +(clone3?|v?fork)\(", re.M))

    def tearDown(self):
        kill_all()


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
