"""A local control panel for developing robot applications offline.

Start it with ``python -m velk_dev_kit.devpanel`` (needs ``websockets``: install the
wheel with its ``devpanel`` extra, ``pip install '<wheel file>[devpanel]'``), export the
``VELK_REMOTE_WS_URL`` line it prints, start the robot application and open the page it
names. The page speaks the panel link's protocol: every control change is one text
frame such as ``{"btn-forward": {"value": "down"}}``, and values the robot sends with
``PanelLink.send`` show on the control of that id.

Embedding it, e.g. in a test::

    from velk_dev_kit.devpanel import DevPanel

    with DevPanel(port=0).running() as panel:
        os.environ["VELK_REMOTE_WS_URL"] = panel.robot_url
        ...
"""

from .layout import DEFAULT_LAYOUT, LayoutError, load_layout, parse_layout

__all__ = ["DEFAULT_LAYOUT", "MAX_FRAME", "DevPanel", "LayoutError", "load_layout",
           "parse_layout"]


def __getattr__(name):
    # The server needs the optional websockets package; layouts do not.
    if name in ("DevPanel", "MAX_FRAME"):
        from . import server
        return getattr(server, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
