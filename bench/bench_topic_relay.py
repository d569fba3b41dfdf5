"""Dispatch path of velk_dev_kit.topic_relay against a plain-Python relay.

One message on one source topic is fanned out to 10 routes; the subscription
callback is called directly in a tight loop. Two cases:

- dropped: every route rate-limited, so each route drops the message
  (target: the extension at least 3x as fast as plain Python);
- passing: frequency 0, a trivial handler and a publisher on every route
  (target: at least 1.5x).

Run with the package installed (make bench) or with PYTHONPATH pointing at a
build of it; the ROS 2 stand-in is taken from ros_stub/ beside this folder.
With --check the exit status is 1 when a target is missed.
"""
import os
import sys
import sysconfig
import time
from pathlib import Path
from typing import Any, List

sys.path.append(str(Path(__file__).resolve().parent.parent / "examples"))
import stand_in  # noqa: E402,F401  (the ROS 2 stand-in, as the examples have it)
os.environ.setdefault("ROS_STUB_CONSOLE", "0")  # the stand-in's log lines: ROS_STUB_CONSOLE=1

import rclpy  # noqa: E402
import rclpy.logging  # noqa: E402
from rclpy.node import Node  # noqa: E402
from std_msgs.msg import String  # noqa: E402

from velk_dev_kit.topic_relay import SimpleTopicRelay, SyncRoute  # noqa: E402

ROUTES = 10
SOURCE = "/bench/source"


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


def make_relay(cls, frequency, handler, null_publishers):
    relay = cls()
    for i in range(ROUTES):
        relay.register_sync_route(SyncRoute(
            source_topic=SOURCE, source_msg_type=String, target_topic=f"/bench/target_{i}",
            frequency=frequency, handler=handler, route_id=f"route_{i}"))
    relay.setup()
    if null_publishers:
        for route_id in relay._route_publishers:
            relay._route_publishers[route_id] = NullPublisher()
    callback = relay._source_subscriptions[SOURCE].callback
    return relay, callback


def time_loop(callback, msg, loops):
    start = time.perf_counter()
    for _ in range(loops):
        callback(msg)
    return (time.perf_counter() - start) / loops


def measure(case, frequency, handler, loops, target, null_publishers=False, repeats=9):
    """Best time per message of each implementation, measured alternately."""
    msg = String(data="hello")
    relays = {}
    for name, cls in (("python", PyTopicRelay), ("extension", SimpleTopicRelay)):
        relay, callback = make_relay(cls, frequency, handler, null_publishers)
        callback(msg)  # the first message passes every route (stored times 0.0)
        relays[name] = (relay, callback)
    best = {name: float("inf") for name in relays}
    for _ in range(repeats):
        for name, (relay, callback) in relays.items():
            best[name] = min(best[name], time_loop(callback, msg, loops))
    for relay, _ in relays.values():
        relay.destroy_node()
    ratio = best["python"] / best["extension"]
    verdict = "" if target is None else f"  (target {target}x: {'ok' if ratio >= target else 'MISSED'})"
    print(f"{case:<44} python {best['python'] * 1e6:7.2f} us  "
          f"extension {best['extension'] * 1e6:7.2f} us  ratio {ratio:5.2f}x{verdict}")
    return target is None or ratio >= target


def main(argv=None):
    """Prints the figures; with --check, exits with 1 when a target is missed."""
    check = "--check" in (sys.argv[1:] if argv is None else argv)
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    print(f"Python {sys.version.split()[0]}{' free-threaded build' if free_threaded else ''}; "
          f"one message to {ROUTES} routes of one source, subscription callback called "
          "directly; time per message")
    rclpy.init()
    # registration and setup lines of the relays made here are not of interest
    rclpy.logging.set_logger_level("topic_relay", rclpy.logging.LoggingSeverity.WARN)
    try:
        ok = measure("all routes rate-limited (dropped)", 1e-6, None, 20000, 3.0)
        ok &= measure("all routes passing, trivial publisher", 0, lambda m: m, 20000, 1.5,
                      null_publishers=True)
        # For information: the stand-in's own publish (pure Python, about 3 us a
        # call) is the same in both and dominates this one.
        measure("all routes passing, stand-in publisher", 0, lambda m: m, 2000, None)
    finally:
        rclpy.try_shutdown()
    return 0 if ok or not check else 1


if __name__ == "__main__":
    sys.exit(main())
