"""Imports the installed package in a fresh environment: python -P try-wheel.py

Run from outside the checkout with the ROS 2 stand-in on PYTHONPATH (the nodes'
modules import rclpy when they load). Fails unless every module, the development
panel of the devpanel extra among them, comes from this environment's
site-packages, and a record written through the recorder reads back.
"""

import importlib
import sys
import sysconfig
import tempfile
import warnings
from pathlib import Path

# The free-threaded interpreter turns the GIL on for these modules, by design.
warnings.filterwarnings("ignore", "The global interpreter lock", RuntimeWarning)

SITE = Path(sysconfig.get_paths()["platlib"]).resolve()
MODULES = ["velk_dev_kit.recorder", "velk_dev_kit.chat", "velk_dev_kit.topic_relay",
           "velk_dev_kit.panel_link", "velk_dev_kit.devpanel.server"]

for name in MODULES:
    where = Path(importlib.import_module(name).__file__).resolve()
    if SITE not in where.parents:
        sys.exit(f"{name} was loaded from {where}, not from {SITE}")
    print(f"    {name}: {where.relative_to(SITE)}")

from velk_dev_kit import DataRecorder  # noqa: E402

with tempfile.TemporaryDirectory() as base:
    DataRecorder(base).log_text("check.txt", "记录 1")
    if Path(base, "check.txt").read_text(encoding="utf-8") != "记录 1\n":
        sys.exit("the recorder's record did not read back")
build = "free-threaded " if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
print(f"    {len(MODULES)} modules loaded and a record written on {build}CPython "
      f"{sys.version.split()[0]} ({sysconfig.get_platform()})")
