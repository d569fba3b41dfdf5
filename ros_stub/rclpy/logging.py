"""``rclpy.logging``."""
from rclpy.impl import rcutils_logger
from rclpy.impl.logging_severity import LoggingSeverity  # noqa: F401
from rclpy.impl.rcutils_logger import RcutilsLogger

_root_logger = RcutilsLogger()


def get_logger(name):
    if not name:
        raise ValueError('Logger name must not be empty.')
    return _root_logger.get_child(name)


def set_logger_level(name, level, detailed_error=False):
    rcutils_logger._set_logger_level(name, LoggingSeverity(level))


def get_logger_effective_level(name):
    return LoggingSeverity(rcutils_logger._get_logger_effective_level(name))


def get_logging_severity_from_string(log_severity):
    return LoggingSeverity[log_severity.upper()]
