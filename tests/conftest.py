import sys
from pathlib import Path

# The ROS 2 client-library stand-in lives beside the package, never in it.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "ros_stub"))
