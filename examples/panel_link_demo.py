"""A PanelLink talking to a control panel played by a local WebSocket server.

The panel presses and releases the forward button and moves the speed slider;
the application's callback sees each change, and the application answers the
panel's chat control with send().
"""

import asyncio
import os
import threading

import stand_in  # noqa: F401  (the ROS 2 stand-in, before rclpy)

import rclpy
from rclpy.executors import SingleThreadedExecutor
from websockets.asyncio.server import serve

from velk_dev_kit import PanelLink

PANEL_FRAMES = [
    '{"btn-forward": {"value": "down"}, "slider-speed": {"value": 30}}',
    '{"btn-forward": {"value": "down"}, "slider-speed": {"value": 50}}',
    '{"btn-forward": {"value": "up"}, "slider-speed": {"value": 50}}',
]


class Panel:
    """Stands in for the browser panel: sends control data, prints what it gets."""

    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()
        self.received = threading.Event()
        self.server = asyncio.run_coroutine_threadsafe(self._serve(), self.loop).result(5)
        self.port = self.server.sockets[0].getsockname()[1]

    async def _serve(self):
        return await serve(self._handler, "127.0.0.1", 0)

    async def _handler(self, ws):
        print(f"[panel] robot connected on {ws.request.path}")
        for frame in PANEL_FRAMES:
            await asyncio.sleep(0.2)
            print(f"[panel] -> {frame}")
            await ws.send(frame)
        async for frame in ws:
            print(f"[panel] <- {frame}")
            self.received.set()

    def close(self):
        async def stop():
            self.server.close()
            await self.server.wait_closed()
        asyncio.run_coroutine_threadsafe(stop(), self.loop).result(5)
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(5)


def main():
    panel = Panel()
    os.environ["VELK_REMOTE_WS_URL"] = f"ws://127.0.0.1:{panel.port}/robot?panel={{remote_id}}"
    os.environ.setdefault("VELK_REMOTE_NS", "demo")
    started_ros = not rclpy.ok()
    if started_ros:
        rclpy.init()
    seen = threading.Event()

    def on_control(data):
        forward = data.get("btn-forward", {}).get("value")
        speed = data.get("slider-speed", {}).get("value")
        print(f"[robot] control data: forward={forward} speed={speed}")
        if forward == "up":
            seen.set()

    rc = PanelLink(remote_id="demo_panel", callback=on_control)
    executor = SingleThreadedExecutor()
    executor.add_node(rc)
    spinner = threading.Thread(target=executor.spin, daemon=True)
    spinner.start()
    try:
        if not seen.wait(5):
            print("[robot] no control data arrived")
        print(f"[robot] latest data: {rc.get_latest()}")
        rc.send("chat-1", "收到，正在执行")
        if not panel.received.wait(5):
            print("[robot] the panel did not receive the reply")
    finally:
        executor.shutdown()
        spinner.join(5)
        rc.destroy_node()
        rc._ws_thread.join(5)
        if started_ros:
            rclpy.try_shutdown()
        panel.close()


if __name__ == "__main__":
    main()
