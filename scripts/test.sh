#!/usr/bin/env bash
# Builds the package for one interpreter and runs the whole test suite on it.
#   test.sh freethreaded | py314 | ros | ros-kilted   [pytest arguments...]
# ros, ros-kilted: CPython 3.14 in its root with the real ROS 2 client library
# (Jazzy, Kilted) from PyPI instead of the stand-in; only the ROS 2 tests and
# the examples, unless told otherwise.
source "$(dirname "$0")/common.sh"
which_python="$1"; shift
case "$which_python" in
    freethreaded)
        PYTHON=$("$PROJECT_ROOT/scripts/freethreaded-python.sh") || exit $?
        VENV="$PROJECT_ROOT/.venv" ;;
    py314)  # inside the 3.14 root
        PYTHON=/usr/bin/python3.14
        VENV=/opt/velk-venv ;;
    ros|ros-kilted)  # inside the 3.14 root; Jazzy, or Kilted
        PYTHON=/usr/bin/python3.14
        real_ros2_venv "$which_python"
        export PYTEST_TIMEOUT="${PYTEST_TIMEOUT:-240}"
        [ $# -gt 0 ] || set -- tests/test_topic_relay.py tests/test_topic_relay_dispatch.py \
            tests/test_panel_link.py tests/test_ros2.py ;;
    *) echo "usage: test.sh freethreaded|py314|ros|ros-kilted [pytest args]" >&2; exit 2 ;;
esac
# Headless Chromium and its driver for the browser tests, which skip without them.
ensure_host_packages chromium chromium-driver \
    || echo "    (chromium could not be installed: the browser tests will skip)" >&2
"$PROJECT_ROOT/scripts/venv.sh" "$PYTHON" "$VENV" || exit $?
step "running the tests on $("$VENV/bin/python" -c 'import sys; print(sys.version.split()[0], "free-threaded" if not sys._is_gil_enabled() else "with the GIL")')"
cd "$PROJECT_ROOT"
"$VENV/bin/pytest" "$@" || exit $?
