from enum import IntEnum


class LoggingSeverity(IntEnum):
    """Severities of rcutils logging (RCUTILS_LOG_SEVERITY)."""

    UNSET = 0
    DEBUG = 10
    INFO = 20
    WARN = 30
    ERROR = 40
    FATAL = 50
