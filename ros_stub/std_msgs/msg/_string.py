"""Stand-in for the generated ``std_msgs/msg/String`` (Iron and later)."""
from os import getenv

from std_msgs.msg._single_field import message_class
from std_msgs.msg._typesupport import string_to_c

ros_python_check_fields = getenv('ROS_PYTHON_CHECK_FIELDS', default='')


def _check(value):
    assert isinstance(value, str), "The 'data' field must be of type 'str'"


String = message_class('String', __name__, 'string', str, _check, string_to_c)
