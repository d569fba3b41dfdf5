"""Building blocks for ROS 2 robot applications.

Every class is offered from the package itself::

    from velk_dev_kit import DataRecorder, Chat

A module is loaded only when one of its names is first used, so an
application that uses only the recorder or the chat client needs no ROS 2
installation.
"""

import importlib
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    # Type checkers and editors see the real classes (and no module
    # __getattr__, so a misspelt name is an error); at run time each module is
    # still loaded only when one of its names is first used.
    from velk_dev_kit.chat import Chat as Chat, ChatError as ChatError
    from velk_dev_kit.panel_link import PanelLink as PanelLink
    from velk_dev_kit.recorder import DataRecorder as DataRecorder
    from velk_dev_kit.topic_relay import SimpleTopicRelay as SimpleTopicRelay
    from velk_dev_kit.topic_relay import SyncRoute as SyncRoute

__version__ = "0.1.0"

_HOMES = {
    "SyncRoute": "topic_relay",
    "SimpleTopicRelay": "topic_relay",
    "PanelLink": "panel_link",
    "Chat": "chat",
    "ChatError": "chat",
    "DataRecorder": "recorder",
}

__all__ = ["Chat", "ChatError", "DataRecorder", "PanelLink", "SimpleTopicRelay", "SyncRoute"]

if not TYPE_CHECKING:

    def __getattr__(name):
        home = _HOMES.get(name)
        if home is None:
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        value = getattr(importlib.import_module(f"{__name__}.{home}"), name)
        globals()[name] = value
        return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_HOMES))
