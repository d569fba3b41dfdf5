import gc
import os
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

# The ROS 2 client-library stand-in lives beside the package, never in it.
STUB = str(Path(__file__).resolve().parent.parent / "ros_stub")
sys.path.insert(0, STUB)
# The stand-in's log lines stay off the terminal (tests read them through
# the ros_logs fixture); ROS_STUB_CONSOLE=1 shows them.
os.environ.setdefault("ROS_STUB_CONSOLE", "0")

import pytest  # noqa: E402


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


@pytest.fixture
def ros_logs():
    """The rclpy log lines emitted during the test, as LogRecord(severity, name, message).

    severity is 'DEBUG', 'INFO', 'WARN', 'ERROR' or 'FATAL'; name is the logger name.
    """
    from rclpy.impl.rcutils_logger import capture_logs

    with capture_logs() as records:
        yield records


def run_python(code, *args, env=None, timeout=60, **kwargs):
    """Runs `code` in a child interpreter with the stand-in on its path.

    Returns the CompletedProcess, output captured as text.
    """
    child_env = dict(os.environ if env is None else env)
    child_env["PYTHONPATH"] = os.pathsep.join(
        p for p in (STUB, child_env.get("PYTHONPATH")) if p)
    return subprocess.run([sys.executable, "-P", "-c", code, *args], env=child_env,
                          capture_output=True, text=True, timeout=timeout, **kwargs)


def run_python_many(code, runs, *, parallel=8, **kwargs):
    """run_python(code) `runs` times, `parallel` children at a time; the CompletedProcesses."""
    with ThreadPoolExecutor(parallel) as pool:
        return list(pool.map(lambda _: run_python(code, **kwargs), range(runs)))


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
    # Descriptors and threads may end below the start (a loopback server's
    # connection from the warm-up still closing): only growth is a leak.
    while True:
        gc.collect()
        now = ([sys.getrefcount(o) for o in objects], open_fds(), threading.active_count())
        settled = now[0] == refs and now[1] <= fds and now[2] <= threads
        if settled or time.monotonic() > deadline:
            break
        time.sleep(0.05)
    assert settled, (
        f"after {calls} calls: reference counts {refs} -> {now[0]}, "
        f"open descriptors {fds} -> {now[1]}, threads {threads} -> {now[2]}")
