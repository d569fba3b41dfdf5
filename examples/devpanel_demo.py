"""The development panel, a robot and a scripted page, end to end.

Starts `python -m velk_dev_kit.devpanel`, connects the example robot of
devpanel_robot.py (a real PanelLink), then plays the browser page with a plain
WebSocket client: presses and releases the forward button, moves the speed slider,
writes in the chat box, and prints what the page gets back.
"""

import json
import os

import stand_in  # noqa: F401  (the ROS 2 stand-in, before rclpy)

import rclpy
from websockets.sync.client import connect

from devpanel_robot import DriveRobot, start_server

PAGE_FRAMES = [
    {"btn-forward": {"value": "down"}},
    {"slider-speed": {"value": 40}},
    {"btn-forward": {"value": "up"}},
    {"chat-1": {"value": "你好"}},
]


def page_says(page, until, timeout=5):
    """Prints what reaches the page until `until(message)` holds; False on time-out."""
    while True:
        try:
            message = json.loads(page.recv(timeout))
        except TimeoutError:
            print("[page] nothing more arrived")
            return False
        if message["type"] == "data":
            # as the page shows it (the wire has \u escapes for non-ASCII text)
            shown = json.dumps(json.loads(message["text"]), ensure_ascii=False)
            print(f"[page] <- robot: {shown}")
        else:
            print(f"[page] <- server: {message}")
        if until(message):
            return True


def main():
    server, url = start_server(0)
    print(f"[server] started; robots use VELK_REMOTE_WS_URL={url}")
    os.environ["VELK_REMOTE_WS_URL"] = url
    started_ros = not rclpy.ok()
    if started_ros:
        rclpy.init()
    page_url = url.replace("/robot?id={remote_id}", "/page?id=demo_panel")
    robot = None
    try:
        with connect(page_url, open_timeout=5) as page:
            page_says(page, lambda m: m["type"] == "status")
            robot = DriveRobot("demo_panel", log=print)
            page_says(page, lambda m: m.get("robots") == 1)
            for frame in PAGE_FRAMES:
                text = json.dumps(frame, ensure_ascii=False, separators=(",", ":"))
                print(f"[page] -> {text}")
                page.send(text)
                page_says(page, lambda m: m["type"] == "data")
            print(f"[robot] latest data: {robot.link.get_latest()}")
            robot.close()
            robot = None
            page_says(page, lambda m: m.get("robots") == 0)
    finally:
        if robot is not None:
            robot.close()
        if started_ros:
            rclpy.try_shutdown()
        server.terminate()
        server.wait(10)


if __name__ == "__main__":
    main()
