import sys
from pathlib import Path

# The ROS 2 client-library stand-in lives beside the package, never in it.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "ros_stub"))

import pytest  # noqa: E402


@pytest.fixture
def ros_context():
    """rclpy.init() on the default context for one test, rclpy.try_shutdown() after it.

    Yields the context; nodes still alive at the end are destroyed by the shutdown.
    """
    import rclpy

    rclpy.init()
    try:
        yield rclpy.get_default_context()
    finally:
        rclpy.try_shutdown()


@pytest.fixture
def ros_logs():
    """The rclpy log lines emitted during the test, as LogRecord(severity, name, message).

    severity is 'DEBUG', 'INFO', 'WARN', 'ERROR' or 'FATAL'; name is the logger name.
    """
    from rclpy.impl.rcutils_logger import capture_logs

    with capture_logs() as records:
        yield records
