"""Dispatch path of velk_dev_kit.topic_relay against a plain-Python relay.

One message on one source topic is fanned out to 10 routes; the subscription
callback is called directly, from a C-level loop (what an executor's call
costs is not either relay's). Two cases, each with a target:

- dropped: every route rate-limited, so each route drops the message
  (target: the extension at least 3x cheaper than plain Python);
- passing: frequency 0, a trivial handler and a publisher on every route
  (target: at least 1.5x).

Two measures of each: instructions per message, counted by valgrind's
callgrind tool with PYTHONHASHSEED=0 (a child process per count, runs of N
and 2N messages, so the start-up they share cancels out: a figure that does
not move with the machine's load, and the one the targets are judged on),
and wall-clock time per message, best of alternated rounds, for information.
The callgrind files stay in build/callgrind/ (callgrind_annotate reads them);
when a target is missed, the top functions of both sides are printed.

The workload (make_relay, deliver, count_run) uses whichever rclpy is on
the path: the ROS 2 stand-in from ros_stub/ through examples/stand_in.py,
just below, or the real client library with VELK_ROS=real (make bench-ros).

Run with the package installed (make bench) or with PYTHONPATH pointing at a
build of it. With --check the exit status is 1 when a target is missed;
with --profile the top functions are printed whether or not it is.
"""
import collections
import itertools
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import time
from pathlib import Path
from typing import Any, List, NamedTuple, Optional

HERE = Path(__file__).resolve().parent
sys.path.append(str(HERE))
sys.path.append(str(HERE.parent / "examples"))
import stand_in  # noqa: E402,F401  (the ROS 2 stand-in, as the examples have it)
os.environ.setdefault("ROS_STUB_CONSOLE", "0")  # the stand-in's log lines: ROS_STUB_CONSOLE=1

import rclpy  # noqa: E402
import rclpy.logging  # noqa: E402
from rclpy.node import Node  # noqa: E402
from std_msgs.msg import String  # noqa: E402

from velk_dev_kit.topic_relay import SimpleTopicRelay, SyncRoute  # noqa: E402

import _table  # noqa: E402

ROUTES = 10
SOURCE = "/bench/source"
# Messages of the shorter callgrind run (the longer one has twice as many),
# and messages sent before either, so that both start from a warmed path.
COUNT = 2000
WARM_UP = 200
CALLGRIND_DIR = HERE.parent / "build" / "callgrind"


class PyTopicRelay(Node):
    """The relay's steps in plain Python: the same tables, clock reads and checks."""

    def __init__(self):
        super().__init__("topic_relay")
        self.routes = {}
        self._source_subscriptions = {}
        self._source_to_routes = {}
        self._route_publishers = {}
        self.last_publish_time = {}
        self.get_logger().info("SimpleTopicRelay initialized")

    def register_sync_route(self, route) -> bool:
        try:
            if not route.enabled:
                self.get_logger().info(f"Route {route.route_id} is disabled")
                return True
            self.routes[route.route_id] = route
            if route.source_topic not in self._source_to_routes:
                self._source_to_routes[route.source_topic] = []
            self._source_to_routes[route.source_topic].append(route.route_id)
            log_msg = f"Registered [{route.route_id}]: {route.source_topic}"
            if route.target_topic:
                log_msg += f" → {route.target_topic}"
            if route.handler:
                log_msg += " [with handler]"
            log_msg += f" @ {route.frequency} Hz"
            self.get_logger().info(log_msg)
            return True
        except Exception as e:
            self.get_logger().error(f"Register failed: {e}")
            return False

    def batch_register(self, routes: List) -> int:
        success_count = 0
        for route in routes:
            try:
                if self.register_sync_route(route):
                    success_count += 1
            except Exception as e:
                self.get_logger().error(f"Register error: {e}")
        self.get_logger().info(f"Batch registration: {success_count}/{len(routes)} routes")
        return success_count

    def setup(self):
        for source_topic, route_ids in self._source_to_routes.items():
            if route_ids:
                self._setup_source_subscription(source_topic)
        for route_id, route in self.routes.items():
            if route.enabled:
                self._setup_route_publisher(route_id, route)
        for route_id in self.routes:
            if route_id not in self.last_publish_time:
                self.last_publish_time[route_id] = 0.0
        self.get_logger().info(
            f"TopicRelay setup complete: {len(self._source_subscriptions)} subscriptions, "
            f"{len(self.routes)} routes")

    def _setup_source_subscription(self, source_topic: str):
        if source_topic in self._source_subscriptions:
            return
        route_ids = self._source_to_routes.get(source_topic, [])
        if not route_ids:
            return
        msg_types = set()
        for route_id in route_ids:
            route = self.routes[route_id]
            if route.enabled:
                msg_types.add(route.source_msg_type)
        if len(msg_types) > 1:
            type_names = [t.__name__ for t in msg_types]
            self.get_logger().error(
                f"Inconsistent message types for {source_topic}: {type_names}. "
                "All routes from the same source must use the same message type.")
            return
        first_route = self.routes[route_ids[0]]
        try:
            self._source_subscriptions[source_topic] = self.create_subscription(
                first_route.source_msg_type, source_topic,
                lambda msg, topic=source_topic: self._on_message(msg, topic), 10)
            self.get_logger().info(
                f"Created subscription: {source_topic} "
                f"({first_route.source_msg_type.__name__}) -> {len(route_ids)} route(s)")
        except Exception as e:
            self.get_logger().error(f"Setup subscription failed for {source_topic}: {e}")

    def _setup_route_publisher(self, route_id: str, route):
        try:
            if route.target_topic:
                self._route_publishers[route_id] = self.create_publisher(
                    route.target_msg_type, route.target_topic, 10)
            self.last_publish_time[route_id] = 0.0
        except Exception as e:
            self.get_logger().error(f"Setup publisher failed for {route_id}: {e}")

    def _on_message(self, msg: Any, source_topic: str):
        route_ids = self._source_to_routes.get(source_topic, [])
        for route_id in route_ids:
            route = self.routes.get(route_id)
            try:
                if not route or not route.enabled:
                    continue
            except Exception as e:
                self.get_logger().error(f"Route error for [{route_id}]: {e}")
                continue
            self._process_route(msg, route_id, route)

    def _process_route(self, msg: Any, route_id: str, route):
        now = time.time()
        try:
            limited = route.frequency > 0
            publish_interval = 1.0 / route.frequency if limited else 0
        except Exception as e:
            self.get_logger().error(f"Route error for [{route_id}]: {e}")
            return
        time_since_last = now - self.last_publish_time[route_id]
        try:
            if limited and time_since_last < publish_interval:
                return
            has_handler = bool(route.handler)
        except Exception as e:
            self.get_logger().error(f"Route error for [{route_id}]: {e}")
            return
        processed_msg = msg
        if has_handler:
            try:
                processed_msg = route.handler(msg)
            except Exception as e:
                self.get_logger().error(f"Handler error for [{route_id}]: {e}")
                return
        try:
            has_target = processed_msg is not None and bool(route.target_topic)
        except Exception as e:
            self.get_logger().error(f"Route error for [{route_id}]: {e}")
            return
        if has_target:
            try:
                if route_id in self._route_publishers:
                    self._route_publishers[route_id].publish(processed_msg)
            except Exception as e:
                self.get_logger().error(f"Publish error for [{route_id}]: {e}")
        self.last_publish_time[route_id] = now


class NullPublisher:
    """A publisher whose publish does nothing: leaves the relay's own cost."""

    def publish(self, msg):
        pass


def identity(msg):
    return msg


class Case(NamedTuple):
    title: str
    frequency: float
    handler: Any
    null_publishers: bool
    loops: int               # messages per wall-clock round
    target: Optional[float]  # extension at least so many times cheaper
    counted: bool            # instruction counts too


PUBLISHER = "real publisher" if os.environ.get("VELK_ROS") == "real" else "stand-in publisher"
CASES = {
    "dropped": Case("all routes rate-limited (dropped)", 1e-6, None, False, 20000, 3.0, True),
    "passing": Case("all routes passing, trivial publisher", 0, identity, True, 20000, 1.5, True),
    # For information: the publish itself (the stand-in's is pure Python,
    # about 3 us a call) is the same in both and dominates this one.
    PUBLISHER: Case(f"all routes passing, {PUBLISHER}", 0, identity, False, 2000, None, False),
}
IMPLEMENTATIONS = {"plain Python": PyTopicRelay, "extension": SimpleTopicRelay}


def make_relay(cls, case):
    """A relay of ROUTES routes from one source, set up; returns it and the
    source subscription's callback."""
    relay = cls()
    for i in range(ROUTES):
        relay.register_sync_route(SyncRoute(
            source_topic=SOURCE, source_msg_type=String, target_topic=f"/bench/target_{i}",
            frequency=case.frequency, handler=case.handler, route_id=f"route_{i}"))
    relay.setup()
    if case.null_publishers:
        for route_id in relay._route_publishers:
            relay._route_publishers[route_id] = NullPublisher()
    callback = relay._source_subscriptions[SOURCE].callback
    return relay, callback


def deliver(callback, msg, count):
    """The measured loop: count calls of the callback, driven from C."""
    collections.deque(map(callback, itertools.repeat(msg, count)), maxlen=0)


def quiet_relay_logs():
    # registration and setup lines of the relays made here are not of interest
    rclpy.logging.set_logger_level("topic_relay", rclpy.logging.LoggingSeverity.WARN)


def seconds_per_message(case, repeats=9):
    """Best wall-clock time per message of each implementation, rounds alternated."""
    msg = String(data="hello")
    relays = {}
    for name, cls in IMPLEMENTATIONS.items():
        relay, callback = make_relay(cls, case)
        callback(msg)  # the first message passes every route (stored times 0.0)
        relays[name] = (relay, callback)
    best = {name: float("inf") for name in relays}
    try:
        for _ in range(repeats):
            for name, (relay, callback) in relays.items():
                start = time.perf_counter()
                deliver(callback, msg, case.loops)
                best[name] = min(best[name], (time.perf_counter() - start) / case.loops)
    finally:
        for relay, _ in relays.values():
            relay.destroy_node()
    return best


def count_run(implementation, case_name, count):
    """What a callgrind child runs: a relay set up and warmed, then count messages."""
    rclpy.init()
    quiet_relay_logs()
    try:
        relay, callback = make_relay(IMPLEMENTATIONS[implementation], CASES[case_name])
        msg = String(data="hello")
        callback(msg)
        deliver(callback, msg, WARM_UP)
        deliver(callback, msg, count)
        relay.destroy_node()
    finally:
        rclpy.try_shutdown()


def callgrind_total(path):
    with open(path) as f:
        for line in f:
            m = re.match(r"(?:summary|totals):\s+(\d+)", line)
            if m:
                return int(m.group(1))
    raise RuntimeError(f"no instruction total in {path}")


def callgrind_file(implementation, case_name, count, thread=None):
    """The file of one run; with thread, that thread's own (1: the main one)."""
    slug = f"{implementation}-{case_name}".replace(" ", "-")
    path = CALLGRIND_DIR / f"relay-{slug}-{count}.out"
    return path if thread is None else path.with_name(f"{path.name}-{thread:02d}")


def build_id(path):
    try:
        notes = subprocess.run(["readelf", "-n", str(path)], capture_output=True, text=True)
    except OSError:
        return None
    m = re.search(r"Build ID:\s*([0-9a-f]+)", notes.stdout)
    return m.group(1) if m else None


def with_symbols():
    """A directory to put first on PYTHONPATH: a copy of the installed package
    whose topic_relay keeps its symbols, taken from the build tree when it is
    the very same build, so that callgrind names the extension's functions.
    None when there is no such build."""
    import velk_dev_kit.topic_relay as module
    installed = Path(module.__file__)
    for candidate in (HERE.parent / "build").glob(f"*/{installed.name}"):
        if build_id(candidate) and build_id(candidate) == build_id(installed):
            overlay = CALLGRIND_DIR / "symbols"
            shutil.rmtree(overlay, ignore_errors=True)
            shutil.copytree(installed.parent, overlay / "velk_dev_kit",
                            ignore=shutil.ignore_patterns("__pycache__"))
            shutil.copy(candidate, overlay / "velk_dev_kit" / installed.name)
            return overlay
    return None


def instructions_per_message(implementation, case_name, count=COUNT, overlay=None):
    """Instructions per message: runs of count and 2 * count messages under
    callgrind, the difference over count."""
    CALLGRIND_DIR.mkdir(parents=True, exist_ok=True)
    # Only the main thread, where the messages are delivered, is counted: the
    # real client library's threads (DDS, a numeric library's pool) work on
    # their own clock and would make the count move with the machine.
    env = dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1")
    if overlay is not None:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(overlay),
                                                          env.get("PYTHONPATH")]))
    totals = []
    for n in (count, 2 * count):
        out = callgrind_file(implementation, case_name, n)
        run = subprocess.run(
            ["valgrind", "--tool=callgrind", "--separate-threads=yes",
             f"--callgrind-out-file={out}", sys.executable,
             __file__, "--count", implementation, case_name, str(n)],
            env=env, capture_output=True, text=True)
        if run.returncode != 0:
            raise RuntimeError(f"callgrind run failed ({run.returncode}):\n{run.stderr[-2000:]}")
        totals.append(callgrind_total(callgrind_file(implementation, case_name, n, thread=1)))
    return (totals[1] - totals[0]) / count


def function_costs(path):
    """Own instructions of each function in a callgrind file, by callgrind_annotate."""
    run = subprocess.run(["callgrind_annotate", "--auto=no", "--threshold=100", str(path)],
                         capture_output=True, text=True, check=True)
    costs = {}
    for line in run.stdout.splitlines():
        m = re.match(r"\s*([\d,]+) \([^)]*\)\s+(.*?)(?: \[.*\])?$", line)
        if m and m.group(2) != "PROGRAM TOTALS":
            where, _, function = m.group(2).partition(":")
            name = f"{os.path.basename(where)}:{function}"  # the file's name is enough
            costs[name] = costs.get(name, 0) + int(m.group(1).replace(",", ""))
    return costs


def top_functions(implementation, case_name, count=COUNT, lines=12):
    """The functions that spend the most instructions per message: each one's
    own cost in the longer run less that in the shorter, over count."""
    short = function_costs(callgrind_file(implementation, case_name, count, thread=1))
    long = function_costs(callgrind_file(implementation, case_name, 2 * count, thread=1))
    per_message = {f: (long.get(f, 0) - short.get(f, 0)) / count
                   for f in long.keys() | short.keys()}
    return sorted(per_message.items(), key=lambda item: -item[1])[:lines]


def main(argv=None):
    """Prints the figures and hands them to the closing table; with --check,
    exits with 1 when a target is missed."""
    argv = sys.argv[1:] if argv is None else argv
    check = "--check" in argv
    profile = "--profile" in argv
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    print(f"Python {sys.version.split()[0]}{' free-threaded build' if free_threaded else ''}; "
          f"one message to {ROUTES} routes of one source, subscription callback called "
          "directly")
    counting = shutil.which("valgrind") is not None
    overlay = with_symbols() if counting else None
    rclpy.init()
    quiet_relay_logs()
    try:
        wall = {name: seconds_per_message(case) for name, case in CASES.items()}
    finally:
        rclpy.try_shutdown()
    ok = True
    for name, case in CASES.items():
        best = wall[name]
        ratio = best["plain Python"] / best["extension"]
        print(f"{case.title:<40} wall clock: python {best['plain Python'] * 1e6:7.2f} us  "
              f"extension {best['extension'] * 1e6:7.2f} us  ratio {ratio:5.2f}x")
        if case.counted and counting:
            counts = {impl: instructions_per_message(impl, name, overlay=overlay)
                      for impl in IMPLEMENTATIONS}
            ratio = _table.row("relay", f"{name}: instructions per message", "instr",
                               counts["extension"], "plain Python", counts["plain Python"],
                               lower_is_better=True, target=case.target)
            met = ratio >= case.target
            ok &= met
            print(f"{'':<40} callgrind:  python {counts['plain Python']:7,.0f} instr "
                  f"extension {counts['extension']:7,.0f} instr  ratio {ratio:5.2f}x  "
                  f"(target {case.target}x: {'ok' if met else 'MISSED'})")
            if not met or profile:
                for impl in IMPLEMENTATIONS:
                    print(f"  {impl}: top functions, own instructions per message")
                    for function, cost in top_functions(impl, name):
                        print(f"    {cost:8,.0f}  {function}")
        # Wall-clock figures judge only where instructions could not be counted.
        target = case.target if case.counted and not counting else None
        ratio = _table.row("relay", f"{name}: wall time per message", "us",
                           best["extension"] * 1e6, "plain Python", best["plain Python"] * 1e6,
                           lower_is_better=True, target=target)
        if target is not None:
            ok &= ratio >= target
    if not counting:
        print("valgrind not found: no instruction counts (make bench installs it)")
        _table.note("relay", "instructions per message", "valgrind not found: not counted")
    print(f"callgrind files: {CALLGRIND_DIR} (callgrind_annotate FILE)" if counting else "")
    _table.flush()
    return 0 if ok or not check else 1


if __name__ == "__main__":
    if sys.argv[1:2] == ["--count"]:
        count_run(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        sys.exit(main())
