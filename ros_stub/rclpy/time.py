"""Minimal ``rclpy.time.Time``."""
from rclpy.duration import S_TO_NS


class Time:
    def __init__(self, *, seconds=0, nanoseconds=0, clock_type=None):
        if clock_type is None:
            from rclpy.clock import ClockType
            clock_type = ClockType.SYSTEM_TIME
        total = int(seconds * S_TO_NS) + int(nanoseconds)
        if total < 0:
            raise ValueError('Seconds value must not be negative')
        self._nanoseconds = total
        self._clock_type = clock_type

    @property
    def nanoseconds(self):
        return self._nanoseconds

    @property
    def clock_type(self):
        return self._clock_type

    def seconds_nanoseconds(self):
        return divmod(self._nanoseconds, S_TO_NS)

    def __repr__(self):
        return f'Time(nanoseconds={self._nanoseconds}, clock_type={self._clock_type.name})'

    def __eq__(self, other):
        if isinstance(other, Time):
            return (self._nanoseconds, self._clock_type) == (other._nanoseconds, other._clock_type)
        return NotImplemented

    def __hash__(self):
        return hash((self._nanoseconds, self._clock_type))
