"""``rclpy.serialization``, with a stand-in wire format (JSON, not CDR).

Bytes made here are only meaningful to this stand-in; real code gets such bytes
from ``serialize_message`` or a raw subscription, never by hand.
"""
import json

from rclpy._rclpy_pybind11 import RMWError
from rclpy.type_support import check_is_valid_msg_type

_MAGIC = b'\x00rclpy-stub\x00'


def type_name(msg_type):
    return f"{msg_type.__module__.split('.')[0]}/msg/{msg_type.__name__}"


def encode(msg_type, fields):
    return _MAGIC + json.dumps([type_name(msg_type), fields]).encode()


def decode(data, msg_type):
    """Return the field values carried by ``data``, or raise RMWError."""
    try:
        if not data.startswith(_MAGIC):
            raise ValueError('no stand-in header')
        name, fields = json.loads(bytes(data[len(_MAGIC):]).decode())
        if name != type_name(msg_type):
            raise ValueError(f'bytes carry {name}')
        return fields
    except (ValueError, TypeError) as e:
        raise RMWError(f'Failed to deserialize ROS message: {e}') from None


def serialize_message(message):
    msg_type = type(message)
    check_is_valid_msg_type(msg_type)
    return encode(msg_type, msg_type._CONVERT_FROM_PY(message))


def deserialize_message(serialized_message, message_type):
    check_is_valid_msg_type(message_type)
    return message_type._CONVERT_TO_PY(decode(serialized_message, message_type))
