"""Puts the in-process ROS 2 stand-in kept beside the package (ros_stub/) on the
import path, so that the examples and benchmarks need no ROS 2 installation.

Import it before rclpy or std_msgs. With VELK_ROS=real the real ROS 2 client
library already on the path is used instead.
"""

import os
import sys
from pathlib import Path

ROS_STUB = str(Path(__file__).resolve().parent.parent / "ros_stub")
if os.environ.get("VELK_ROS") != "real" and ROS_STUB not in sys.path:
    sys.path.insert(0, ROS_STUB)
