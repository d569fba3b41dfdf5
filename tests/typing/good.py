"""A typed application using every class of the kit; mypy --strict must accept it.

tests/typing/bad.py is this program with deliberate mistakes.
"""

from collections.abc import Iterator
from typing import Any

import rclpy
from std_msgs.msg import String

from velk_dev_kit import Chat, ChatError, DataRecorder, PanelLink, SimpleTopicRelay, SyncRoute
from velk_dev_kit import panel_link


def shout(msg: String) -> String | None:
    return String(data=msg.data.upper()) if msg.data else None


def on_control(data: dict[str, Any]) -> None:
    print(data.get("btn-forward", {}).get("value"))


def relay() -> int:
    node = SimpleTopicRelay()
    route = SyncRoute("/chatter", String, target_topic="/loud", handler=shout, frequency=2)
    route.enabled = False
    ok: bool = node.register_sync_route(route)
    count: int = node.batch_register([route, SyncRoute("/a", String, "/b")])
    node.setup()
    rate: float = node.routes[str(route.route_id)].frequency
    print(ok, rate, node.last_publish_time)
    return count


def panel() -> dict[str, Any]:
    link = PanelLink(remote_id="panel_1", callback=on_control)
    link.send("chat-1", "收到，正在执行", timeout=0.5)
    link.send(control_id="slider-speed", value=50)
    latest = link.get_latest()
    print(link.ns, link.remote_id, panel_link._WS_RECONNECT_INTERVAL + 1)
    link.destroy_node()
    return latest


def ask(chat: Chat) -> str:
    messages = [{"role": "user", "content": "你好"}]
    answer: str = chat.chat(messages, model="qwen-max", temperature=0.2, max_tokens=100)
    pieces: Iterator[str] = chat.chat(messages, stream=True)
    either = chat.chat(messages, session_id="s1", stream=len(answer) > 3)
    if isinstance(either, str):
        answer += either
    try:
        models: list[str] = chat.models()
    except ChatError as e:
        status: int | None = e.status_code
        print(e.message, e.code, status)
        models = []
    return answer + "".join(pieces) + ",".join(models)


def record(text: str) -> str:
    recorder = DataRecorder("run_42")
    recorder.log_text("speeds.csv", text)
    recorder.log_text("state.txt", "idle", mode="w")
    return recorder.get_file_path("speeds.csv") + recorder.base_dir


def main() -> None:
    rclpy.init()
    try:
        print(relay(), panel())
    finally:
        rclpy.try_shutdown()
    print(ask(Chat(system_prompt="你是一个机器人助手", timeout=5)), record("0,0.4"))
