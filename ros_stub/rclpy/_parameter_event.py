"""Field-less stand-in of ``rcl_interfaces/msg/ParameterEvent``, for /parameter_events."""


# The same opaque type-support markers as the stand-in messages.
from std_msgs.msg._typesupport import _Capsule  # noqa: E402


class Metaclass_ParameterEvent(type):
    _CREATE_ROS_MESSAGE = _Capsule('create_ros_message')
    _CONVERT_FROM_PY = _Capsule('convert_from_py', lambda msg: {})
    _CONVERT_TO_PY = _Capsule('convert_to_py', lambda fields: ParameterEvent())
    _DESTROY_ROS_MESSAGE = _Capsule('destroy_ros_message')
    _TYPE_SUPPORT = _Capsule('type_support')


class ParameterEvent(metaclass=Metaclass_ParameterEvent):
    __slots__ = []
    __module__ = 'rcl_interfaces.msg._parameter_event'

    @classmethod
    def get_fields_and_field_types(cls):
        return {}

    def __eq__(self, other):
        return isinstance(other, self.__class__)

    def __repr__(self):
        return 'rcl_interfaces.msg.ParameterEvent()'
