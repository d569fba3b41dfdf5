from collections.abc import Callable
from typing import Any

from rclpy.node import Node
from rclpy.publisher import Publisher

_WS_RECONNECT_INTERVAL: int
"""Seconds between two connection attempts; read at each use."""

class PanelLink(Node):
    """A node bound to one browser control panel over WebSocket, reconnecting by itself.

    Needs `VELK_REMOTE_WS_URL` (ValueError when unset or empty); the node's
    namespace is `VELK_REMOTE_NS` ("default" when unset).
    """

    ns: str
    remote_id: str
    callback: Callable[[dict[str, Any]], None]
    publisher: Publisher
    """Publishes the panel's texts on "_panel_link/<remote_id>"."""

    def __init__(self, remote_id: str, callback: Callable[[dict[str, Any]], None]) -> None: ...
    def send(self, control_id: str, value: Any, timeout: float = 5.0) -> None:
        """Sends {control_id: {"value": value}} as one JSON text frame.

        Waits up to `timeout` seconds for the link; RuntimeError when it is
        not connected in time or sending (or encoding `value`) fails.
        """

    def get_latest(self) -> dict[str, Any]:
        """The latest control data received, or a new empty dict; never waits."""

    def destroy_node(self) -> None:
        """Stops reconnecting, closes the WebSocket and destroys the node."""
