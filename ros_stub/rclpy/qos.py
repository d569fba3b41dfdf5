"""``rclpy.qos``: QoSProfile and its policies (rclpy/rclpy/qos.py, rmw qos_profiles.h)."""
import warnings
from enum import IntEnum

from rclpy.duration import Duration
from rclpy.exceptions import InvalidQoSProfileException


class HistoryPolicy(IntEnum):
    SYSTEM_DEFAULT = 0
    KEEP_LAST = 1
    KEEP_ALL = 2
    UNKNOWN = 3


class ReliabilityPolicy(IntEnum):
    SYSTEM_DEFAULT = 0
    RELIABLE = 1
    BEST_EFFORT = 2
    UNKNOWN = 3
    BEST_AVAILABLE = 4


class DurabilityPolicy(IntEnum):
    SYSTEM_DEFAULT = 0
    TRANSIENT_LOCAL = 1
    VOLATILE = 2
    UNKNOWN = 3
    BEST_AVAILABLE = 4


class LivelinessPolicy(IntEnum):
    SYSTEM_DEFAULT = 0
    AUTOMATIC = 1
    MANUAL_BY_TOPIC = 3
    UNKNOWN = 4
    BEST_AVAILABLE = 5


# Older spellings, still exported by rclpy.
QoSHistoryPolicy = HistoryPolicy
QoSReliabilityPolicy = ReliabilityPolicy
QoSDurabilityPolicy = DurabilityPolicy
QoSLivelinessPolicy = LivelinessPolicy

# rmw_qos_profile_default
_DEFAULTS = {
    'depth': 10,
    'reliability': ReliabilityPolicy.RELIABLE,
    'durability': DurabilityPolicy.VOLATILE,
    'liveliness': LivelinessPolicy.SYSTEM_DEFAULT,
    'avoid_ros_namespace_conventions': False,
}


class QoSProfile:
    """Quality of service settings of a publisher or a subscription."""

    __slots__ = [
        '_history', '_depth', '_reliability', '_durability', '_lifespan', '_deadline',
        '_liveliness', '_liveliness_lease_duration', '_avoid_ros_namespace_conventions',
    ]

    def __init__(self, **kwargs):
        assert all('_' + key in self.__slots__ for key in kwargs), \
            'Invalid arguments passed to constructor: %r' % kwargs.keys()
        if 'history' not in kwargs:
            if 'depth' not in kwargs:
                raise InvalidQoSProfileException('History and/or depth settings are required.')
            kwargs['history'] = HistoryPolicy.KEEP_LAST
        self.history = kwargs['history']
        if self.history == HistoryPolicy.KEEP_LAST and 'depth' not in kwargs:
            raise InvalidQoSProfileException('History set to KEEP_LAST without a depth setting.')
        self.depth = kwargs.get('depth', _DEFAULTS['depth'])
        self.reliability = kwargs.get('reliability', _DEFAULTS['reliability'])
        self.durability = kwargs.get('durability', _DEFAULTS['durability'])
        self.lifespan = kwargs.get('lifespan', Duration())
        self.deadline = kwargs.get('deadline', Duration())
        self.liveliness = kwargs.get('liveliness', _DEFAULTS['liveliness'])
        self.liveliness_lease_duration = kwargs.get('liveliness_lease_duration', Duration())
        self.avoid_ros_namespace_conventions = kwargs.get(
            'avoid_ros_namespace_conventions', _DEFAULTS['avoid_ros_namespace_conventions'])

    @property
    def history(self):
        return self._history

    @history.setter
    def history(self, value):
        self._history = HistoryPolicy(value)

    @property
    def depth(self):
        return self._depth

    @depth.setter
    def depth(self, value):
        assert isinstance(value, int)
        if self.history == HistoryPolicy.KEEP_LAST and value == 0:
            warnings.warn(
                "A zero depth with KEEP_LAST doesn't make sense; no data could be stored. "
                'This will be interpreted as SYSTEM_DEFAULT')
        self._depth = value

    @property
    def reliability(self):
        return self._reliability

    @reliability.setter
    def reliability(self, value):
        self._reliability = ReliabilityPolicy(value)

    @property
    def durability(self):
        return self._durability

    @durability.setter
    def durability(self, value):
        self._durability = DurabilityPolicy(value)

    @property
    def liveliness(self):
        return self._liveliness

    @liveliness.setter
    def liveliness(self, value):
        self._liveliness = LivelinessPolicy(value)

    @property
    def lifespan(self):
        return self._lifespan

    @lifespan.setter
    def lifespan(self, value):
        assert isinstance(value, Duration)
        self._lifespan = value

    @property
    def deadline(self):
        return self._deadline

    @deadline.setter
    def deadline(self, value):
        assert isinstance(value, Duration)
        self._deadline = value

    @property
    def liveliness_lease_duration(self):
        return self._liveliness_lease_duration

    @liveliness_lease_duration.setter
    def liveliness_lease_duration(self, value):
        assert isinstance(value, Duration)
        self._liveliness_lease_duration = value

    @property
    def avoid_ros_namespace_conventions(self):
        return self._avoid_ros_namespace_conventions

    @avoid_ros_namespace_conventions.setter
    def avoid_ros_namespace_conventions(self, value):
        assert isinstance(value, bool)
        self._avoid_ros_namespace_conventions = value

    def __eq__(self, other):
        if not isinstance(other, QoSProfile):
            return False
        return all(getattr(self, slot) == getattr(other, slot) for slot in self.__slots__)

    def __repr__(self):
        fields = ', '.join(f'{slot[1:]}={getattr(self, slot)!r}' for slot in self.__slots__)
        return f'QoSProfile({fields})'


qos_profile_system_default = QoSProfile(
    history=HistoryPolicy.SYSTEM_DEFAULT, depth=0,
    reliability=ReliabilityPolicy.SYSTEM_DEFAULT, durability=DurabilityPolicy.SYSTEM_DEFAULT)
qos_profile_sensor_data = QoSProfile(
    depth=5, reliability=ReliabilityPolicy.BEST_EFFORT, durability=DurabilityPolicy.VOLATILE)
qos_profile_services_default = QoSProfile(depth=10)
qos_profile_parameters = QoSProfile(depth=1000)
qos_profile_parameter_events = QoSProfile(depth=1000)
