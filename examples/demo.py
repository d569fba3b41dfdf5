"""Runs each module's example in turn: make demo."""

import importlib
import warnings
from pathlib import Path

import stand_in  # noqa: F401  (the examples run on the ROS 2 stand-in)

HERE = Path(__file__).resolve().parent
warnings.filterwarnings("ignore", "The global interpreter lock", RuntimeWarning)

DEMOS = ["recorder_demo", "topic_relay_demo", "panel_link_demo", "devpanel_demo", "chat_demo"]


def main():
    for name in DEMOS:
        if not (HERE / f"{name}.py").exists():
            continue
        print(f"\n=== {name.removesuffix('_demo').replace('_', ' ')} ===")
        importlib.import_module(name).main()


if __name__ == "__main__":
    main()
