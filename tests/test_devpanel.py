"""The development panel: its relay over real sockets, and its page in headless Chromium."""
import contextlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest
from websockets.exceptions import ConnectionClosed
from websockets.sync.client import connect

from velk_dev_kit.devpanel import DEFAULT_LAYOUT, MAX_FRAME, DevPanel, LayoutError, load_layout

CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"


def wait_until(predicate, timeout=5.0, what="condition"):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.005)
    return value


@pytest.fixture
def server():
    with DevPanel(port=0).running() as panel:
        yield panel


class Page:
    """Plays the browser page: sends control frames, reads the server's messages."""

    def __init__(self, ws):
        self.ws = ws
        self.robots = self.status()

    def next(self, timeout=5):
        return json.loads(self.ws.recv(timeout))

    def status(self):
        message = self.next()
        assert message["type"] == "status", message
        return message["robots"]

    def data(self):
        message = self.next()
        assert message["type"] == "data", message
        return message["text"]


class Peers:
    """Robots and pages connected to one server; all closed after the test."""

    def __init__(self, server, stack):
        self.url = f"ws://127.0.0.1:{server.port}"
        self.stack = stack

    def _connect(self, path):
        # No size limit of their own: the server's is the one under test.
        return self.stack.enter_context(connect(self.url + path, open_timeout=5,
                                                close_timeout=2, max_size=None))

    def robot(self, panel_id):
        return self._connect(f"/robot?id={panel_id}&role=container")

    def page(self, panel_id):
        return Page(self._connect(f"/page?id={panel_id}"))


@pytest.fixture
def peers(server):
    with contextlib.ExitStack() as stack:
        yield Peers(server, stack)


def quiet(ws, seconds=0.15):
    """Nothing arrives on ws for a while."""
    with pytest.raises(TimeoutError):
        ws.recv(seconds)


def drop(ws):
    """Ends a connection without a closing handshake, as a killed process would."""
    ws.socket.shutdown(socket.SHUT_RDWR)
    ws.close()


def assert_serving(peers):
    """A fresh robot and page of a new id still talk through the server."""
    panel_id = f"probe-{time.monotonic_ns()}"
    r = peers.robot(panel_id)
    page = peers.page(panel_id)
    assert page.robots == 1
    page.ws.send('{"probe": {"value": 1}}')
    assert r.recv(5) == '{"probe": {"value": 1}}'
    page.ws.close()
    r.close()


# ------------------------------------------------------------ relay

@pytest.mark.parametrize("frame", [
    '{"btn-forward":{"value":"down"}}',
    '{ "chat-1" : {"value": "收到，正在执行 😀"},\n"n": {"value": 1.50} }',  # kept verbatim
    '{"big": {"value": "' + "x" * (MAX_FRAME - 22) + '"}}',  # exactly the limit
], ids=["plain", "verbatim", "limit"])
def test_relay_by_panel_id_both_ways(server, peers, frame):
    assert len(frame.encode()) <= MAX_FRAME
    a1, a2, b1 = peers.page("A"), peers.page("A"), peers.page("B")
    assert (a1.robots, a2.robots, b1.robots) == (0, 0, 0)
    ra, rb = peers.robot("A"), peers.robot("B")
    assert (a1.status(), a2.status(), b1.status()) == (1, 1, 1)
    a2.ws.send(frame)
    assert ra.recv(5) == frame
    b1.ws.send('{"only": {"value": "B"}}')
    assert rb.recv(5) == '{"only": {"value": "B"}}'
    quiet(ra), quiet(rb), quiet(a1.ws)  # pages never see each other's frames

    ra.send(frame)
    assert a1.data() == frame and a2.data() == frame
    quiet(b1.ws)
    ra2 = peers.robot("A")  # a second robot of the same id gets page frames too
    assert a1.status() == a2.status() == 2 and server.robots("A") == 2
    a1.ws.send('{"x": {"value": 2}}')
    assert ra.recv(5) == ra2.recv(5) == '{"x": {"value": 2}}'
    ra2.close()
    assert a1.status() == a2.status() == 1
    ra.close(), rb.close()
    assert a1.status() == 0 and b1.status() == 0
    for page in (a1, a2, b1):
        page.ws.close()
    wait_until(lambda: not server._panels, what="empty panels forgotten")


@pytest.mark.parametrize("leave", [lambda ws: ws.close(), drop], ids=["close", "drop"])
def test_peers_that_leave_and_robots_that_return(server, peers, leave):
    p1, p2 = peers.page("A"), peers.page("A")
    r1 = peers.robot("A")
    assert p1.status() == p2.status() == 1
    leave(p1.ws)
    r1.send('{"after": {"value": "page left"}}')
    assert p2.data() == '{"after": {"value": "page left"}}'
    leave(r1)
    assert p2.status() == 0 and server.robots("A") == 0
    p2.ws.send('{"nobody": {"value": 0}}')  # no robot: dropped, the page stays
    r2 = peers.robot("A")  # the robot reconnects
    assert p2.status() == 1
    p2.ws.send('{"back": {"value": true}}')
    assert r2.recv(5) == '{"back": {"value": true}}'
    r2.send('{"hello": {"value": "again"}}')
    assert p2.data() == '{"hello": {"value": "again"}}'
    assert_serving(peers)


@pytest.mark.parametrize("sender, frame, outcome", [
    ("page", b'{"a": {"value": 1}}', (1003, "binary frames are refused; send JSON text")),
    ("robot", b'{"a": {"value": 1}}', (1003, "binary frames are refused; send JSON text")),
    ("page", "x" * (MAX_FRAME + 1), (1009, f"exceeds limit of {MAX_FRAME} bytes")),
    ("robot", '"' + "x" * MAX_FRAME + '"', (1009, f"exceeds limit of {MAX_FRAME} bytes")),
    ("page", b"\xff\xfe", (1007, "invalid start byte")),  # a text frame that is not UTF-8
    ("page", "not json", "frame refused: not JSON (Expecting value: line 1 column 1 (char 0))"),
    ("page", "[1, 2]", "frame refused: not a JSON object of control values"),
    ("page", "[" * 200_000, "frame refused: not JSON (nested too deeply)"),
    ("robot", '{"a": ', "robot frame refused: not JSON (Expecting value: line 1 column 7 "
                        "(char 6))"),
], ids=["page-binary", "robot-binary", "page-oversized", "robot-oversized", "not-utf8",
        "not-json", "not-object", "deep", "robot-not-json"])
def test_refused_input(peers, sender, frame, outcome):
    page = peers.page("A")
    r = peers.robot("A")
    assert page.status() == 1
    ws = page.ws if sender == "page" else r
    ws.send(frame, text=True if frame == b"\xff\xfe" else None)
    if isinstance(outcome, tuple):  # the sender's connection is closed, with a reason
        with pytest.raises(ConnectionClosed):
            ws.recv(5)
        code, reason = outcome
        assert ws.protocol.close_rcvd.code == code
        assert reason in ws.protocol.close_rcvd.reason
        if sender == "robot":
            assert page.status() == 0
    else:  # refused with an error line to the page; nothing reaches the robot
        assert page.next() == {"type": "error", "message": outcome}
        quiet(r)
        page.ws.send('{"still": {"value": "open"}}')
        assert r.recv(5) == '{"still": {"value": "open"}}'
    assert_serving(peers)


def http(port, request):
    """Sends raw request bytes; returns (status, headers, body) of the answer."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(request)
        answer = b""
        while b"\r\n\r\n" not in answer and (chunk := s.recv(65536)):
            answer += chunk
        if not answer:
            return None, {}, b""  # closed without an answer
        head, _, body = answer.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        headers = dict(line.split(": ", 1) for line in lines[1:])
        while len(body) < int(headers.get("Content-Length", 0)) and (chunk := s.recv(65536)):
            body += chunk
    return int(lines[0].split()[1]), headers, body


UPGRADE = ("Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n")


@pytest.mark.parametrize("path, extra, status, body", [
    ("/?id=abc", "", 200, b'<script src="/panel.js">'),
    ("/panel.js", "", 200, b"data-control-id"),
    ("/panel.css", "", 200, b".card"),
    ("/favicon.ico", "", 204, b""),
    ("/nowhere", "", 404, b"no page at /nowhere"),
    ("/other", UPGRADE, 404, b"no WebSocket endpoint at /other"),
    ("/robot?role=container", UPGRADE, 400, b"connect to /robot?id=<panel id> with one panel id"),
    ("/page?id=a&id=b", UPGRADE, 400, b"with one panel id"),
    ("/robot?id=" + "x" * 201, UPGRADE, 400, b"panel id longer than 200 characters"),
    ("/robot?id=a&role=page", UPGRADE, 400, b"robots connect with role=container"),
    # a web page of another site must not drive the robot through the user's browser
    ("/page?id=a", UPGRADE + "Origin: http://elsewhere.example\r\n", 403,
     b"connections from origin 'http://elsewhere.example' are refused"),
    ("/page?id=a", UPGRADE.replace("Upgrade: websocket", "Upgrade: WebSocket"), 101, b""),
])
def test_http_answers(server, path, extra, status, body):
    got, headers, content = http(server.port, (
        f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{server.port}\r\n{extra}\r\n").encode())
    assert got == status
    assert body in content
    if path.startswith("/?"):
        assert headers["Content-Type"] == "text/html; charset=utf-8"
        assert int(headers["Content-Length"]) == len(content)
        assert json.dumps(DEFAULT_LAYOUT).encode() in content


@pytest.mark.parametrize("request_bytes, status", [
    (b"GET /?id=a HTTP/1.1\r\nHost: attacker.example:8765\r\n\r\n", {403}),  # name rebound
    (b"POST /?id=a HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n", {400, 405}),
    (b"\x16\x03\x01\x02\x00garbage\r\n\r\n", {400, None}),
    (b"GET /" + b"a" * 10000 + b" HTTP/1.1\r\n\r\n", {400, 414}),
], ids=["rebound-host", "post", "tls", "long-line"])
def test_malformed_requests(server, peers, request_bytes, status):
    assert http(server.port, request_bytes)[0] in status
    assert_serving(peers)


# ------------------------------------------------------------ layouts and the command line

@pytest.mark.parametrize("content, error", [
    ('[{"id": "a", "kind": "dial"}]', "'kind' must be one of button, slider, switch, text"),
    ('[{"id": "a", "kind": "button"}, {"id": "a", "kind": "text"}]', "'a' appears twice"),
    ('[{"id": "s", "kind": "slider", "range": [5, 5]}]', "minimum must be below its maximum"),
    ('[{"id": "s", "kind": "slider", "range": [0, true]}]', "expected a finite number, got true"),
    ('[{"id": "b", "kind": "button", "range": [0, 1]}]', "only sliders take a 'range'"),
    ('[{"id": "", "kind": "button"}]', "'id' must be a non-empty string"),
    ('{"controls": []}', "a layout is a non-empty list of controls"),
    ('[{"id": "a", "kind": "text", "colour": 1}]', "unknown key(s) colour"),
    ("[{", "is not valid JSON"),
])
def test_layout_errors(tmp_path, content, error):
    path = tmp_path / "layout.json"
    path.write_text(content)
    with pytest.raises(LayoutError) as info:
        load_layout(path)
    assert error in str(info.value) and str(path) in str(info.value)


def test_command_line(tmp_path):
    layout = tmp_path / "layout.json"
    layout.write_text(json.dumps({"controls": [
        {"id": "sw-lights", "kind": "switch", "label": "Lights </script>"},
        {"id": "arm", "kind": "slider", "range": [-1, 1, 0.5]}]}))
    command = [sys.executable, "-m", "velk_dev_kit.devpanel", "--port", "0"]
    bad = subprocess.run(command + ["--layout", str(tmp_path / "missing.json")],
                         capture_output=True, text=True, timeout=30)
    assert bad.returncode == 2 and "cannot read" in bad.stderr
    child = subprocess.Popen(command + ["--layout", str(layout)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        line = child.stdout.readline().rstrip("\n")
        assert re.fullmatch(r"VELK_REMOTE_WS_URL=ws://127\.0\.0\.1:\d+/robot\?id=\{remote_id\}",
                            line), line
        port = int(line.split(":")[2].split("/")[0])
        assert child.stdout.readline().startswith(f"Panel page: http://127.0.0.1:{port}/?id=")
        status, _, body = http(port, b"GET /?id=x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        assert status == 200 and b'"id": "sw-lights"' in body
        assert b"Lights \\u003c/script>" in body  # a label cannot end the page's script
    finally:
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=10)
    assert child.returncode == 0, err
    assert "Traceback" not in err


# ------------------------------------------------------------ in a real browser

def chromium_driver(patch):
    if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
        pytest.skip(f"Chromium is not installed ({CHROMIUM} and {CHROMEDRIVER}, Debian packages "
                    "chromium and chromium-driver): the set-up could not install them here")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.selenium_manager import SeleniumManager

    def refuse(*args, **kwargs):
        raise AssertionError("selenium-manager must not run: it would download a driver")
    patch.setattr(SeleniumManager, "binary_paths", refuse)
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--window-size=900,760", "--no-first-run", "--no-default-browser-check",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--disable-extensions", "--lang=en-US"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)


# The sanitizer runtime, preloaded into every child process, aborts Chromium.
NOT_UNDER_SANITIZERS = pytest.mark.no_sanitizers("Chromium cannot start with the sanitizer "
                                                 "runtime preloaded")


@pytest.fixture(scope="module")
def driver():
    with pytest.MonkeyPatch.context() as patch:
        browser = chromium_driver(patch)
        browser.set_page_load_timeout(10)
        yield browser
        browser.quit()


class Robot:
    """A real PanelLink on the stand-in, spun on its own thread; records what it gets."""

    def __init__(self, panel_id):
        import rclpy
        from rclpy.executors import SingleThreadedExecutor
        from std_msgs.msg import String

        from velk_dev_kit import PanelLink
        self.got, self.texts = [], []
        self.link = PanelLink(panel_id, self.got.append)
        self.listener = rclpy.create_node(f"listener_{len(panel_id)}")
        self.listener.create_subscription(String, f"/default/_panel_link/{panel_id}",
                                          lambda m: self.texts.append(m.data), 10)
        self.executor = SingleThreadedExecutor()
        self.executor.add_node(self.link)
        self.executor.add_node(self.listener)
        self.spinner = threading.Thread(target=self.executor.spin, daemon=True)
        self.spinner.start()
        wait_until(self.link._ws_ready.is_set, what="robot connected")

    def received(self, frames):
        """Waits until exactly `frames` (JSON texts) have reached the callback and topic."""
        wait_until(lambda: len(self.got) >= len(frames) and len(self.texts) >= len(frames),
                   what=f"{len(frames)} frames")
        time.sleep(0.1)  # and no more
        assert self.texts == frames
        assert self.got == [json.loads(f) for f in frames]
        assert self.link.get_latest() == json.loads(frames[-1])

    def close(self):
        self.executor.shutdown()
        self.spinner.join(5)
        self.link.destroy_node()
        self.listener.destroy_node()
        self.link._ws_thread.join(5)


class Bench:
    """One panel server, its page in the browser and the robots connected to it."""

    def __init__(self, driver, monkeypatch, layout):
        self.driver = driver
        self.server = DevPanel(port=0, layout=layout)
        self._serving = self.server.running()
        self._serving.__enter__()
        self.robots = []
        monkeypatch.setenv("VELK_REMOTE_WS_URL", self.server.robot_url)
        monkeypatch.delenv("VELK_REMOTE_NS", raising=False)
        driver.get(self.server.page_url(PANEL_ID))
        self.wait_status("disconnected", "no robot connected")

    def robot(self):
        self.robots.append(Robot(PANEL_ID))
        self.wait_status("connected", "robot connected")
        return self.robots[-1]

    def wait(self, predicate, what):
        from selenium.webdriver.support.ui import WebDriverWait
        WebDriverWait(self.driver, 5).until(lambda d: predicate(), message=f"page: {what}")

    def wait_status(self, state, text):
        status = self.driver.find_element("id", "robot-status")
        self.wait(lambda: (status.get_attribute("data-robot"), status.text) == (state, text),
                  f"robot status {state!r}")

    def control(self, control_id):
        return self.driver.find_element("css selector", f'[data-control-id="{control_id}"]')

    def shown(self, control_id):
        return self.driver.find_element("css selector", f'[data-value-for="{control_id}"]').text

    def messages(self):
        return [e.text.split(" ", 1)[1] for e in self.driver.find_elements("css selector",
                                                                            "#messages li")]

    def close(self):
        for robot in self.robots:
            robot.close()
        self.driver.get("about:blank")
        self._serving.__exit__(None, None, None)


PANEL_ID = "demo_panel"


@pytest.fixture
def bench(driver, ros_context, monkeypatch):
    """bench(layout=None) serves a panel and opens its page; closed after the test."""
    benches = []

    def open_bench(layout=None):
        benches.append(Bench(driver, monkeypatch, layout))
        return benches[-1]
    yield open_bench
    for one in benches:
        one.close()


def as_text(frame):
    """A frame as the page's JSON.stringify writes it."""
    return json.dumps(frame, ensure_ascii=False, separators=(",", ":"))


@NOT_UNDER_SANITIZERS
def test_browser_controls_reach_the_link(driver, bench, tmp_path):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.keys import Keys
    panel = bench()
    robot = panel.robot()
    assert driver.find_element("id", "panel-id").text == PANEL_ID
    ids = [e.get_attribute("data-control-id")
           for e in driver.find_elements("css selector", "[data-control-id]")]
    assert ids == [c["id"] for c in DEFAULT_LAYOUT]

    forward = panel.control("btn-forward")
    ActionChains(driver).click_and_hold(forward).perform()
    panel.wait(lambda: "down" in forward.get_attribute("class"), "button held")
    robot.received([as_text({"btn-forward": {"value": "down"}})])
    ActionChains(driver).release(forward).perform()
    slider = panel.control("slider-speed")
    slider.send_keys(Keys.ARROW_RIGHT, Keys.ARROW_RIGHT, Keys.END)
    panel.control("chat-1").send_keys("前进 two metres", Keys.ENTER)
    expected = [{"btn-forward": {"value": "down"}}, {"btn-forward": {"value": "up"}},
                {"slider-speed": {"value": 1}}, {"slider-speed": {"value": 2}},
                {"slider-speed": {"value": 100}}, {"chat-1": {"value": "前进 two metres"}}]
    robot.received([as_text(f) for f in expected])
    assert panel.control("chat-1").get_attribute("value") == ""  # sent and cleared

    # What the robot sends back shows on the control of that id; other ids in the list.
    robot.link.send("chat-1", "On my way")
    robot.link.send("slider-speed", 35)
    robot.link.send("status", {"battery": 0.8})
    panel.wait(lambda: panel.shown("chat-1") == "On my way", "reply in the text box")
    panel.wait(lambda: slider.get_attribute("value") == "35", "slider moved")
    panel.wait(lambda: 'status: {"battery":0.8}' in panel.messages(), "unknown id listed")
    picture = tmp_path / "devpanel.png"
    assert driver.find_element("tag name", "body").screenshot(str(picture))
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    if os.environ.get("DEVPANEL_SCREENSHOT"):  # how docs/devpanel.png is made
        shutil.copy(picture, os.environ["DEVPANEL_SCREENSHOT"])


@NOT_UNDER_SANITIZERS
def test_browser_robot_values_switch_and_reconnect(driver, bench):
    from selenium.webdriver.common.keys import Keys
    layout = [{"id": "sw-lights", "kind": "switch", "label": "Lights"},
              {"id": "arm", "kind": "slider", "label": "Arm", "range": [-1, 1, 0.5]},
              {"id": "chat-1", "kind": "text", "label": "Chat"}]
    panel = bench(layout)
    robot = panel.robot()
    switch, arm = panel.control("sw-lights"), panel.control("arm")
    robot.link.send("sw-lights", True)
    robot.link.send("arm", -0.5)
    robot.link.send("chat-1", "收到，正在执行")
    robot.link.send("nan", float("nan"))  # not JSON to a browser: listed as it came
    panel.wait(lambda: switch.is_selected(), "switch turned on by the robot")
    panel.wait(lambda: arm.get_attribute("value") == "-0.5", "slider moved")
    panel.wait(lambda: panel.shown("chat-1") == "收到，正在执行", "text shown")
    panel.wait(lambda: '{"nan": {"value": NaN}}' in panel.messages(), "raw frame listed")
    switch.click()
    arm.send_keys(Keys.END)
    robot.received([as_text({"sw-lights": {"value": False}}), as_text({"arm": {"value": 1}})])

    robot.close()  # the robot goes away and comes back
    panel.wait_status("disconnected", "no robot connected")
    again = panel.robot()
    switch.click()
    again.received([as_text({"sw-lights": {"value": True}})])
    assert panel.messages()[:2] == ["robot connected", "robot disconnected"]
