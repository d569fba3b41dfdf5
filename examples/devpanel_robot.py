"""An example robot application for the development panel: make panel.

It drives a pretend base from the panel's direction buttons and speed slider,
reports what it does to a "status" control, and answers the chat box. With no
options it starts the development panel server as well and names the page to open;
with --robot-only it connects to the panel that VELK_REMOTE_WS_URL names.
"""

import argparse
import os
import signal
import subprocess
import sys
import threading
import warnings

import stand_in  # noqa: F401  (the ROS 2 stand-in, before rclpy)

warnings.filterwarnings("ignore", "The global interpreter lock", RuntimeWarning)

import rclpy  # noqa: E402
from rclpy.executors import SingleThreadedExecutor  # noqa: E402

from velk_dev_kit import PanelLink  # noqa: E402

PANEL_ID = "demo_panel"
DIRECTIONS = {"btn-forward": "forward", "btn-back": "back", "btn-left": "left",
              "btn-right": "right"}


class DriveRobot:
    """The application: one PanelLink, spun on its own executor thread."""

    def __init__(self, panel_id=PANEL_ID, log=print):
        self.log = log
        self.direction = None
        self.speed = 0
        self.link = PanelLink(remote_id=panel_id, callback=self.on_control)
        self._executor = SingleThreadedExecutor()
        self._executor.add_node(self.link)
        self._spinner = threading.Thread(target=self._executor.spin, daemon=True)
        self._spinner.start()

    def on_control(self, data):
        if not isinstance(data, dict):
            return
        for control, entry in data.items():
            value = entry.get("value") if isinstance(entry, dict) else entry
            self.log(f"[robot] {control} = {value!r}")
            if control in DIRECTIONS:
                if value == "down":
                    self.direction = DIRECTIONS[control]
                elif value == "up" and self.direction == DIRECTIONS[control]:
                    self.direction = None
                self.report()
            elif control == "slider-speed" and isinstance(value, (int, float)):
                self.speed = value
                if self.direction:
                    self.report()
            elif control == "chat-1":
                self.reply("chat-1", f"收到，正在执行: {value}")

    def report(self):
        state = f"moving {self.direction} at speed {self.speed}" if self.direction else "stopped"
        self.reply("status", state)

    def reply(self, control, value):
        try:
            self.link.send(control, value)
        except RuntimeError as e:  # the panel went away; it is told again on reconnect
            self.log(f"[robot] could not send {control}: {e}")

    def close(self):
        self._executor.shutdown()
        self._spinner.join(5)
        self.link.destroy_node()
        self.link._ws_thread.join(5)


def start_server(port, *args):
    """Starts `python -m velk_dev_kit.devpanel`; returns (process, robot URL template)."""
    server = subprocess.Popen(
        [sys.executable, "-m", "velk_dev_kit.devpanel", "--port", str(port), *args],
        stdout=subprocess.PIPE, text=True)
    for line in server.stdout:
        if line.startswith("VELK_REMOTE_WS_URL="):
            return server, line.strip().split("=", 1)[1]
    server.wait()
    raise RuntimeError(f"the development panel server did not start (exit {server.returncode})")


def page_address(robot_url, panel_id):
    base = robot_url.replace("ws://", "http://", 1).split("/robot", 1)[0]
    return f"{base}/?id={panel_id}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--id", default=PANEL_ID, help="panel id (default: %(default)s)")
    parser.add_argument("--port", type=int, default=8765, help="server port (default: %(default)s)")
    parser.add_argument("--layout", metavar="FILE", help="layout file for the server")
    parser.add_argument("--robot-only", action="store_true",
                        help="start no server; connect to VELK_REMOTE_WS_URL")
    args = parser.parse_args(argv)
    # Stop cleanly, server included, on Ctrl-C and on a plain kill alike.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    server = robot = None
    started_ros = not rclpy.ok()
    try:
        if not args.robot_only:
            layout = ["--layout", args.layout] if args.layout else []
            server, url = start_server(args.port, *layout)
            os.environ["VELK_REMOTE_WS_URL"] = url
        url = os.environ.get("VELK_REMOTE_WS_URL", "")
        if started_ros:
            rclpy.init()
        robot = DriveRobot(args.id)
        print(f"\nOpen {page_address(url, args.id)} in a browser (Ctrl-C stops).\n"
              f"Other robots connect with VELK_REMOTE_WS_URL={url}\n", flush=True)
        threading.Event().wait()
    except (KeyboardInterrupt, SystemExit):
        pass
    finally:
        if robot is not None:
            robot.close()
        if started_ros:
            rclpy.try_shutdown()
        if server is not None:
            server.terminate()
            server.wait(10)


if __name__ == "__main__":
    main()
