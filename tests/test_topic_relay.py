"""velk_dev_kit.topic_relay: module, route record, registration and wiring.

The dispatch path is tested in test_topic_relay_dispatch.py.
"""

import ast
import dataclasses
import inspect
import re
import sys
import time
import typing
import uuid

import pytest
from conftest import arg_type_error, relay_lines, run_python

import rclpy
from rclpy.node import Node
from std_msgs.msg import Int32, String

import velk_dev_kit
from velk_dev_kit import topic_relay
from velk_dev_kit.topic_relay import SimpleTopicRelay, SyncRoute

ANNOTATIONS = {
    "source_topic": "str",
    "source_msg_type": "Type",
    "target_topic": "Optional[str]",
    "target_msg_type": "Optional[Type]",
    "frequency": "float",
    "handler": "Optional[Callable]",
    "enabled": "bool",
    "route_id": "Optional[str]",
}
DEFAULTS = {
    "target_topic": None,
    "target_msg_type": None,
    "frequency": 10.0,
    "handler": None,
    "enabled": True,
    "route_id": None,
}


def handler(msg):
    return msg


@pytest.fixture
def relay(ros_context):
    node = SimpleTopicRelay()
    yield node
    node.destroy_node()


# --------------------------------------------------------------------------- module


def fresh_module_names():
    """The module's names in binding order, from an interpreter that only imported it."""
    result = run_python("import velk_dev_kit.topic_relay as m; print(list(vars(m)))")
    assert result.returncode == 0, result.stderr
    return ast.literal_eval(result.stdout)


def test_module_body_binds_its_imports_then_its_classes_in_order():
    names = fresh_module_names()
    expected = ["Any", "Callable", "Dict", "List", "Optional", "Type", "dataclass", "time",
                "uuid", "rclpy", "Node", "SyncRoute", "SimpleTopicRelay"]
    assert [n for n in names if n in expected] == expected
    for name in ("Any", "Callable", "Dict", "List", "Optional", "Type"):
        assert getattr(topic_relay, name) is getattr(typing, name)
    assert topic_relay.dataclass is dataclasses.dataclass
    assert topic_relay.time is time and topic_relay.uuid is uuid and topic_relay.rclpy is rclpy
    assert topic_relay.Node is Node
    assert velk_dev_kit.SyncRoute is SyncRoute
    assert velk_dev_kit.SimpleTopicRelay is SimpleTopicRelay


def test_module_documentation_is_one_english_and_two_chinese_lines():
    lines = topic_relay.__doc__.strip().splitlines()
    assert len(lines) == 3
    assert lines[0].isascii() and "ROS 2" in lines[0] and "relay" in lines[0].lower()
    assert not lines[1].isascii() and "批量注册" in lines[1]
    assert "数据源" in lines[1] and "目标" in lines[1] and "处理逻辑" in lines[1]
    assert not lines[2].isascii() and "同一个源话题" in lines[2]


# ---------------------------------------------------------------------- route record


def test_sync_route_is_a_plain_dataclass_with_text_annotations():
    assert dataclasses.is_dataclass(SyncRoute)
    assert SyncRoute.__bases__ == (object,)
    assert type(SyncRoute) is type
    assert SyncRoute.__module__ == "velk_dev_kit.topic_relay"
    assert SyncRoute.__doc__ == "单条同步路由配置"
    assert SyncRoute.__annotations__ == ANNOTATIONS
    assert list(SyncRoute.__annotations__) == list(ANNOTATIONS)
    fields = dataclasses.fields(SyncRoute)
    assert [f.name for f in fields] == list(ANNOTATIONS)
    assert [f.type for f in fields] == list(ANNOTATIONS.values())
    for f in fields:
        assert f.default == DEFAULTS.get(f.name, dataclasses.MISSING)
        assert f.default_factory is dataclasses.MISSING
    for name, value in DEFAULTS.items():  # class-level values of fields 3 to 8
        assert getattr(SyncRoute, name) == value
    params = SyncRoute.__dataclass_params__
    assert (params.init, params.repr, params.eq, params.order, params.unsafe_hash,
            params.frozen) == (True, True, True, False, False, False)
    own = [k for k, v in vars(SyncRoute).items() if callable(v) and not isinstance(v, type)]
    assert "__post_init__" in own
    assert set(own) <= {"__init__", "__repr__", "__eq__", "__post_init__", "__replace__"}


def test_constructor_signature_and_post_init_documentation():
    sig = inspect.signature(SyncRoute)
    assert list(sig.parameters) == list(ANNOTATIONS)
    for name, p in sig.parameters.items():
        assert p.kind is p.POSITIONAL_OR_KEYWORD
        assert p.annotation == ANNOTATIONS[name]
        assert p.default == DEFAULTS.get(name, p.empty)
    assert SyncRoute.__post_init__.__doc__ == "验证配置并生成唯一 ID"
    assert str(inspect.signature(SyncRoute.__post_init__)) == "(self)"


@pytest.mark.parametrize("target, handler_", [(None, None), ("", None), (None, 0), ("", "")])
def test_neither_target_nor_handler_is_refused(target, handler_):
    with pytest.raises(ValueError) as info:
        SyncRoute("/cam/raw", String, target_topic=target, handler=handler_)
    assert str(info.value) == "Route /cam/raw: 必须指定 target_topic 或 handler 之一"
    with pytest.raises(ValueError, match=r"^Route 42: 必须指定"):
        SyncRoute(42, String)  # the text form of the field


def test_target_route_gets_defaults_and_a_generated_id():
    route = SyncRoute("/a", String, "/b")
    assert route.target_msg_type is String
    assert route.frequency == 10.0 and type(route.frequency) is float
    assert route.enabled is True and route.handler is None
    assert re.fullmatch(r"/a_[0-9a-f]{8}", route.route_id)


def test_route_id_is_the_first_eight_hex_digits_of_a_uuid4(monkeypatch):
    fixed = uuid.UUID("0123abcd-4567-4890-a123-456789abcdef")
    calls = []
    monkeypatch.setattr(uuid, "uuid4", lambda: calls.append(1) or fixed)
    assert SyncRoute("/a", String, "/b").route_id == "/a_0123abcd"
    assert SyncRoute("/a", String, "/b", route_id="mine").route_id == "mine"
    assert SyncRoute("/a", String, "/b", route_id="").route_id == "/a_0123abcd"
    assert len(calls) == 2


def test_handler_only_route_and_explicit_values_stay():
    route = SyncRoute("/a", String, handler=handler)
    assert route.target_msg_type is None and route.target_topic is None
    explicit = SyncRoute("/a", String, "/b", target_msg_type=Int32, route_id="r1", frequency=5)
    assert explicit.target_msg_type is Int32
    assert explicit.route_id == "r1"
    assert explicit.frequency == 5 and type(explicit.frequency) is int


def test_post_init_runs_again_on_current_values():
    route = SyncRoute("/a", String, "/b", route_id="r1")
    route.route_id = None
    route.target_msg_type = None
    assert route.__post_init__() is None
    assert route.target_msg_type is String and route.route_id.startswith("/a_")
    route.target_topic = None
    with pytest.raises(ValueError):
        route.__post_init__()


def test_equality_repr_hash_and_ordering():
    a = SyncRoute("/a", String, "/b")
    b = SyncRoute("/a", String, "/b")
    assert a.route_id != b.route_id and a != b
    c = SyncRoute("/a", String, "/b", route_id="same")
    d = SyncRoute("/a", String, "/b", route_id="same")
    assert c == d and c is not d
    assert c != ("/a", String)
    with pytest.raises(TypeError, match="unhashable"):
        hash(c)
    with pytest.raises(TypeError):
        c < d  # noqa: B015
    assert repr(c) == (
        "SyncRoute(source_topic='/a', source_msg_type=<class 'std_msgs.msg._string.String'>, "
        "target_topic='/b', target_msg_type=<class 'std_msgs.msg._string.String'>, "
        "frequency=10.0, handler=None, enabled=True, route_id='same')")
    c.frequency = 2.0  # mutable
    assert c != d


def test_fields_are_stored_by_reference_without_checks():
    def h(m):
        return m

    route = SyncRoute(source_topic=["not", "a", "topic"], source_msg_type="nope",
                      handler=h, frequency="fast")
    assert route.handler is h and route.frequency == "fast" and route.source_msg_type == "nope"


# ---------------------------------------------------------------------- registration


def test_class_shape_methods_and_documentation():
    assert SimpleTopicRelay.__bases__ == (Node,)
    assert SimpleTopicRelay.__module__ == "velk_dev_kit.topic_relay"
    doc = SimpleTopicRelay.__doc__
    assert doc and "发布" in doc and "订阅" in doc and "多" in doc
    methods = [k for k, v in vars(SimpleTopicRelay).items() if callable(v)]
    assert methods == ["__init__", "register_sync_route", "batch_register", "setup",
                       "_setup_source_subscription", "_setup_route_publisher", "_on_message",
                       "_process_route"]
    assert not [k for k, v in vars(SimpleTopicRelay).items()
                if not callable(v) and k not in ("__module__", "__qualname__", "__doc__",
                                                 "__dict__", "__weakref__",
                                                 "__firstlineno__", "__static_attributes__")]
    assert SimpleTopicRelay.__init__.__doc__ is None
    assert str(inspect.signature(SimpleTopicRelay)) == "()"


def docs(method):
    return [line.strip() for line in inspect.cleandoc(method.__doc__).splitlines()]


@pytest.mark.parametrize("name, signature, lines", [
    ("register_sync_route", "(self, route: 'SyncRoute') -> 'bool'",
     ["注册一条同步路由（支持相同源话题的重复注册）", "route: SyncRoute 对象",
      "True 如果成功，False 如果失败"]),
    ("batch_register", "(self, routes: 'List[SyncRoute]') -> 'int'",
     ["批量注册同步路由", "routes: SyncRoute 列表", "成功注册的路由数"]),
    ("setup", "(self)", ["启动所有订阅"]),
    ("_setup_source_subscription", "(self, source_topic: 'str')",
     ["为源话题创建订阅器（每个源话题只创建一次）"]),
    ("_setup_route_publisher", "(self, route_id: 'str', route: 'SyncRoute')",
     ["为单条路由设置发布器"]),
    ("_on_message", "(self, msg: 'Any', source_topic: 'str')",
     ["接收消息回调（会触发该源话题的所有路由）", "msg: 接收到的消息", "source_topic: 源话题名称"]),
    ("_process_route", "(self, msg: 'Any', route_id: 'str', route: 'SyncRoute')",
     ["处理单条路由的消息", "msg: 接收到的消息", "route_id: 路由 ID", "route: 路由配置"]),
])
def test_method_signatures_and_documentation(name, signature, lines):
    method = getattr(SimpleTopicRelay, name)
    assert str(inspect.signature(method)) == signature
    assert docs(method)[0] == lines[0]
    for line in lines[1:]:
        assert line in docs(method)


def test_new_node_has_its_name_five_empty_tables_and_logs(ros_context, ros_logs):
    node = SimpleTopicRelay()
    assert isinstance(node, Node)
    assert node.get_name() == "topic_relay"
    tables = ["routes", "_source_subscriptions", "_source_to_routes", "_route_publishers",
              "last_publish_time"]
    assert [k for k in vars(node) if k in tables] == tables
    for name in tables:
        assert type(getattr(node, name)) is dict and getattr(node, name) == {}
    assert relay_lines(ros_logs) == [("INFO", "SimpleTopicRelay initialized")]
    node.destroy_node()


def test_constructor_uses_the_next_class_of_the_mro(ros_context):
    calls = []

    class Mixin(Node):
        def __init__(self, name, **kwargs):
            calls.append((name, kwargs))
            super().__init__(name, **kwargs)

    class Relay(SimpleTopicRelay, Mixin):
        pass

    Relay().destroy_node()
    assert calls == [("topic_relay", {})]


def test_constructor_failures_propagate():
    rclpy.try_shutdown()
    with pytest.raises(rclpy.exceptions.NotInitializedException):
        SimpleTopicRelay()


def test_register_stores_the_record_and_logs(relay, ros_logs):
    route = SyncRoute("/a", String, "/b", route_id="r1")
    assert relay.register_sync_route(route) is True
    assert relay.routes == {"r1": route} and relay.routes["r1"] is route
    assert relay._source_to_routes == {"/a": ["r1"]}
    assert relay._source_subscriptions == relay._route_publishers == relay.last_publish_time == {}
    assert relay_lines(ros_logs) == [("INFO", "Registered [r1]: /a → /b @ 10.0 Hz")]


@pytest.mark.parametrize("kwargs, line", [
    ({"handler": handler, "frequency": 5}, "Registered [r]: /a [with handler] @ 5 Hz"),
    ({"target_topic": "/b", "handler": handler, "frequency": 2.5},
     "Registered [r]: /a → /b [with handler] @ 2.5 Hz"),
    ({"target_topic": "/b", "frequency": 0}, "Registered [r]: /a → /b @ 0 Hz"),
])
def test_register_log_line_pieces(relay, ros_logs, kwargs, line):
    assert relay.register_sync_route(SyncRoute("/a", String, route_id="r", **kwargs))
    assert relay_lines(ros_logs) == [("INFO", line)]


def test_two_routes_of_one_source_share_its_list(relay):
    first = SyncRoute("/a", String, "/b", route_id="r1")
    second = SyncRoute("/a", String, handler=handler, route_id="r2")
    relay.register_sync_route(first)
    relay.register_sync_route(second)
    assert relay._source_to_routes == {"/a": ["r1", "r2"]}


def test_disabled_route_is_not_stored(relay, ros_logs):
    route = SyncRoute("/a", String, "/b", route_id="off", enabled=False)
    assert relay.register_sync_route(route) is True
    assert relay.routes == relay._source_to_routes == {}
    assert relay_lines(ros_logs) == [("INFO", "Route off is disabled")]


def test_same_record_twice_and_one_id_on_two_sources(relay):
    route = SyncRoute("/a", String, "/b", route_id="r1")
    assert relay.register_sync_route(route) and relay.register_sync_route(route)
    assert relay.routes == {"r1": route} and relay._source_to_routes == {"/a": ["r1", "r1"]}
    other = SyncRoute("/c", String, "/d", route_id="r1")
    assert relay.register_sync_route(other)
    assert relay.routes["r1"] is other
    assert relay._source_to_routes == {"/a": ["r1", "r1"], "/c": ["r1"]}


def test_register_failures_are_logged_and_return_false(relay, ros_logs):
    assert relay.register_sync_route(None) is False
    assert relay.routes == relay._source_to_routes == {}
    assert relay_lines(ros_logs) == [
        ("ERROR", "Register failed: 'NoneType' object has no attribute 'enabled'")]
    ros_logs.clear()
    unhashable = SyncRoute(["/a"], String, "/b", route_id="r1")
    assert relay.register_sync_route(unhashable) is False
    assert relay.routes == {"r1": unhashable}  # stored before the failure, not undone
    assert relay._source_to_routes == {}
    try:
        ["/a"] in {}  # noqa: B015
    except TypeError as e:
        text = str(e)  # "unhashable type: 'list'", longer in newer versions
    assert relay_lines(ros_logs) == [("ERROR", f"Register failed: {text}")]


def test_info_and_error_registrations_from_one_line_do_not_clash(relay, ros_logs):
    good = SyncRoute("/a", String, "/b", route_id="r1")
    ok, failed = relay.register_sync_route(good), relay.register_sync_route(None)  # one line
    assert (ok, failed) == (True, False)
    for _ in range(2):
        assert [relay.register_sync_route(r) for r in (good, None, good)] == [True, False, True]
    assert [s for s, _ in relay_lines(ros_logs)] == ["INFO", "ERROR"] + ["INFO", "ERROR", "INFO"] * 2


def test_interrupts_pass_through_registration(relay, ros_logs):
    class Interrupting:
        @property
        def enabled(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        relay.register_sync_route(Interrupting())
    with pytest.raises(KeyboardInterrupt):
        relay.batch_register([Interrupting()])
    assert relay_lines(ros_logs) == []


class BrokenLogger:
    """A logger whose lines fail when they start with one of `broken`.

    One method per level: a single forwarding line for both would be one
    call site with two severities, which the logger refuses.
    """

    def __init__(self, real, broken):
        self.real, self.broken = real, broken

    def _check(self, level, text):
        if text.startswith(self.broken):
            raise RuntimeError(f"{level} broken")

    def info(self, text):
        self._check("info", text)
        return self.real.info(text)

    def error(self, text):
        self._check("error", text)
        return self.real.error(text)


def test_a_failing_failure_line_leaves_register_chained_to_the_first_error(ros_context, ros_logs):
    class Relay(SimpleTopicRelay):
        def get_logger(self):
            return BrokenLogger(super().get_logger(), ("Registered", "Register failed"))

    relay = Relay()
    with pytest.raises(RuntimeError, match="error broken") as info:
        relay.register_sync_route(SyncRoute("/a", String, "/b", route_id="r1"))
    assert str(info.value.__context__) == "info broken"
    assert relay.routes["r1"].route_id == "r1"
    # batch_register logs what escapes register_sync_route and goes on
    relay.get_logger = lambda: BrokenLogger(Node.get_logger(relay), ("Registered",))
    ros_logs.clear()
    assert relay.batch_register([None]) == 0
    assert relay_lines(ros_logs) == [
        ("ERROR", "Register failed: 'NoneType' object has no attribute 'enabled'"),
        ("INFO", "Batch registration: 0/1 routes")]
    relay.destroy_node()


def test_batch_register_counts_and_logs(relay, ros_logs):
    assert relay.batch_register([]) == 0
    assert relay_lines(ros_logs) == [("INFO", "Batch registration: 0/0 routes")]
    ros_logs.clear()
    valid = SyncRoute("/a", String, "/b", route_id="r1")
    off = SyncRoute("/a", String, "/b", route_id="off", enabled=False)
    count = relay.batch_register([valid, off, None])
    assert count == 2 and type(count) is int
    assert relay_lines(ros_logs) == [
        ("INFO", "Registered [r1]: /a → /b @ 10.0 Hz"),
        ("INFO", "Route off is disabled"),
        ("ERROR", "Register failed: 'NoneType' object has no attribute 'enabled'"),
        ("INFO", "Batch registration: 2/3 routes"),
    ]


@pytest.mark.parametrize("value, type_name", [
    ((), "tuple"), (None, "NoneType"), (type("L", (list,), {})(), "L"), ({}, "dict")])
def test_batch_register_takes_exactly_a_list(relay, ros_logs, value, type_name):
    with pytest.raises(TypeError) as info:
        relay.batch_register(value)
    assert str(info.value) == arg_type_error("routes", "list", type_name)
    with pytest.raises(TypeError):
        relay.batch_register(routes=value)
    assert relay_lines(ros_logs) == [] and relay.routes == {}


def test_batch_register_calls_the_overridden_register(ros_context, ros_logs):
    seen = []

    class Relay(SimpleTopicRelay):
        def register_sync_route(self, route):
            seen.append(route)
            if route == "boom":
                raise ValueError("no good")
            return route  # its truth counts

    relay = Relay()
    assert relay.batch_register(routes=[1, "boom", 0, "x"]) == 2
    assert seen == [1, "boom", 0, "x"]
    assert relay_lines(ros_logs)[1:] == [("ERROR", "Register error: no good"),
                                         ("INFO", "Batch registration: 2/4 routes")]
    relay.destroy_node()


# ---------------------------------------------------------------------- wiring


def test_setup_without_routes(relay, ros_logs):
    assert relay.setup() is None
    assert relay_lines(ros_logs) == [("INFO", "TopicRelay setup complete: 0 subscriptions, 0 routes")]
    assert relay._source_subscriptions == relay._route_publishers == {}


def test_setup_subscribes_once_and_makes_one_publisher_per_target(relay, ros_logs):
    relay.register_sync_route(SyncRoute("/a", String, "/b", route_id="r1"))
    relay.register_sync_route(SyncRoute("/a", String, handler=handler, route_id="r2"))
    ros_logs.clear()
    relay.setup()
    assert list(relay._source_subscriptions) == ["/a"]
    sub = relay._source_subscriptions["/a"]
    assert sub.msg_type is String and sub.topic == "/a" and sub.qos_profile.depth == 10
    assert sub.callback_group is relay.default_callback_group
    assert list(relay._route_publishers) == ["r1"]
    pub = relay._route_publishers["r1"]
    assert pub.msg_type is String and pub.topic == "/b" and pub.qos_profile.depth == 10
    assert relay.last_publish_time == {"r1": 0.0, "r2": 0.0}
    assert all(type(v) is float for v in relay.last_publish_time.values())
    assert relay_lines(ros_logs) == [
        ("INFO", "Created subscription: /a (String) -> 2 route(s)"),
        ("INFO", "TopicRelay setup complete: 1 subscriptions, 2 routes"),
    ]


def test_inconsistent_message_classes_are_refused(relay, ros_logs):
    relay.register_sync_route(SyncRoute("/a", String, "/b", route_id="r1"))
    relay.register_sync_route(SyncRoute("/a", Int32, "/c", route_id="r2"))
    relay.register_sync_route(SyncRoute("/a", Int32, handler=handler, route_id="r3"))
    ros_logs.clear()
    relay.setup()
    assert relay._source_subscriptions == {}
    assert list(relay._route_publishers) == ["r1", "r2"]
    assert relay.last_publish_time == {"r1": 0.0, "r2": 0.0, "r3": 0.0}
    (level, line), summary = relay_lines(ros_logs)
    assert level == "ERROR"
    assert line in [f"Inconsistent message types for /a: {names}. All routes from the same "
                    "source must use the same message type."
                    for names in ("['String', 'Int32']", "['Int32', 'String']")]
    assert summary == ("INFO", "TopicRelay setup complete: 0 subscriptions, 3 routes")


def test_disabled_routes_are_left_out_of_the_class_check(relay, ros_logs):
    first = SyncRoute("/a", String, "/b", route_id="r1")
    relay.register_sync_route(first)
    relay.register_sync_route(SyncRoute("/a", Int32, "/c", route_id="r2"))
    first.enabled = False
    ros_logs.clear()
    relay.setup()
    # subscribed with the class of the first registered route, though disabled
    assert relay._source_subscriptions["/a"].msg_type is String
    assert list(relay._route_publishers) == ["r2"]  # the disabled one gets none ...
    assert relay.last_publish_time == {"r2": 0.0, "r1": 0.0}  # ... but a time entry
    assert relay_lines(ros_logs)[0] == ("INFO", "Created subscription: /a (String) -> 2 route(s)")


def test_a_second_setup(relay, ros_logs):
    relay.register_sync_route(SyncRoute("/a", String, "/b", route_id="r1"))
    relay.setup()
    subscription = relay._source_subscriptions["/a"]
    publisher = relay._route_publishers["r1"]
    relay.last_publish_time["r1"] = 5.0
    relay.register_sync_route(SyncRoute("/a", String, handler=handler, route_id="r2"))
    relay.register_sync_route(SyncRoute("/x", String, "/y", route_id="r3"))
    ros_logs.clear()
    relay.setup()
    assert relay._source_subscriptions["/a"] is subscription
    assert relay._route_publishers["r1"] is not publisher  # a new one, the old one kept alive
    assert relay.last_publish_time == {"r1": 0.0, "r2": 0.0, "r3": 0.0}
    assert relay_lines(ros_logs) == [
        ("INFO", "Created subscription: /x (String) -> 1 route(s)"),
        ("INFO", "TopicRelay setup complete: 2 subscriptions, 3 routes"),
    ]


def test_route_count_in_the_subscription_line_counts_every_entry(relay, ros_logs):
    route = SyncRoute("/a", String, "/b", route_id="r1")
    relay.register_sync_route(route)
    relay.register_sync_route(route)
    off = SyncRoute("/a", String, "/c", route_id="r2")
    relay.register_sync_route(off)
    off.enabled = False
    ros_logs.clear()
    relay.setup()
    assert relay_lines(ros_logs)[0] == ("INFO", "Created subscription: /a (String) -> 3 route(s)")


class FailingRelay(SimpleTopicRelay):
    """create_subscription / create_publisher fail for topics named in `fail`."""

    fail = ()

    def create_subscription(self, msg_type, topic, callback, qos_profile, **kwargs):
        if topic in self.fail:
            raise RuntimeError(f"no subscription for {topic}")
        return super().create_subscription(msg_type, topic, callback, qos_profile, **kwargs)

    def create_publisher(self, msg_type, topic, qos_profile, **kwargs):
        if topic in self.fail:
            raise RuntimeError(f"no publisher for {topic}")
        return super().create_publisher(msg_type, topic, qos_profile, **kwargs)


def test_wiring_failures_are_logged_and_retried(ros_context, ros_logs):
    relay = FailingRelay()
    relay.fail = ("/a", "/b")
    relay.register_sync_route(SyncRoute("/a", String, "/b", route_id="r1"))
    ros_logs.clear()
    relay.setup()
    assert relay._source_subscriptions == relay._route_publishers == {}
    assert relay.last_publish_time == {"r1": 0.0}  # from step 3
    assert relay_lines(ros_logs) == [
        ("ERROR", "Setup subscription failed for /a: no subscription for /a"),
        ("ERROR", "Setup publisher failed for r1: no publisher for /b"),
        ("INFO", "TopicRelay setup complete: 0 subscriptions, 1 routes"),
    ]
    relay.fail = ()
    relay.setup()
    assert list(relay._source_subscriptions) == ["/a"] and list(relay._route_publishers) == ["r1"]
    relay.destroy_node()


def test_a_bad_message_class_fails_inside_the_guards(relay, ros_logs):
    relay.register_sync_route(SyncRoute("/a", "not a class", "/b", route_id="r1"))
    ros_logs.clear()
    relay.setup()
    lines = relay_lines(ros_logs)
    assert lines[0][0] == "ERROR" and lines[0][1].startswith("Setup subscription failed for /a: ")
    assert lines[1][0] == "ERROR" and lines[1][1].startswith("Setup publisher failed for r1: ")


def test_a_failing_subscription_line_keeps_the_subscription(ros_context, ros_logs):
    class Relay(SimpleTopicRelay):
        def get_logger(self):
            return BrokenLogger(super().get_logger(), ("Created subscription",))

    relay = Relay()
    relay.register_sync_route(SyncRoute("/a", String, handler=handler, route_id="r1"))
    ros_logs.clear()
    relay.setup()
    assert relay._source_subscriptions["/a"].msg_type is String
    assert relay_lines(ros_logs) == [
        ("ERROR", "Setup subscription failed for /a: info broken"),
        ("INFO", "TopicRelay setup complete: 1 subscriptions, 1 routes"),
    ]
    relay.destroy_node()


def test_errors_outside_the_guards_leave_setup(relay):
    relay._source_to_routes["/a"] = ["ghost"]
    with pytest.raises(KeyError, match="ghost"):
        relay.setup()


def test_unhashable_message_class_leaves_setup(relay):
    relay.register_sync_route(SyncRoute("/a", [String], handler=handler, route_id="r1"))
    with pytest.raises(TypeError, match="unhashable"):
        relay.setup()


def test_the_subscription_callback(ros_context):
    calls = []

    class Relay(SimpleTopicRelay):
        def _on_message(self, msg, source_topic):
            calls.append((msg, source_topic))
            return "result"

    relay = Relay()
    relay.register_sync_route(SyncRoute("/a", String, "/b", route_id="r1"))
    relay.setup()
    callback = relay._source_subscriptions["/a"].callback
    assert str(inspect.signature(callback)) == "(msg, topic='/a')"
    inspect.signature(callback).bind(object())  # what newer rclpy probes
    assert callback.__name__ == "<lambda>"
    msg = String(data="x")
    assert callback(msg) == "result"
    assert callback(msg, "/other") == "result"
    assert callback(msg=msg, topic=5) == "result"
    assert calls == [(msg, "/a"), (msg, "/other"), (msg, 5)]
    with pytest.raises(TypeError):
        callback()
    relay.destroy_node()


def test_type_checks_of_the_wiring_methods(relay):
    route = SyncRoute("/a", String, "/b", route_id="r1")
    with pytest.raises(TypeError) as info:
        relay._setup_source_subscription(5)
    assert str(info.value) == arg_type_error("source_topic", "str", "int")
    with pytest.raises(TypeError) as info:
        relay._setup_source_subscription(None)
    assert str(info.value) == arg_type_error("source_topic", "str", "NoneType")
    with pytest.raises(TypeError) as info:
        relay._setup_route_publisher(type("S", (str,), {})("r1"), route)
    assert str(info.value) == arg_type_error("route_id", "str", "S")
    # a route record is not checked
    assert relay._setup_route_publisher("r1", route) is None
    assert relay._setup_source_subscription("/nothing") is None
    assert relay._source_subscriptions == {}


def test_setup_calls_the_overridden_steps(ros_context):
    calls = []

    class Relay(SimpleTopicRelay):
        def _setup_source_subscription(self, source_topic):
            calls.append(("sub", source_topic))

        def _setup_route_publisher(self, route_id, route):
            calls.append(("pub", route_id))

    relay = Relay()
    relay.register_sync_route(SyncRoute("/a", String, "/b", route_id="r1"))
    relay.register_sync_route(SyncRoute("/c", String, "/d", route_id="r2", enabled=False))
    relay.register_sync_route(SyncRoute("/e", String, "/f", route_id="r3"))
    relay.routes["r3"].enabled = False
    relay._source_to_routes["/empty"] = []
    relay.setup()
    assert calls == [("sub", "/a"), ("sub", "/e"), ("pub", "r1")]
    assert relay.last_publish_time == {"r1": 0.0, "r3": 0.0}
    relay.destroy_node()


def test_relay_node_is_collected_after_destruction(ros_context):
    import gc
    import weakref

    relay = SimpleTopicRelay()
    relay.register_sync_route(SyncRoute("/a", String, "/b", route_id="r1"))
    relay.setup()
    ref = weakref.ref(relay)
    relay.destroy_node()
    del relay
    gc.collect()
    assert ref() is None


if sys.version_info >= (3, 14):
    def test_annotations_are_texts_for_annotationlib():
        import annotationlib

        assert annotationlib.get_annotations(SyncRoute) == ANNOTATIONS
