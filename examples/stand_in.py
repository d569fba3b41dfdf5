"""Puts the in-process ROS 2 stand-in kept beside the package (ros_stub/) on the
import path, so that the examples and benchmarks need no ROS 2 installation.

Import it before rclpy or std_msgs.
"""

import sys
from pathlib import Path

ROS_STUB = str(Path(__file__).resolve().parent.parent / "ros_stub")
if ROS_STUB not in sys.path:
    sys.path.insert(0, ROS_STUB)
