"""Tests of the in-process rclpy / std_msgs stand-in in ros_stub/ (not of the product)."""

import inspect
import os
import threading
import time

import pytest
from conftest import run_python

import rclpy
from rclpy.callback_groups import MutuallyExclusiveCallbackGroup, ReentrantCallbackGroup
from rclpy.exceptions import (
    InvalidHandle,
    InvalidNamespaceException,
    InvalidNodeNameException,
    InvalidTopicNameException,
    NotInitializedException,
)
from rclpy.executors import ExternalShutdownException, MultiThreadedExecutor, SingleThreadedExecutor
from rclpy.logging import LoggingSeverity
from rclpy.node import Node
from rclpy.qos import HistoryPolicy
from rclpy.serialization import deserialize_message
from std_msgs.msg import Int32, String


def caret(kind, error, name, index):
    return f"Invalid {kind}: {error}:\n  '{name}'\n   {' ' * index}^"


def test_lifecycle():
    rclpy.try_shutdown()  # whatever an earlier test left
    assert not rclpy.ok()
    with pytest.raises(NotInitializedException, match=r"rclpy\.init\(\) has not been called"):
        Node("n")
    with pytest.raises(RuntimeError, match="must be initialized before it can be shutdown"):
        rclpy.shutdown()
    rclpy.try_shutdown()
    rclpy.init()
    try:
        assert rclpy.ok()
        with pytest.raises(RuntimeError, match="must only be called once"):
            rclpy.init()
        with pytest.raises(TypeError):
            Node("n", "ns")  # everything after the name is keyword-only
        node = Node("n")
    finally:
        rclpy.shutdown()
    assert not rclpy.ok()
    with pytest.raises(InvalidHandle):  # context shutdown destroyed the node
        node.get_name()
    with pytest.raises(RuntimeError, match="must be initialized"):
        rclpy.shutdown()
    rclpy.init()  # a fresh default context
    rclpy.shutdown()


def test_spin_wakes_on_shutdown():
    rclpy.init()
    node = Node("n")
    errors = []

    def run():
        try:
            rclpy.spin(node)
        except ExternalShutdownException as e:
            errors.append(e)

    thread = threading.Thread(target=run)
    thread.start()
    time.sleep(0.1)
    rclpy.shutdown()
    thread.join(5)
    assert not thread.is_alive()
    assert len(errors) <= 1  # either way out is what rclpy does


@pytest.mark.parametrize(
    "name, namespace, exc, text",
    [
        ("", None, InvalidNodeNameException, caret("node name", "node name must not be empty", "", 0)),
        ("my-node", None, InvalidNodeNameException, caret(
            "node name", "node name must not contain characters other than alphanumerics or '_'",
            "my-node", 2)),
        ("9lives", None, InvalidNodeNameException, caret(
            "node name", "node name must not start with a number", "9lives", 0)),
        ("n", "a/", InvalidNamespaceException, caret(
            "namespace", "namespace must not end with a '/', unless only a '/'", "/a/", 2)),
        ("n", "a//b", InvalidNamespaceException, caret(
            "namespace", "namespace must not contain repeated '/'", "/a//b", 3)),
        ("n", "/a/1b", InvalidNamespaceException, caret(
            "namespace", "namespace must not have a token that starts with a number", "/a/1b", 3)),
        ("n", "/a-b", InvalidNamespaceException, caret(
            "namespace", "namespace must not contain characters other than alphanumerics, '_', or '/'",
            "/a-b", 2)),
    ],
)
def test_invalid_node_names(ros_context, name, namespace, exc, text):
    with pytest.raises(exc) as info:
        Node(name, namespace=namespace)
    assert str(info.value) == text
    assert not isinstance(info.value, ValueError)


@pytest.mark.parametrize(
    "namespace, expected",
    [
        (None, ("/", "/n", "n")),
        ("", ("/", "/n", "n")),
        ("default", ("/default", "/default/n", "default.n")),
        ("/a/b", ("/a/b", "/a/b/n", "a.b.n")),
    ],
)
def test_node_names(ros_context, namespace, expected):
    node = Node("n", namespace=namespace)
    assert (node.get_namespace(), node.get_fully_qualified_name(), node.get_logger().name) == expected
    assert node.get_name() == "n"


@pytest.mark.parametrize(
    "namespace, topic, resolved",
    [
        ("/", "~/cmd", "/n/cmd"),
        ("/a", "~/cmd", "/a/n/cmd"),
        ("/a", "~", "/a/n"),
        ("/", "x", "/x"),
        ("/a", "x/y", "/a/x/y"),
        ("/a", "/x", "/x"),
        ("/a", "{node}/t", "/a/n/t"),
        ("/a", "{ns}/t", "/a/t"),
        ("/a", "_hidden/_x", "/a/_hidden/_x"),
    ],
)
def test_topic_resolution(ros_context, namespace, topic, resolved):
    node = Node("n", namespace=namespace)
    pub = node.create_publisher(String, topic, 10)
    sub = node.create_subscription(String, topic, lambda msg: None, 10)
    assert (pub.topic, pub.topic_name, sub.topic, sub.topic_name) == (topic, resolved, topic, resolved)


@pytest.mark.parametrize(
    "namespace, topic, shown, error, index",
    [
        ("/x", "", "", "topic name must not be empty string", 0),
        ("/x", "1a", "1a", "topic name token must not start with a number", 0),
        ("/x", "a/", "a/", "topic name must not end with a forward slash", 1),
        ("/x", "/", "/", "topic name must not end with a forward slash", 0),
        ("/x", "a b", "a b",
         "topic name must not contain characters other than alphanumerics, '_', '~', '{', or '}'", 1),
        ("/x", "a/~b", "a/~b", "topic name must not have tilde '~' unless it is the first character", 2),
        ("/x", "~a", "~a",
         "topic name must not have a tilde '~' that is not followed by a forward slash '/'", 1),
        ("/x", "a/2b", "a/2b", "topic name token must not start with a number", 2),
        ("/x", "a{b", "a{b", "topic name must not have unmatched (unbalanced) curly braces '{}'", 1),
        ("/x", "{a/b}", "{a/b}",
         "substitution name must not contain characters other than alphanumerics or '_'", 2),
        ("/x", "{9a}", "{9a}", "substitution name must not start with a number", 1),
        # full-name errors show the expanded name
        ("/x", "a//b", "/x/a//b", "topic name must not contain repeated '/'", 5),
        ("/", "{ns}/t", "//t", "topic name must not contain repeated '/'", 1),
    ],
)
def test_invalid_topic_names(ros_context, namespace, topic, shown, error, index):
    node = Node("n", namespace=namespace)
    for create in (
        lambda: node.create_publisher(String, topic, 10),
        lambda: node.create_subscription(String, topic, lambda msg: None, 10),
    ):
        with pytest.raises(InvalidTopicNameException) as info:
            create()
        assert str(info.value) == caret("topic name", error, shown, index)
        assert not isinstance(info.value, ValueError)


def test_argument_checks_and_their_order(ros_context):
    node = Node("n")
    with pytest.raises(ValueError, match=r"^topic name '\{foo\}/x' is invalid"):
        node.create_publisher(String, "{foo}/x", 10)
    # QoS first, then the topic name, then the message type
    with pytest.raises(TypeError, match=r"^Expected QoSProfile or int, but received <class 'str'>$"):
        node.create_publisher(object, "a b", "10")
    with pytest.raises(ValueError, match="^history depth must be greater than or equal to zero$"):
        node.create_subscription(object, "a b", lambda msg: None, -1)
    with pytest.raises(InvalidTopicNameException):
        node.create_publisher(object, "a b", 10)
    with pytest.raises(AttributeError, match="ROS 1 message type"):
        node.create_publisher(object, "ok", 10)
    qos = node.create_publisher(String, "ok", 10).qos_profile
    assert (qos.history, qos.depth) == (HistoryPolicy.KEEP_LAST, 10)
    with pytest.warns(UserWarning, match="zero depth"):
        node.create_publisher(String, "ok", 0)


def test_publish_type_errors(ros_context):
    node = Node("n")
    pub = node.create_publisher(String, "t", 10)
    with pytest.raises(TypeError) as info:
        pub.publish("hi")
    assert str(info.value) == "Expected <class 'std_msgs.msg._string.String'>, got <class 'str'>"
    with pytest.raises(TypeError, match="got <class 'std_msgs.msg._int32.Int32'>"):
        pub.publish(Int32(data=1))
    with pytest.raises(TypeError):
        pub.publish(String(data=5))  # unchecked field, refused by the conversion
    assert pub.publish(String(data="ok")) is None
    assert node.destroy_publisher(pub) is True
    assert node.destroy_publisher(pub) is False
    with pytest.raises(InvalidHandle, match="destruction was requested"):
        pub.publish(String())
    assert issubclass(InvalidHandle, RuntimeError)


def test_delivery_is_queued_copied_and_depth_bounded(ros_context):
    node = Node("n")
    other = Node("other", namespace="/")
    pub = node.create_publisher(String, "t", 10)
    shallow, deep, wrong_type = [], [], []
    node.create_subscription(String, "/t", lambda msg: shallow.append(msg), 2)
    other.create_subscription(String, "t", lambda msg: deep.append(msg), 10)
    other.create_subscription(Int32, "t", lambda msg: wrong_type.append(msg), 10)
    msg = String(data="0")
    for i in range(3):
        msg.data = str(i)
        pub.publish(msg)
    late = []
    node.create_subscription(String, "t", lambda m: late.append(m), 10)  # volatile: sees nothing
    assert shallow == deep == []  # publish never calls back
    executor = SingleThreadedExecutor()
    executor.add_node(node)
    executor.add_node(other)
    executor.spin_once(timeout_sec=0)
    assert len(shallow) + len(deep) == 1  # one callback per spin_once
    for _ in range(10):
        assert executor.spin_once(timeout_sec=0) is None
    assert [m.data for m in shallow] == ["1", "2"]  # depth 2: the oldest was dropped
    assert [m.data for m in deep] == ["0", "1", "2"]
    assert shallow[1] == deep[2] and shallow[1] is not deep[2] and deep[2] is not msg
    assert wrong_type == late == []


def test_spin_once_waits_without_polling(ros_context):
    node = Node("n")
    executor = SingleThreadedExecutor()
    executor.add_node(node)
    cpu, wall = time.thread_time(), time.monotonic()
    executor.spin_once(timeout_sec=0.3)
    assert time.monotonic() - wall >= 0.29
    assert time.thread_time() - cpu < 0.05  # waited, did not poll
    got = []
    node.create_subscription(String, "t", lambda msg: got.append(msg.data), 10)
    pub = node.create_publisher(String, "t", 10)
    timer = threading.Timer(0.05, lambda: pub.publish(String(data="x")))
    timer.start()
    executor.spin_once(timeout_sec=5)  # woken by the publication from another thread
    timer.join()
    assert got == ["x"]


def test_callback_signatures_and_raw(ros_context):
    node = Node("n")
    pub = node.create_publisher(String, "t", 10)
    with_info, raw = [], []
    node.create_subscription(String, "t", lambda msg, info: with_info.append((msg, info)), 10)
    node.create_subscription(String, "t", lambda data: raw.append(data), 10, raw=True)
    with pytest.raises(RuntimeError, match=r"callback should be either be callable with one argument"):
        node.create_subscription(String, "t", lambda a, b, c: None, 10)
    try:
        inspect.signature(min)
    except ValueError:
        with pytest.raises(ValueError):  # no retrievable signature: propagates
            node.create_subscription(String, "t", min, 10)
    pub.publish(String(data="hi"))
    for _ in range(2):
        rclpy.spin_once(node, timeout_sec=0)
    msg, info = with_info[0]
    assert msg == String(data="hi")
    assert {"source_timestamp", "received_timestamp", "publication_sequence_number"} <= set(info)
    assert isinstance(raw[0], bytes) and deserialize_message(raw[0], String) == msg


def _spin_until(executor, node, done, seconds=5):
    executor.add_node(node)
    thread = threading.Thread(target=executor.spin)
    thread.start()
    deadline = time.monotonic() + seconds
    while not done() and time.monotonic() < deadline:
        time.sleep(0.01)
    executor.shutdown()
    thread.join(5)
    assert not thread.is_alive()


@pytest.mark.parametrize("reentrant", [False, True])
def test_multithreaded_executor_honours_callback_groups(ros_context, reentrant):
    node = Node("n")
    group = ReentrantCallbackGroup() if reentrant else None
    lock = threading.Lock()
    running, peak, done = 0, 0, []

    def callback(msg):
        nonlocal running, peak
        with lock:
            running += 1
            peak = max(peak, running)
        time.sleep(0.05)
        with lock:
            running -= 1
            done.append(msg.data)

    for topic in ("a", "b"):
        node.create_subscription(String, topic, callback, 10, callback_group=group)
        pub = node.create_publisher(String, topic, 10)
        for i in range(3):
            pub.publish(String(data=f"{topic}{i}"))
    assert all(isinstance(s.callback_group, MutuallyExclusiveCallbackGroup) != reentrant
               for s in node.subscriptions)
    _spin_until(MultiThreadedExecutor(num_threads=4), node, lambda: len(done) == 6)
    assert len(done) == 6
    assert (peak > 1) if reentrant else (peak == 1)


def test_callback_exceptions_propagate(ros_context):
    node = Node("n")
    calls = []

    def callback(msg):
        calls.append(msg.data)
        if msg.data == "bad":
            raise KeyError("boom")

    node.create_subscription(String, "t", callback, 10)
    pub = node.create_publisher(String, "t", 10)
    pub.publish(String(data="bad"))
    pub.publish(String(data="good"))
    executor = SingleThreadedExecutor()
    executor.add_node(node)
    with pytest.raises(KeyError, match="boom"):
        executor.spin_once(timeout_sec=1)
    executor.spin_once(timeout_sec=1)  # the group was released: spinning goes on
    assert calls == ["bad", "good"]

    pub.publish(String(data="bad"))
    with pytest.raises(KeyError):
        rclpy.spin(node)
    assert node not in rclpy.get_global_executor().get_nodes()

    executor = MultiThreadedExecutor(num_threads=2)
    executor.add_node(node)
    pub.publish(String(data="bad"))
    with pytest.raises(KeyError):  # raised by a later spin_once that finds it done
        for _ in range(100):
            executor.spin_once(timeout_sec=1)
            pub.publish(String(data="good"))
            time.sleep(0.01)
    executor.shutdown()


def test_logger(ros_context, ros_logs, capsys, monkeypatch):
    monkeypatch.setenv("ROS_STUB_CONSOLE", "1")  # the suite runs with the console off
    node = Node("n", namespace="a")
    log = node.get_logger()
    assert log is node.get_logger() and log.name == "a.n"

    def say(severity, text):  # one call site used with several severities
        return log.log(text, severity)

    assert say(LoggingSeverity.INFO, "one") is True
    with pytest.raises(ValueError, match=r"^Logger severity cannot be changed between calls\.$"):
        say(LoggingSeverity.ERROR, "two")
    assert log.debug("hidden") is False
    assert log.debug(123) is False  # not emitted, so not converted
    with pytest.raises(TypeError):
        log.info(123)
    with pytest.raises(TypeError, match='parameter "bogus" is not one of the recognized logging options'):
        log.info("x", bogus=1)
    assert [log.info("o", once=True) for _ in range(2)] == [True, False]
    assert [log.info("s", skip_first=True) for _ in range(2)] == [False, True]
    assert (log.info("p", once=True), log.info("p", once=True)) == (True, True)  # two call sites

    now = [1_000 * 10**9]
    monkeypatch.setattr(time, "time_ns", lambda: now[0])  # the throttle reads the wall clock
    results = []
    for step in (0, 1, 4, 1):
        now[0] += step * 10**9
        results.append(log.warn("tick", throttle_duration_sec=5))
    assert results == [True, False, True, False]  # the first call logs
    assert log.warn("tick", throttle_duration_sec=5) is True  # another call site, own state

    assert [tuple(r) for r in ros_logs] == [
        ("INFO", "a.n", "one"), ("INFO", "a.n", "o"), ("INFO", "a.n", "s"),
        ("INFO", "a.n", "p"), ("INFO", "a.n", "p"),
        ("WARN", "a.n", "tick"), ("WARN", "a.n", "tick"), ("WARN", "a.n", "tick"),
    ]
    lines = capsys.readouterr().err.splitlines()
    assert lines[0].startswith("[INFO] [") and lines[0].endswith("] [a.n]: one")
    assert lines[-1] == "[WARN] [1006.000000000] [a.n]: tick"

    monkeypatch.setenv("ROS_STUB_CONSOLE", "0")  # off the console, still to the sinks
    assert log.error("quiet") is True
    assert capsys.readouterr().err == "" and tuple(ros_logs[-1]) == ("ERROR", "a.n", "quiet")


def test_the_logger_refuses_a_severity_change_at_one_call_site(ros_context):
    # Through the level methods too. The relay's one-line registration test in
    # test_topic_relay.py relies on this.
    node = Node("n")

    def log(level, text):
        getattr(node.get_logger(), level)(text)

    log("info", "first")
    with pytest.raises(ValueError, match="Logger severity cannot be changed between calls."):
        log("error", "second")


def test_destroy_node(ros_context, ros_logs):
    node = Node("n")
    assert [p.topic_name for p in node.publishers] == ["/parameter_events"]
    sub = node.create_subscription(String, "t", lambda msg: None, 10)
    assert sub.callback_group is node.default_callback_group
    assert node.destroy_node() is None
    assert node.destroy_node() is None
    assert list(node.publishers) == list(node.subscriptions) == []
    assert node.destroy_subscription(sub) is False
    with pytest.raises(InvalidHandle):
        node.get_name()
    with pytest.raises(InvalidHandle):
        node.create_publisher(String, "t", 10)
    assert node.get_logger().info("still here") is True
    assert ros_logs[-1] == ("INFO", "n", "still here")


def test_string_message():
    msg = String(data="hi")
    assert repr(msg) == "std_msgs.msg.String(data='hi')"
    assert msg == String(data="hi") and msg != String(data="ho") and String(data="1") != Int32(data=1)
    with pytest.raises(TypeError):
        hash(msg)
    with pytest.raises(AttributeError):
        msg.foo = 1
    assert String.__slots__ == ["_data", "_check_fields"]
    assert String.get_fields_and_field_types() == {"data": "string"}
    assert String(data=5).data == 5 and String(bogus=1).data == ""  # no checks by default
    with pytest.raises(AssertionError, match=r"^The 'data' field must be of type 'str'$"):
        String(data=5, check_fields=True)
    with pytest.raises(AssertionError, match=r"^Invalid arguments passed to constructor: bogus$"):
        String(bogus=1, check_fields=True)
    code = "from std_msgs.msg import String\ntry:\n    String(data=1)\nexcept AssertionError as e:\n    print(e)"
    result = run_python(code, env={**os.environ, "ROS_PYTHON_CHECK_FIELDS": "1"})
    assert result.stdout == "The 'data' field must be of type 'str'\n", result.stderr
