"""``rclpy.impl.rcutils_logger`` and, below it, a Python emulation of rcutils console logging.

Filter state (throttle, skip_first, once) lives on the logger object, keyed by
the call site: the first stack frame outside this module and rclpy/logging.py,
identified by function name, file, line and ``f_lasti``.  One call site must
keep its severity, name and filters.

Stand-in-only test hook: ``LOG_SINKS`` / ``capture_logs()`` (see the README).
"""
import contextlib
import inspect
import os
import re
import sys
import threading
import time
from collections import namedtuple

from rclpy.clock import Clock
from rclpy.impl.logging_severity import LoggingSeverity

# ---------------------------------------------------------------- test hook
LogRecord = namedtuple('LogRecord', ['severity', 'name', 'message'])

#: Stand-in only: callables called with a LogRecord for each emitted line.
LOG_SINKS = []


@contextlib.contextmanager
def capture_logs():
    """Stand-in only: collect the LogRecords emitted while the block runs."""
    records = []
    LOG_SINKS.append(records.append)
    try:
        yield records
    finally:
        LOG_SINKS.remove(records.append)


# ------------------------------------------- emulated rcutils (C in real ROS 2)
_SEVERITY_NAMES = {10: 'DEBUG', 20: 'INFO', 30: 'WARN', 40: 'ERROR', 50: 'FATAL'}
_DEFAULT_FORMAT = '[{severity}] [{time}] [{name}]: {message}'
_levels = {}
_levels_lock = threading.Lock()
_default_level = LoggingSeverity.INFO


def _set_logger_level(name, level):
    global _default_level
    with _levels_lock:
        if name == '':
            _default_level = level
        else:
            _levels[name] = level


def _get_logger_effective_level(name):
    with _levels_lock:
        while name:
            level = _levels.get(name, LoggingSeverity.UNSET)
            if level != LoggingSeverity.UNSET:
                return level
            name = name.rpartition('.')[0]
        return _default_level


def _rcutils_log(severity, name, message, function_name, file_name, line_number):
    if not all(isinstance(v, str) for v in (name, message, function_name, file_name)):
        raise TypeError(
            'rclpy_logging_rcutils_log(): incompatible function arguments. The following '
            'argument types are supported:\n    1. (arg0: typing.SupportsInt, arg1: str, '
            'arg2: str, arg3: str, arg4: str, arg5: typing.SupportsInt) -> None\n\n'
            f'Invoked with: {severity!r}, {name!r}, {message!r}, {function_name!r}, '
            f'{file_name!r}, {line_number}')
    now = time.time_ns()
    values = {
        'severity': _SEVERITY_NAMES.get(int(severity), 'UNSET'),
        'name': name,
        'message': message,
        'function_name': function_name,
        'file_name': file_name,
        'line_number': str(line_number),
        'time': '%d.%09d' % divmod(now, 1_000_000_000),
        'time_as_nanoseconds': str(now),
    }
    # Stand-in only: ROS_STUB_CONSOLE=0 keeps lines off the console (sinks still get them).
    if os.environ.get('ROS_STUB_CONSOLE') != '0':
        fmt = os.environ.get('RCUTILS_CONSOLE_OUTPUT_FORMAT') or _DEFAULT_FORMAT
        line = re.sub(r'\{(\w+)\}', lambda m: values.get(m.group(1), m.group(0)), fmt)
        stream = sys.stdout if os.environ.get('RCUTILS_LOGGING_USE_STDOUT') == '1' else sys.stderr
        stream.write(line + '\n')
        stream.flush()
    record = LogRecord(values['severity'], name, message)
    for sink in list(LOG_SINKS):
        sink(record)


# ------------------------------------------------------------ rclpy's logger
_internal_callers = []


def _find_caller(frame):
    """Get the first calling frame that is outside of rclpy's logging modules."""
    if not _internal_callers:
        import rclpy.logging
        _internal_callers.extend(
            [_find_caller.__code__.co_filename, rclpy.logging.get_logger.__code__.co_filename])
    while frame and frame.f_code.co_filename in _internal_callers:
        frame = frame.f_back
    return frame


class CallerId(
        namedtuple('CallerId', ['function_name', 'file_path', 'line_number', 'last_index'])):

    def __new__(cls, frame=None):
        if not frame:
            frame = _find_caller(inspect.currentframe())
        return super().__new__(
            cls,
            function_name=frame.f_code.co_name,
            file_path=os.path.abspath(frame.f_code.co_filename),
            line_number=frame.f_lineno,
            last_index=frame.f_lasti,  # to distinguish between two callers on the same line
        )


class LoggingFilter:
    params = {}

    @classmethod
    def initialize_context(cls, context, **kwargs):
        for param, default_value in cls.params.items():
            if param in kwargs:
                context[param] = kwargs[param]
            elif default_value is not None:
                context[param] = default_value
            else:
                raise RuntimeError(
                    'required parameter "{0}" was not specified for logging filter "{1}"'
                    .format(param, cls.__name__))

    @staticmethod
    def should_log(context):
        raise NotImplementedError()


class Once(LoggingFilter):
    params = {'once': None}

    @classmethod
    def initialize_context(cls, context, **kwargs):
        super().initialize_context(context, **kwargs)
        context['has_been_logged_once'] = False

    @staticmethod
    def should_log(context):
        if not context['has_been_logged_once']:
            context['has_been_logged_once'] = True
            return True
        return False


class Throttle(LoggingFilter):
    params = {'throttle_duration_sec': None, 'throttle_time_source_type': Clock()}

    @classmethod
    def initialize_context(cls, context, **kwargs):
        super().initialize_context(context, **kwargs)
        context['throttle_last_logged'] = 0
        if not isinstance(context['throttle_time_source_type'], Clock):
            raise ValueError(
                'Received throttle_time_source_type of "{0}" '
                'is not a clock instance'.format(context['throttle_time_source_type']))

    @staticmethod
    def should_log(context):
        now = context['throttle_time_source_type'].now().nanoseconds
        next_log_time = context['throttle_last_logged'] + context['throttle_duration_sec'] * 1e+9
        if now >= next_log_time:
            context['throttle_last_logged'] = now
            return True
        return False


class SkipFirst(LoggingFilter):
    params = {'skip_first': None}

    @classmethod
    def initialize_context(cls, context, **kwargs):
        super().initialize_context(context, **kwargs)
        context['first_message_skipped'] = False

    @staticmethod
    def should_log(context):
        if context['first_message_skipped']:
            return True
        context['first_message_skipped'] = True
        return False


# The ordering of this dictionary defines the order in which filters are evaluated.
supported_filters = {
    'throttle': Throttle,
    'skip_first': SkipFirst,
    'once': Once,
}


def get_filters_from_kwargs(**kwargs):
    """Return the filters switched on (by truthiness) by the keyword arguments, in order."""
    detected_filters = []
    all_supported_params = []
    for supported_filter, filter_class in supported_filters.items():
        filter_params = filter_class.params.keys()
        all_supported_params.extend(filter_params)
        if any(kwargs.get(param_name) for param_name in filter_params):
            detected_filters.append(supported_filter)
    for kwarg in kwargs:
        if kwarg not in all_supported_params:
            raise TypeError(
                'parameter "{0}" is not one of the recognized logging options "{1}"'
                .format(kwarg, all_supported_params))
    return detected_filters


class RcutilsLogger:

    def __init__(self, name=''):
        self.name = name
        self.contexts = {}
        self._contexts_lock = threading.Lock()

    def get_child(self, name):
        if not name:
            raise ValueError('Child logger name must not be empty.')
        fullname = self.name + '.' + name if self.name else name
        return RcutilsLogger(name=fullname)

    def set_level(self, level):
        _set_logger_level(self.name, LoggingSeverity(level))

    def get_effective_level(self):
        return LoggingSeverity(_get_logger_effective_level(self.name))

    def is_enabled_for(self, severity):
        severity = LoggingSeverity(severity)
        return severity >= _get_logger_effective_level(self.name)

    def log(self, message, severity, **kwargs):
        """Log ``message``; True if it was emitted, False if below level or filtered out."""
        severity = LoggingSeverity(severity)
        name = kwargs.pop('name', self.name)
        if not self.is_enabled_for(severity):
            return False
        caller_id = CallerId()
        with self._contexts_lock:
            context = self.contexts.get(caller_id)
            if context is None:
                detected_filters = get_filters_from_kwargs(**kwargs)
                context = {'name': name, 'severity': severity}
                for detected_filter in detected_filters:
                    supported_filters[detected_filter].initialize_context(context, **kwargs)
                context['filters'] = detected_filters
                self.contexts[caller_id] = context
            else:
                if severity != context['severity']:
                    raise ValueError('Logger severity cannot be changed between calls.')
                if name != context['name']:
                    raise ValueError('Logger name cannot be changed between calls.')
                detected_filters = get_filters_from_kwargs(**kwargs)
                if detected_filters != context['filters']:
                    raise ValueError('Requested logging filters cannot be changed between calls.')
                for detected_filter in detected_filters:
                    filter_params = supported_filters[detected_filter].params
                    if any(context[p] != kwargs.get(p, filter_params[p]) for p in filter_params):
                        raise ValueError(
                            'Logging filter parameters cannot be changed between calls.')
            for logging_filter in context['filters']:
                if not supported_filters[logging_filter].should_log(context):
                    return False
        _rcutils_log(severity, name, message, caller_id.function_name, caller_id.file_path,
                     caller_id.line_number)
        return True

    def debug(self, message, **kwargs):
        return self.log(message, LoggingSeverity.DEBUG, **kwargs)

    def info(self, message, **kwargs):
        return self.log(message, LoggingSeverity.INFO, **kwargs)

    def warning(self, message, **kwargs):
        return self.log(message, LoggingSeverity.WARN, **kwargs)

    def warn(self, message, **kwargs):
        """Deprecated alias of warning (no DeprecationWarning, as in rclpy)."""
        return self.warning(message, **kwargs)

    def error(self, message, **kwargs):
        return self.log(message, LoggingSeverity.ERROR, **kwargs)

    def fatal(self, message, **kwargs):
        return self.log(message, LoggingSeverity.FATAL, **kwargs)
