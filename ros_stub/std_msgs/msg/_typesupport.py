"""Stand-in for the generated C type support (``_<msg>_s.c``) of these messages.

``install`` fills a message metaclass's hooks as ``__import_type_support__``
does.  ``_CONVERT_FROM_PY`` does what the generated C conversion does at
publish time: a field of the wrong type raises (TypeError for string fields,
as PyUnicode_AsUTF8String fails); the result is a dict of field values from
which ``_CONVERT_TO_PY`` builds a new message.
"""


class _Capsule:
    """Opaque marker standing in for a PyCapsule."""

    def __init__(self, name, function=None):
        self.name = name
        self.function = function

    def __call__(self, *args):
        return self.function(*args)

    def __repr__(self):
        return f'<capsule {self.name}>'


def string_to_c(value):
    if not isinstance(value, str):
        raise TypeError('bad argument type for built-in operation')
    return value


def int32_to_c(value):
    # stricter than C, which truncates silently
    if not isinstance(value, int):
        raise TypeError(f"'{type(value).__name__}' object cannot be interpreted as an integer")
    if not -2**31 <= value < 2**31:
        raise OverflowError('Python int too large to convert to C int32_t')
    return int(value)


def float64_to_c(value):
    # the C code reads PyFloat_AS_DOUBLE unchecked (undefined for non-floats): refuse them
    if not isinstance(value, float):
        raise TypeError(f'must be real number, not {type(value).__name__}')
    return float(value)


def install(metaclass, msg_class, converters):
    def convert_from_py(msg):
        return {name: convert(getattr(msg, name)) for name, convert in converters.items()}

    def convert_to_py(fields):
        msg = msg_class()
        for name, value in fields.items():
            setattr(msg, name, value)
        return msg

    metaclass._CREATE_ROS_MESSAGE = _Capsule('create_ros_message_msg__' + msg_class.__name__)
    metaclass._CONVERT_FROM_PY = _Capsule('convert_from_py', convert_from_py)
    metaclass._CONVERT_TO_PY = _Capsule('convert_to_py', convert_to_py)
    metaclass._DESTROY_ROS_MESSAGE = _Capsule('destroy_ros_message')
    metaclass._TYPE_SUPPORT = _Capsule('type_support_msg__' + msg_class.__name__)
