import contextlib
import gc
import os
import re
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import NamedTuple

# The ROS 2 client-library stand-in lives beside the package, never in it; it is
# put on this interpreter's path here and on a child's by run_python. With
# VELK_ROS=real (the ros part of make test) the real rclpy is used instead.
STUB = str(Path(__file__).resolve().parent.parent / "ros_stub")
REAL_ROS = os.environ.get("VELK_ROS") == "real"
if not REAL_ROS:
    sys.path.insert(0, STUB)
# The stand-in's log lines stay off the terminal (tests read them through
# the ros_logs fixture); ROS_STUB_CONSOLE=1 shows them.
os.environ.setdefault("ROS_STUB_CONSOLE", "0")

import pytest  # noqa: E402

if REAL_ROS:
    import rclpy  # noqa: E402

    if Path(rclpy.__file__).is_relative_to(STUB):
        raise RuntimeError("VELK_ROS=real, but rclpy is the stand-in")


def pytest_collection_modifyitems(config, items):
    if not REAL_ROS:
        return
    for item in items:
        marker = item.get_closest_marker("stand_in_only")
        if marker:
            item.add_marker(pytest.mark.skip(reason=f"stand-in only: {marker.args[0]}"))


@pytest.fixture
def ros_context():
    """rclpy.init() on the default context for one test, rclpy.try_shutdown() after it.

    Yields the context; nodes still alive at the end are destroyed by the shutdown.
    """
    import rclpy

    rclpy.init()
    try:
        yield rclpy.get_default_context()
    finally:
        rclpy.try_shutdown()


class LogRecord(NamedTuple):
    severity: str  # 'DEBUG', 'INFO', 'WARN', 'ERROR' or 'FATAL'
    name: str      # the logger's name
    message: str


# A console line of rcutils in the ros part's RCUTILS_CONSOLE_OUTPUT_FORMAT,
# "[{severity}] [{name}]: {message}"; a line not in that form continues the
# message before it.
_CONSOLE_LINE = re.compile(r"\[(DEBUG|INFO|WARN|ERROR|FATAL)\] \[([^\]]*)\]: (.*)")


def log_records(text):
    """The LogRecords of rcutils console output (a child's stderr, say)."""
    records = []
    for line in text.splitlines():
        match = _CONSOLE_LINE.fullmatch(line)
        if match:
            records.append(LogRecord(*match.groups()))
        elif records:
            last = records[-1]
            records[-1] = last._replace(message=f"{last.message}\n{line}")
    return records


class ConsoleLogs:
    """The log lines that rcutils writes to this process's stderr, read as they come
    from pytest's capture of descriptor 2; clear() forgets those so far."""

    def __init__(self, capfd):
        self._capfd = capfd
        self._text = ""

    def _records(self):
        self._text += self._capfd.readouterr().err
        return log_records(self._text)

    def __iter__(self):
        return iter(self._records())

    def __len__(self):
        return len(self._records())

    def __getitem__(self, index):
        return self._records()[index]

    def clear(self):
        self._records()
        self._text = ""


@pytest.fixture
def ros_logs(request):
    """The rclpy log lines emitted during the test, as LogRecords, in order.

    On the stand-in through its own log hook; on real rclpy from rcutils' console
    output, captured at the file-descriptor level.
    """
    if REAL_ROS:
        yield ConsoleLogs(request.getfixturevalue("capfd"))
        return
    from rclpy.impl.rcutils_logger import capture_logs

    with capture_logs() as records:
        yield records


def _python_child(code, args, options, env, stub):
    child_env = dict(os.environ if env is None else env)
    if stub and not REAL_ROS:
        child_env["PYTHONPATH"] = os.pathsep.join(
            p for p in (STUB, child_env.get("PYTHONPATH")) if p)
    # -P: the source tree must not shadow the installed package.
    code_args = () if code is None else ("-c", code)
    return [sys.executable, "-P", *options, *code_args, *args], child_env


def run_python(code, *args, options=(), env=None, stub=True, timeout=60, **kwargs):
    """Runs `code` in a child interpreter with the stand-in on its path (stub=False, or
    real ROS 2 in use: without).

    `options` go to the interpreter before the code; with code None the child
    runs `args` alone ("-m", module, ...). Returns the CompletedProcess, output
    captured as text.
    """
    command, child_env = _python_child(code, args, options, env, stub)
    return subprocess.run(command, env=child_env, capture_output=True, text=True,
                          timeout=timeout, **kwargs)


def start_python(code, *args, options=(), env=None, stub=True, **kwargs):
    """run_python(), but started and left running: the Popen, its output not captured."""
    command, child_env = _python_child(code, args, options, env, stub)
    return subprocess.Popen(command, env=child_env, **kwargs)


def arg_type_error(name, expected, got):
    """The TypeError text of an argument of the wrong type."""
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


def relay_lines(records):
    """(severity, message) of the relay node's log lines."""
    return [(r.severity, r.message) for r in records if r.name == "topic_relay"]


def run_python_many(code, runs, *, parallel=8, **kwargs):
    """run_python(code) `runs` times, `parallel` children at a time; the CompletedProcesses."""
    with ThreadPoolExecutor(parallel) as pool:
        return list(pool.map(lambda _: run_python(code, **kwargs), range(runs)))


BUSY_LOOP = "import time\nend = time.monotonic() + {seconds}\nwhile time.monotonic() < end: pass\n"


@contextlib.contextmanager
def busy_load(processes=1, seconds=120):
    """Keeps `processes` child interpreters spinning in busy loops while the block
    runs; each ends by itself after `seconds` at the latest, and all at the block's end."""
    children = [start_python(BUSY_LOOP.format(seconds=seconds), stub=False)
                for _ in range(processes)]
    try:
        yield
    finally:
        for child in children:
            child.kill()
        for child in children:
            child.wait(10)


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def assert_no_leaks(operation, *objects, calls=300, settle=3.0):
    """Calls operation() `calls` times after one warm-up call, then checks that the
    reference counts of `objects`, the open file descriptors and the live threads
    return to where they were after the warm-up (threads get `settle` seconds to end).
    """
    operation()
    gc.collect()
    refs = [sys.getrefcount(o) for o in objects]
    fds, threads = open_fds(), threading.active_count()
    for _ in range(calls):
        operation()
    deadline = time.monotonic() + settle
    # Counts may end below the start (the warm-up's connection or thread still
    # ending when they were taken, as under the emulator): only growth is a leak.
    while True:
        gc.collect()
        now = ([sys.getrefcount(o) for o in objects], open_fds(), threading.active_count())
        settled = (all(n <= r for n, r in zip(now[0], refs))
                   and now[1] <= fds and now[2] <= threads)
        if settled or time.monotonic() > deadline:
            break
        time.sleep(0.05)
    assert settled, (
        f"after {calls} calls: reference counts {refs} -> {now[0]}, "
        f"open descriptors {fds} -> {now[1]}, threads {threads} -> {now[2]}")
