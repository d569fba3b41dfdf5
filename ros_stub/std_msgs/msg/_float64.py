"""Stand-in for the generated ``std_msgs/msg/Float64`` (rosidl_generator_py, Iron and later)."""
import builtins  # noqa: F401
import math
from os import getenv

ros_python_check_fields = getenv('ROS_PYTHON_CHECK_FIELDS', default='')


class Metaclass_Float64(type):
    """Metaclass of message 'Float64'."""

    _CREATE_ROS_MESSAGE = None
    _CONVERT_FROM_PY = None
    _CONVERT_TO_PY = None
    _DESTROY_ROS_MESSAGE = None
    _TYPE_SUPPORT = None

    __constants = {}

    @classmethod
    def __import_type_support__(cls):
        from std_msgs.msg import _typesupport
        _typesupport.install(cls, Float64, {'data': _typesupport.float64_to_c})

    @classmethod
    def __prepare__(cls, name, bases, **kwargs):
        return {}


class Float64(metaclass=Metaclass_Float64):
    """Message class 'Float64'."""

    __slots__ = [
        '_data',
        '_check_fields',
    ]

    _fields_and_field_types = {
        'data': 'double',
    }

    def __init__(self, **kwargs):
        if 'check_fields' in kwargs:
            self._check_fields = kwargs['check_fields']
        else:
            self._check_fields = ros_python_check_fields == '1'
        if self._check_fields:
            assert all('_' + key in self.__slots__ for key in kwargs.keys()), \
                'Invalid arguments passed to constructor: %s' % \
                ', '.join(sorted(k for k in kwargs.keys() if '_' + k not in self.__slots__))
        self.data = kwargs.get('data', float())

    def __repr__(self):
        typename = self.__class__.__module__.split('.')
        typename.pop()
        typename.append(self.__class__.__name__)
        args = [s + '=' + repr(getattr(self, s)) for s in self._fields_and_field_types]
        return '%s(%s)' % ('.'.join(typename), ', '.join(args))

    def __eq__(self, other):
        if not isinstance(other, self.__class__):
            return False
        if self.data != other.data:
            return False
        return True

    @classmethod
    def get_fields_and_field_types(cls):
        from copy import copy
        return copy(cls._fields_and_field_types)

    @builtins.property
    def data(self):
        """Message field 'data'."""
        return self._data

    @data.setter
    def data(self, value):
        if self._check_fields:
            assert \
                isinstance(value, float), \
                "The 'data' field must be of type 'float'"
            assert not (value < -1.7976931348623157e+308 or value > 1.7976931348623157e+308) \
                or math.isinf(value), \
                "The 'data' field must be a double in " \
                "[-1.7976931348623157e+308, 1.7976931348623157e+308]"
        self._data = value
