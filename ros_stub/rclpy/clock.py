"""Minimal ``rclpy.clock``: a clock reads the wall or the steady clock of this process.

No simulated time: ROS_TIME reads the wall clock.  The wall clock is read with
``time.time_ns()`` looked up at each call, so tests may monkeypatch it.
"""
import time
from enum import IntEnum

from rclpy.time import Time


class ClockType(IntEnum):
    UNINITIALIZED = 0
    ROS_TIME = 1
    SYSTEM_TIME = 2
    STEADY_TIME = 3


class Clock:
    def __init__(self, *, clock_type=ClockType.SYSTEM_TIME):
        if not isinstance(clock_type, ClockType):
            raise TypeError('Clock type must be a ClockType enum')
        self._clock_type = clock_type

    @property
    def clock_type(self):
        return self._clock_type

    def now(self):
        if self._clock_type == ClockType.STEADY_TIME:
            nanoseconds = time.monotonic_ns()
        else:
            nanoseconds = time.time_ns()
        return Time(nanoseconds=nanoseconds, clock_type=self._clock_type)

    def __repr__(self):
        return f'Clock(clock_type={self._clock_type.name})'
