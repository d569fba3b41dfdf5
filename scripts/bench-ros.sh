#!/usr/bin/env bash
# The relay benchmark on the real ROS 2 client library (Jazzy, from PyPI) in the
# CPython 3.14 root: the same workload, against the plain-Python relay on the
# same rclpy. Run through in-root.sh (make bench-ros).
source "$(dirname "$0")/common.sh"
# valgrind counts the instructions per message, as in make bench.
ensure_host_packages valgrind binutils \
    || echo "    (valgrind could not be installed: no instruction counts)" >&2
real_ros2_venv ros
"$PROJECT_ROOT/scripts/venv.sh" /usr/bin/python3.14 "$VENV" || exit $?
step "the relay benchmark on $("$VENV/bin/python" -c 'import rclpy; print("rclpy", rclpy.get_rmw_implementation_identifier())')"
"$VENV/bin/python" "$PROJECT_ROOT/bench/bench_topic_relay.py" "$@"
