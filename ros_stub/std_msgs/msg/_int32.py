"""Stand-in for the generated ``std_msgs/msg/Int32`` (Iron and later)."""
from os import getenv

from std_msgs.msg._single_field import message_class
from std_msgs.msg._typesupport import int32_to_c

ros_python_check_fields = getenv('ROS_PYTHON_CHECK_FIELDS', default='')


def _check(value):
    assert isinstance(value, int), "The 'data' field must be of type 'int'"
    assert value >= -2147483648 and value < 2147483648, \
        "The 'data' field must be an integer in [-2147483648, 2147483647]"


Int32 = message_class('Int32', __name__, 'int32', int, _check, int32_to_c)
