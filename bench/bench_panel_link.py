"""Inbound path of velk_dev_kit.panel_link against a plain-Python panel link.

A local WebSocket server plays the control panel and sends control-data
frames; each travels through the link (decode, republish on the panel topic,
latest data) and, on the thread spinning the node, back through the
subscription to the application callback. Measured per implementation: frames
per second end to end, the client's CPU time per frame (the process's CPU
time less the panel thread's), and the latency from the server's send to the
callback (median and 99th percentile). Targets: the extension at least as
cheap in client CPU and at least as fast as plain Python (ratios are medians
of paired rounds), and no frame lost while the link stays connected.

The server keeps at most WINDOW frames in flight (a credit comes back from the
callback), so the panel topic's history depth of 10 is never exceeded: a
faster sender would only measure which frames the topic drops.

Run with the package installed (make bench) or with PYTHONPATH pointing at a
build of it; the ROS 2 stand-in is taken from ros_stub/ beside this folder.
"""
import asyncio
import json
import os
import statistics
import subprocess
import sys
import sysconfig
import threading
import time
from pathlib import Path
from typing import Any, Callable, Dict

sys.path.append(str(Path(__file__).resolve().parent.parent / "examples"))
import stand_in  # noqa: E402,F401  (the ROS 2 stand-in, as the examples have it)
os.environ.setdefault("ROS_STUB_CONSOLE", "0")  # the stand-in's log lines: ROS_STUB_CONSOLE=1

import rclpy  # noqa: E402
import websocket as ws_client  # noqa: E402
from rclpy.executors import SingleThreadedExecutor  # noqa: E402
from rclpy.node import Node  # noqa: E402
from std_msgs.msg import String  # noqa: E402
from websockets.asyncio.server import serve  # noqa: E402

sys.path.append(str(Path(__file__).resolve().parent))
import _table  # noqa: E402

FRAMES = 4000
WINDOW = 8
ROUNDS = 5
RECONNECT_INTERVAL = 3


class PyPanelLink(Node):
    """The link's steps in plain Python: same node, topic, handlers and state."""

    def __init__(self, remote_id: str, callback: Callable[[Dict[str, Any]], None]):
        self.ns = os.getenv("VELK_REMOTE_NS", "default")
        super().__init__(f"panel_link_{remote_id[:8]}", namespace=self.ns)
        self.remote_id = remote_id
        self.callback = callback
        topic = f"_panel_link/{remote_id}"
        self.publisher = self.create_publisher(String, topic, 10)
        self.create_subscription(String, topic, self._on_message, 10)
        self._last_data = None
        self._ws = None
        self._ws_connected = False
        self._ws_lock = threading.Lock()
        self._ws_ready = threading.Event()
        self._stop_event = threading.Event()
        template = os.getenv("VELK_REMOTE_WS_URL", "")
        if not template:
            raise ValueError("ws_url is required (or set VELK_REMOTE_WS_URL)")
        self._ws_url = template.replace("{remote_id}", remote_id) + "&role=container"
        self._ws_thread = threading.Thread(target=self._ws_loop, daemon=True)
        self._ws_thread.start()
        self.get_logger().info(f"PanelLink started: /{self.ns}/_panel_link/{remote_id}")

    def _ws_loop(self):
        while not self._stop_event.is_set():
            try:
                self._ws = ws_client.WebSocketApp(
                    self._ws_url, on_message=self._ws_on_message, on_error=self._ws_on_error,
                    on_close=self._ws_on_close, on_open=self._ws_on_open)
                self._ws.run_forever()
            except Exception as e:
                self.get_logger().error(f"WebSocket error: {e}")
            with self._ws_lock:
                self._ws_connected = False
            self._ws_ready.clear()
            if self._stop_event.is_set():
                return
            self.get_logger().info(f"WebSocket reconnecting in {RECONNECT_INTERVAL}s...")
            self._stop_event.wait(RECONNECT_INTERVAL)

    def _ws_on_open(self, ws):
        with self._ws_lock:
            self._ws_connected = True
        self._ws_ready.set()
        self.get_logger().info("WebSocket connected")

    def _ws_on_message(self, ws, message):
        try:
            data = json.loads(message)
            self.publisher.publish(String(data=message))
            self._last_data = data
        except json.JSONDecodeError as e:
            self.get_logger().error(f"JSON decode error: {e}")
        except Exception as e:
            self.get_logger().error(f"WS message error: {e}")

    def _ws_on_error(self, ws, error):
        self.get_logger().warn(f"WebSocket error: {error}", throttle_duration_sec=5)

    def _ws_on_close(self, ws, close_status_code, close_msg):
        with self._ws_lock:
            self._ws_connected = False
        self.get_logger().info("WebSocket disconnected")

    def send(self, control_id: str, value: Any, timeout: float = 5.0):
        timeout = float(timeout)
        if not self._ws_ready.wait(timeout):
            raise RuntimeError(f"WebSocket not connected after {timeout}s")
        try:
            self._ws.send(json.dumps({control_id: {"value": value}}))
        except Exception as e:
            with self._ws_lock:
                self._ws_connected = False
            raise RuntimeError(f"Send failed: {e}") from e

    def _on_message(self, msg: String):
        try:
            data = json.loads(msg.data)
            self.callback(data)
        except json.JSONDecodeError as e:
            self.get_logger().error(f"JSON decode error: {e}")
        except Exception as e:
            self.get_logger().error(f"Callback error: {e}")

    def get_latest(self) -> Dict[str, Any]:
        return self._last_data if self._last_data else {}

    def destroy_node(self):
        self._stop_event.set()
        if self._ws is not None:
            self._ws.close()
        super().destroy_node()


class Panel:
    """The control panel: on request, sends frames to the newest connection,
    one per credit, each stamped with its send time."""

    def __init__(self):
        self.loop = asyncio.new_event_loop()
        thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        thread.start()
        # The panel's own CPU time, to leave out of the process's: the rest is the client's.
        self.cpu_clock = time.pthread_getcpuclockid(thread.ident)
        self.connections = []
        self.server = self._run(self._serve())
        self.port = self.server.sockets[0].getsockname()[1]

    def _run(self, coro):
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result()

    async def _serve(self):
        async def handler(ws):
            self.connections.append(ws)
            await ws.wait_closed()
        return await serve(handler, "127.0.0.1", 0, compression=None)

    def send_frames(self, count, credits, stamps):
        async def go():
            ws = self.connections[-1]
            for seq in range(count):
                await credits.acquire()
                stamps[seq] = time.perf_counter_ns()
                await ws.send(f'{{"seq": {{"value": {seq}}}, "speed": {{"value": 0.5}}}}')
        self._run(go())

    def credit(self):
        return self._run(self._make_semaphore())

    async def _make_semaphore(self):
        return asyncio.Semaphore(WINDOW)

    def close(self):
        async def go():
            self.server.close()
            await self.server.wait_closed()
        self._run(go())
        self.loop.call_soon_threadsafe(self.loop.stop)


def run(kind, panel):
    received = [0] * FRAMES
    count = [0]
    credits = panel.credit()
    release = credits.release
    loop = panel.loop
    done = threading.Event()

    def on_control(data):
        received[data["seq"]["value"]] = time.perf_counter_ns()
        count[0] += 1
        loop.call_soon_threadsafe(release)
        if count[0] == FRAMES:
            done.set()

    if kind == "extension":
        from velk_dev_kit.panel_link import PanelLink as cls
    else:
        cls = PyPanelLink
    link = cls("bench01", on_control)
    executor = SingleThreadedExecutor()
    executor.add_node(link)
    spinner = threading.Thread(target=executor.spin, daemon=True)
    spinner.start()
    try:
        if not link._ws_ready.wait(5):
            raise RuntimeError("the link did not connect")
        stamps = [0] * FRAMES
        cpu, panel_cpu = time.process_time(), time.clock_gettime(panel.cpu_clock)
        panel.send_frames(FRAMES, credits, stamps)
        done.wait(60)
        client_cpu = (time.process_time() - cpu) - (time.clock_gettime(panel.cpu_clock) - panel_cpu)
        disconnected = not link._ws_ready.is_set()
    finally:
        executor.shutdown()
        spinner.join(5)
        link.destroy_node()
        link._ws_thread.join(5)
    arrived = [i for i in range(FRAMES) if received[i]]
    elapsed = (max(received) - stamps[0]) / 1e9
    latencies = sorted((received[i] - stamps[i]) / 1e3 for i in arrived)
    return {
        "fps": len(arrived) / elapsed,
        "median": statistics.median(latencies),
        "p99": latencies[int(0.99 * (len(latencies) - 1))],
        "lost": FRAMES - len(arrived),
        "cpu": client_cpu / max(len(arrived), 1),
        "disconnected": disconnected,
    }


def start(panel):
    os.environ["RCUTILS_LOGGING_USE_STDOUT"] = "0"
    os.environ["VELK_REMOTE_WS_URL"] = f"ws://127.0.0.1:{panel.port}/bench?id={{remote_id}}"
    os.environ.pop("VELK_REMOTE_NS", None)
    rclpy.init()


def python_only():
    """The plain-Python rounds alone, in a process that never loads the extension."""
    panel = Panel()
    start(panel)
    try:
        rounds = [run("python", panel) for _ in range(ROUNDS)]
    finally:
        rclpy.try_shutdown()
        panel.close()
    print(json.dumps({"fps": statistics.median(r["fps"] for r in rounds),
                      "lost": sum(r["lost"] for r in rounds),
                      "gil": sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True}))


def main():
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    print(f"Python {sys.version.split()[0]}{' free-threaded build' if free_threaded else ''}; "
          f"{FRAMES} frames, at most {WINDOW} in flight, {ROUNDS} paired rounds")
    panel = Panel()
    start(panel)
    results = {"python": [], "extension": []}
    try:
        for round_ in range(ROUNDS):
            # Alternating which side goes first keeps the order out of the pairs.
            for kind in sorted(results, reverse=round_ % 2 == 1):
                result = run(kind, panel)
                if result["disconnected"]:
                    print(f"  ({kind}: the link dropped during a round)")
                results[kind].append(result)
    finally:
        rclpy.try_shutdown()
        panel.close()
    for kind, rounds in results.items():
        fps = statistics.median(r["fps"] for r in rounds)
        median = statistics.median(r["median"] for r in rounds)
        p99 = statistics.median(r["p99"] for r in rounds)
        cpu = statistics.median(r["cpu"] for r in rounds)
        print(f"{kind:<10} {cpu * 1e6:7.1f} us client CPU/frame   {fps:9.0f} frames/s   "
              f"latency median {median:7.1f} us   p99 {p99:7.1f} us")
    # Each round pairs the two implementations back to back, so a load spike
    # from elsewhere on the machine hits one pair rather than one side.
    ratios = [e["fps"] / p["fps"] for p, e in zip(results["python"], results["extension"])]
    ratio = statistics.median(ratios)
    # Not slower: the median pair at least even, or evenness inside the spread
    # of the pairs (the two sides then differ by less than the noise).
    verdict = "ok" if ratio >= 1.0 else "within noise" if max(ratios) >= 1.0 else "MISSED"
    lost = sum(r["lost"] for rounds in results.values() for r in rounds)
    cpu_ratios = [p["cpu"] / e["cpu"] for p, e in zip(results["python"], results["extension"])]
    cpu_ratio = statistics.median(cpu_ratios)
    cpu_verdict = ("ok" if cpu_ratio >= 1.0 else "within noise" if max(cpu_ratios) >= 1.0
                   else "MISSED")
    print(f"client CPU per frame, plain Python / extension: median {cpu_ratio:.2f}x of paired "
          f"rounds {min(cpu_ratios):.2f}x..{max(cpu_ratios):.2f}x (target 1.00x: {cpu_verdict})")
    print(f"frame rate, extension / plain Python: median {ratio:.2f}x of paired rounds "
          f"{min(ratios):.2f}x..{max(ratios):.2f}x (target 1.00x: {verdict}); "
          f"frames lost: {lost} (target 0: {'ok' if lost == 0 else 'MISSED'})")
    medians = {kind: {key: statistics.median(r[key] for r in rounds) for key in ("cpu", "fps")}
               for kind, rounds in results.items()}
    ours, theirs = medians["extension"], medians["python"]
    _table.row("panel link", "client CPU per frame (ratio: median pair)", "us",
               ours["cpu"] * 1e6, "plain Python", theirs["cpu"] * 1e6, lower_is_better=True,
               target=1.0, ratio=cpu_ratio, verdict=cpu_verdict)
    _table.row("panel link", "frame rate (ratio: median pair)", "frames/s", ours["fps"],
               "plain Python", theirs["fps"], lower_is_better=False, target=1.0,
               ratio=ratio, verdict=verdict)
    _table.note("panel link", "frames lost", f"{lost} (target 0)",
                "ok" if lost == 0 else "MISSED")
    if free_threaded:
        # Loading the extension turns the interpreter's global lock on for the
        # whole process; plain Python alone keeps it off.
        alone = json.loads(subprocess.run([sys.executable, __file__, "--python-only"],
                                          capture_output=True, text=True, check=True).stdout)
        print(f"for reference, plain Python in a process without the extension "
              f"(global lock {'on' if alone['gil'] else 'off'}): {alone['fps']:.0f} frames/s, "
              f"{alone['lost']} lost")
    _table.flush()
    return 0 if verdict != "MISSED" and cpu_verdict != "MISSED" and lost == 0 else 1


if __name__ == "__main__":
    if sys.argv[1:] == ["--python-only"]:
        python_only()
    else:
        sys.exit(main())
