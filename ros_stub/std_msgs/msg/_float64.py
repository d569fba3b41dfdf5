"""Stand-in for the generated ``std_msgs/msg/Float64`` (Iron and later)."""
import math
from os import getenv

from std_msgs.msg._single_field import message_class
from std_msgs.msg._typesupport import float64_to_c

ros_python_check_fields = getenv('ROS_PYTHON_CHECK_FIELDS', default='')


def _check(value):
    assert isinstance(value, float), "The 'data' field must be of type 'float'"
    assert not (value < -1.7976931348623157e+308 or value > 1.7976931348623157e+308) \
        or math.isinf(value), \
        "The 'data' field must be a double in " \
        "[-1.7976931348623157e+308, 1.7976931348623157e+308]"


Float64 = message_class('Float64', __name__, 'float64', float, _check, float64_to_c)
