"""Panel layouts: which controls the page shows.

A layout file is JSON: a list of controls, or an object with such a list under
"controls". Each control has an "id" (the control id the robot sees), a "kind"
(button, slider, switch or text), an optional "label" and, for sliders, an optional
"range" of [min, max] or [min, max, step] (default [0, 100, 1]).
"""

import json
import math

KINDS = ("button", "slider", "switch", "text")

_DEFAULT = [
    {"id": "btn-forward", "kind": "button", "label": "Forward"},
    {"id": "btn-back", "kind": "button", "label": "Back"},
    {"id": "btn-left", "kind": "button", "label": "Left"},
    {"id": "btn-right", "kind": "button", "label": "Right"},
    {"id": "slider-speed", "kind": "slider", "label": "Speed", "range": [0, 100]},
    {"id": "chat-1", "kind": "text", "label": "Chat"},
]


class LayoutError(ValueError):
    """A layout that the page cannot show."""


def _number(value, where):
    # bool is an int subclass, but true/false is no slider bound.
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise LayoutError(f"{where}: expected a finite number, got {json.dumps(value)}")
    return value


def _control(entry, index):
    where = f"control {index + 1}"
    if not isinstance(entry, dict):
        raise LayoutError(f"{where}: expected an object with id and kind")
    unknown = set(entry) - {"id", "kind", "label", "range"}
    if unknown:
        raise LayoutError(f"{where}: unknown key(s) {', '.join(sorted(unknown))}")
    cid = entry.get("id")
    if not isinstance(cid, str) or not cid.strip():
        raise LayoutError(f"{where}: 'id' must be a non-empty string")
    where = f"control {cid!r}"
    kind = entry.get("kind")
    if kind not in KINDS:
        raise LayoutError(f"{where}: 'kind' must be one of {', '.join(KINDS)}")
    label = entry.get("label", cid)
    if not isinstance(label, str):
        raise LayoutError(f"{where}: 'label' must be a string")
    control = {"id": cid, "kind": kind, "label": label}
    if "range" in entry and kind != "slider":
        raise LayoutError(f"{where}: only sliders take a 'range'")
    if kind == "slider":
        bounds = entry.get("range", [0, 100])
        if not isinstance(bounds, list) or len(bounds) not in (2, 3):
            raise LayoutError(f"{where}: 'range' must be [min, max] or [min, max, step]")
        low, high = _number(bounds[0], where), _number(bounds[1], where)
        step = _number(bounds[2], where) if len(bounds) == 3 else 1
        if not low < high:
            raise LayoutError(f"{where}: range minimum must be below its maximum")
        if step <= 0:
            raise LayoutError(f"{where}: range step must be positive")
        control["range"] = [low, high, step]
    return control


def parse_layout(data):
    """Checks a decoded layout; returns its controls with labels and ranges filled in.

    The result is a layout itself: parsing it again gives the same list.
    """
    if isinstance(data, dict):
        if set(data) != {"controls"}:
            raise LayoutError("a layout object holds exactly one key, 'controls'")
        data = data["controls"]
    if not isinstance(data, list) or not data:
        raise LayoutError("a layout is a non-empty list of controls")
    controls = [_control(entry, i) for i, entry in enumerate(data)]
    seen = set()
    for control in controls:
        if control["id"] in seen:
            raise LayoutError(f"control id {control['id']!r} appears twice")
        seen.add(control["id"])
    return controls


def load_layout(path):
    """Reads and checks a layout file; LayoutError names the problem."""
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except OSError as e:
        raise LayoutError(f"cannot read {path}: {e.strerror or e}") from e
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        raise LayoutError(f"{path} is not valid JSON: {e}") from e
    try:
        return parse_layout(data)
    except LayoutError as e:
        raise LayoutError(f"{path}: {e}") from None


DEFAULT_LAYOUT = parse_layout(_DEFAULT)
