from std_msgs.msg._float64 import Float64  # noqa: F401
from std_msgs.msg._int32 import Int32  # noqa: F401
from std_msgs.msg._string import String  # noqa: F401
