"""tests/typing/good.py with deliberate mistakes; mypy --strict must reject each marked line."""

from collections.abc import Iterator
from typing import Any

import rclpy
from std_msgs.msg import String

from velk_dev_kit import Chat, ChatError, DataRecorder, PanelLink, SimpleTopicRelay, SyncRoute
from velk_dev_kit import Recorder  # mistake: misspelt-name


def shout(msg: String) -> String | None:
    return String(data=msg.data.upper()) if msg.data else None


def on_control(data: dict[str, Any]) -> None:
    print(data.get("btn-forward", {}).get("value"))


def relay() -> int:
    node = SimpleTopicRelay("relay")  # mistake: relay-takes-no-name
    route = SyncRoute("/chatter", String, target_topic="/loud", handler=shout, frequency="2")  # mistake: frequency-text
    ok: bool = node.register_sync_route(route)
    count: int = node.batch_register((route,))  # mistake: tuple-of-routes
    node.setup()
    route_id: str = route.route_id  # mistake: route-id-may-be-none
    print(ok, route_id)
    return count


def panel() -> dict[str, Any]:
    link = PanelLink(remote_id="panel_1", callback=on_control)
    link.send(42, "收到，正在执行")  # mistake: non-str-control-id
    link.send("chat-1", "hi", timeout="5")  # mistake: timeout-text
    latest: list[Any] = link.get_latest()  # mistake: latest-is-a-dict
    print(latest)
    return link.get_latest()


def ask(chat: Chat) -> str:
    messages = [{"role": "user", "content": "你好"}]
    answer = chat.chat(messages)
    print(next(answer))  # mistake: iterating-plain-answer
    pieces: Iterator[str] = chat.chat(messages)  # mistake: plain-answer-as-iterator
    for chunk in chat.chat(messages, stream=True):
        answer += chunk
    streamed: str = chat.chat(messages, stream=True)  # mistake: streamed-answer-as-str
    either = chat.chat(messages, stream=len(answer) > 3)
    either.upper()  # mistake: either-needs-narrowing
    try:
        chat.models()
    except ChatError as e:
        status: int = e.status_code  # mistake: status-may-be-none
        print(status)
    Chat(timeout=None)  # mistake: timeout-none
    return answer + streamed + "".join(pieces)


def record(text: str) -> str:
    recorder = DataRecorder(base_dir=None)  # mistake: base-dir-none
    recorder.log_text(42, text)  # mistake: number-as-file-name
    recorder.log_text("state.txt", b"idle")  # mistake: bytes-content
    path: bytes = recorder.get_file_path("speeds.csv")  # mistake: path-is-str
    return text + str(path)


def main() -> None:
    rclpy.init()
    print(relay(), panel(), ask(Chat()), record("x"))
