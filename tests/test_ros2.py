"""The relay and the panel link between processes over real DDS, and the examples.

The cases across processes need a real ROS 2 (the ros part of make test); the
in-process stand-in carries no message from one process to another.
"""
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest
from conftest import REAL_ROS, log_records, run_python, start_python

import rclpy
from rclpy.executors import MultiThreadedExecutor, SingleThreadedExecutor
from rclpy.node import Node
from std_msgs.msg import String

from test_panel_link import panel, wait_until  # noqa: F401  (panel: the fixture)

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
across_processes = pytest.mark.skipif(not REAL_ROS, reason="needs DDS between processes")


class Child:
    """A program in a child interpreter that says "ready" on stdout when it is set up
    and runs until its stdin closes (or it is signalled)."""

    def __init__(self, program, env=None):
        self.process = start_python(textwrap.dedent(program), env=env, text=True,
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE)
        line = self.process.stdout.readline()
        if line.strip() != "ready":
            self.process.kill()
            raise AssertionError(f"child not ready: {line!r}\n{self.process.communicate()[1]}")

    def end(self, timeout=20):
        """Closes its stdin; (exit status, stdout, stderr) once it has ended."""
        try:
            out, err = self.process.communicate("", timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            out, err = self.process.communicate()
            raise AssertionError(f"child did not end:\n{err[-3000:]}")
        return self.process.returncode, out, err


def spin_until(executor, predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        executor.spin_once(timeout_sec=0.01)


RELAY_PROGRAM = """
import sys, threading, time, rclpy
from rclpy.executors import SingleThreadedExecutor
from std_msgs.msg import String
from velk_dev_kit import SimpleTopicRelay, SyncRoute
rclpy.init()
relay = SimpleTopicRelay()
relay.batch_register([SyncRoute("/x/talk", String, target_topic="/x/all", frequency=0),
                      SyncRoute("/x/talk", String, target_topic="/x/slow", frequency=5.0)])
relay.setup()
ex = SingleThreadedExecutor()
ex.add_node(relay)
threading.Thread(target=ex.spin, daemon=True).start()
# Discovery first: what is published before the listeners match is lost.
while any(p.get_subscription_count() < 1 for p in relay._route_publishers.values()):
    time.sleep(0.01)
print("ready", flush=True)
sys.stdin.read()
ex.shutdown()
relay.destroy_node()
rclpy.shutdown()
"""


@across_processes
def test_relay_in_another_process(ros_context):
    node = Node("talker_and_listeners")
    got = {"/x/talk": [], "/x/all": [], "/x/slow": []}
    for topic in got:
        node.create_subscription(String, topic, lambda m, t=topic: got[t].append(m.data), 100)
    talker = node.create_publisher(String, "/x/talk", 100)
    relay = Child(RELAY_PROGRAM)
    executor = SingleThreadedExecutor()
    executor.add_node(node)
    try:
        spin_until(executor, lambda: talker.get_subscription_count() >= 2, 20, "discovery")
        sent, duration, rate = 0, 2.0, 50
        start = time.monotonic()
        while time.monotonic() - start < duration:
            talker.publish(String(data=f"m{sent}"))
            sent += 1
            until = start + sent / rate
            while time.monotonic() < until:
                executor.spin_once(timeout_sec=max(0.0, until - time.monotonic()))
        spin_until(executor, lambda: len(got["/x/all"]) >= len(got["/x/talk"]) == sent, 10,
                   "the relayed messages")
        end = time.monotonic() + 0.3  # nothing more may follow
        while time.monotonic() < end:
            executor.spin_once(timeout_sec=0.05)
    finally:
        status, _, err = relay.end()
        executor.shutdown()
    assert status == 0, err[-3000:]
    assert got["/x/all"] == got["/x/talk"] == [f"m{i}" for i in range(sent)]
    # 5 a second over two seconds, the first at once; fewer only when the
    # relay fell behind the talker.
    assert 6 <= len(got["/x/slow"]) <= 5 * (time.monotonic() - start) + 1, got["/x/slow"]
    assert set(got["/x/slow"]) <= set(got["/x/talk"])


LINK_PROGRAM = """
import sys, threading, time, rclpy
from rclpy.executors import SingleThreadedExecutor
from velk_dev_kit import PanelLink
rclpy.init()
seen = []
link = PanelLink("{remote_id}", seen.append)
ex = SingleThreadedExecutor()
ex.add_node(link)
threading.Thread(target=ex.spin, daemon=True).start()
link.send("hello", 1, timeout=15)
while link.publisher.get_subscription_count() < 2:  # its own and the listener's
    time.sleep(0.01)
print("ready", flush=True)
sys.stdin.read()
deadline = time.monotonic() + 10
while len(seen) < {callbacks} and time.monotonic() < deadline:
    time.sleep(0.01)
print(seen)
ex.shutdown()
link.destroy_node()
rclpy.shutdown()
"""


@across_processes
def test_link_topic_heard_by_another_process(ros_context, panel):
    env = dict(os.environ, VELK_REMOTE_WS_URL=f"ws://127.0.0.1:{panel.port}/panel?id={{remote_id}}",
               VELK_REMOTE_NS="robot7")
    node = Node("panel_listener")
    heard = []
    node.create_subscription(String, "/robot7/_panel_link/far_panel",
                             lambda m: heard.append(m.data), 10)
    link = Child(LINK_PROGRAM.format(remote_id="far_panel", callbacks=2), env=env)
    executor = SingleThreadedExecutor()
    executor.add_node(node)
    frames = ['{"btn-forward": {"value": "down"}}', '{"slider-speed": {"value": 50}}']
    try:
        assert panel.paths == ["/panel?id=far_panel&role=container"]
        for frame in frames:
            panel.send(frame)
        spin_until(executor, lambda: len(heard) >= 2, 10, "the republished frames")
    finally:
        status, out, err = link.end()
        executor.shutdown()
    assert status == 0, err[-3000:]
    assert heard == frames
    assert panel.frames[0] == (1, '{"hello": {"value": 1}}')
    assert out.strip() == "[{'btn-forward': {'value': 'down'}}, {'slider-speed': {'value': 50}}]"


def test_links_share_a_multithreaded_executor(ros_context, panel, monkeypatch):
    from velk_dev_kit import PanelLink

    monkeypatch.setenv("VELK_REMOTE_WS_URL", f"ws://127.0.0.1:{panel.port}/p?id={{remote_id}}")
    ids = [f"panel_{i}" for i in range(4)]
    received = {i: [] for i in ids}
    links = [PanelLink(i, received[i].append) for i in ids]
    executor = MultiThreadedExecutor(num_threads=3)
    for link in links:
        executor.add_node(link)
    spinner = threading.Thread(target=executor.spin, daemon=True)
    spinner.start()
    try:
        wait_until(lambda: len(panel.connections) == len(ids), 10, "every link")
        by_id = {ws.request.path.split("id=")[1].split("&")[0]: ws for ws in panel.connections}
        for n in range(5):
            for i in ids:
                panel._run(by_id[i].send(f'{{"{i}": {{"value": {n}}}}}'))
        wait_until(lambda: all(len(r) == 5 for r in received.values()), 10, "every callback")
    finally:
        executor.shutdown()
        spinner.join(5)
        for link in links:
            link.destroy_node()
    for i, link in zip(ids, links):
        assert received[i] == [{i: {"value": n}} for n in range(5)]
        assert link.get_latest() == {i: {"value": 4}}


SIGINT_PROGRAM = """
import os, time, rclpy
from velk_dev_kit import PanelLink
rclpy.init()
link = PanelLink("sig_panel", print)
print("ready", flush=True)
try:
    rclpy.spin(link)
except KeyboardInterrupt:
    # rclpy's handler shuts the context down; Kilted's only a moment later
    end = time.monotonic() + 5
    while rclpy.ok() and time.monotonic() < end:
        time.sleep(0.01)
    print("interrupted", rclpy.ok(), flush=True)
link.destroy_node()
rclpy.try_shutdown()  # the real library's handler has already shut the context down
print("ended", flush=True)
"""


@pytest.mark.parametrize("reachable", [True, False])
def test_sigint_while_spinning_then_destroy_and_shutdown(panel, reachable):
    port = panel.port if reachable else 9  # discard: nothing listens
    env = dict(os.environ, VELK_REMOTE_WS_URL=f"ws://127.0.0.1:{port}/p?id={{remote_id}}")
    child = Child(SIGINT_PROGRAM, env=env)
    if reachable:
        wait_until(lambda: panel.connections, 10, "the link")
    time.sleep(0.3)
    child.process.send_signal(signal.SIGINT)
    status, out, err = child.end()
    # rclpy's handler has shut the context down: ok() is False before any shutdown.
    assert (status, out.split()) == (0, ["interrupted", "False", "ended"]), err[-3000:]
    if reachable:
        assert [r for r in log_records(err) if r.severity == "ERROR"] == []


@pytest.mark.parametrize("example", sorted(p.stem for p in EXAMPLES.glob("*_demo.py")))
def test_example_runs(example):
    result = run_python(None, str(EXAMPLES / f"{example}.py"), timeout=120,
                        env=dict(os.environ, PYTHONPATH=str(EXAMPLES)))
    assert result.returncode == 0, result.stderr[-3000:]
    assert "Traceback" not in result.stderr
