from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from rclpy.node import Node

@dataclass
class SyncRoute:
    """One relay route: source topic and class, target topic and/or handler, rate limit.

    Raises ValueError when neither `target_topic` nor `handler` is given.
    `route_id` is generated ("<source_topic>_<8 hex digits>") when empty, and
    `target_msg_type` defaults to `source_msg_type` when a target topic is set.
    """

    source_topic: str
    source_msg_type: type[Any]
    target_topic: str | None = None
    target_msg_type: type[Any] | None = None
    frequency: float = 10.0
    """Most messages a second the route lets through; 0 or less: no limit."""
    handler: Callable[[Any], Any] | None = None
    """Receives each message let through; its result is published (None: nothing)."""
    enabled: bool = True
    route_id: str | None = None
    def __post_init__(self) -> None: ...

class SimpleTopicRelay(Node):
    """The node "topic_relay": one subscription per source topic, one publisher per route."""

    routes: dict[str, SyncRoute]
    """Registered routes by id: the very objects given to registration."""
    last_publish_time: dict[str, float]
    """Wall-clock time at which each route last let a message through."""

    def __init__(self) -> None: ...
    def register_sync_route(self, route: SyncRoute) -> bool:
        """Registers one route (not wired before `setup`); False, and a logged error, on failure."""

    def batch_register(self, routes: list[SyncRoute]) -> int:
        """Registers each route of the list in order; the number that succeeded."""

    def setup(self) -> None:
        """Creates the subscriptions and publishers of the registered routes."""
