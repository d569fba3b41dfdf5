"""Minimal ``rclpy.duration.Duration``."""

S_TO_NS = 1000 * 1000 * 1000


class Duration:
    def __init__(self, *, seconds=0, nanoseconds=0):
        self._nanoseconds = int(seconds * S_TO_NS) + int(nanoseconds)

    @property
    def nanoseconds(self):
        return self._nanoseconds

    def __repr__(self):
        return f'Duration(nanoseconds={self._nanoseconds})'

    def __eq__(self, other):
        if isinstance(other, Duration):
            return self._nanoseconds == other._nanoseconds
        return NotImplemented

    def __hash__(self):
        return hash(self._nanoseconds)
