"""Building blocks for ROS 2 robot applications.

Every class is offered from the package itself::

    from velk_dev_kit import DataRecorder, Chat

A module is loaded only when one of its names is first used, so an
application that uses only the recorder or the chat client needs no ROS 2
installation.
"""

import importlib

__version__ = "0.1.0"

_HOMES = {
    "SyncRoute": "topic_relay",
    "SimpleTopicRelay": "topic_relay",
    "PanelLink": "panel_link",
    "Chat": "chat",
    "ChatError": "chat",
    "DataRecorder": "recorder",
}

__all__ = sorted(_HOMES)


def __getattr__(name):
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{home}"), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_HOMES))
