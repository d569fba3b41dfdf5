"""Exception classes of ``rclpy.exceptions`` (rclpy/rclpy/exceptions.py)."""
from rclpy._rclpy_pybind11 import InvalidHandle  # noqa: F401  (re-exported as in rclpy)


class NotInitializedException(Exception):
    """Raised when the rclpy implementation is accessed before rclpy.init()."""

    def __init__(self, msg=None):
        text = 'rclpy.init() has not been called'
        if msg is not None:
            text += '. msg:' + str(msg)
        super().__init__(text)


class NoTypeSupportImportedException(Exception):
    """Raised when there is no type support imported."""

    def __init__(self, *args):
        Exception.__init__(self, 'no type_support imported', *args)


class NameValidationException(Exception):
    """Exception raised when a given node, namespace, topic or service name is invalid."""

    def __init__(self, name_type, name, error_msg, invalid_index, *args):
        msg = "Invalid {name_type}: {error_msg}:\n  '{name}'\n   {indent}^".format(
            name_type=name_type, name=name, error_msg=error_msg, indent=' ' * invalid_index)
        super().__init__(msg, *args)


class InvalidNodeNameException(NameValidationException):
    """Raised when a node name is invalid."""

    def __init__(self, name, error_msg, invalid_index, *args):
        NameValidationException.__init__(self, 'node name', name, error_msg, invalid_index, *args)


class InvalidNamespaceException(NameValidationException):
    """Raised when a namespace is invalid."""

    def __init__(self, name, error_msg, invalid_index, *args):
        NameValidationException.__init__(self, 'namespace', name, error_msg, invalid_index, *args)


class InvalidTopicNameException(NameValidationException):
    """Raised when a topic name is invalid."""

    def __init__(self, name, error_msg, invalid_index, *args):
        NameValidationException.__init__(self, 'topic name', name, error_msg, invalid_index, *args)


class InvalidServiceNameException(NameValidationException):
    """Raised when a service name is invalid."""

    def __init__(self, name, error_msg, invalid_index, *args):
        NameValidationException.__init__(
            self, 'service name', name, error_msg, invalid_index, *args)


class InvalidQoSProfileException(Exception):
    """Raised when constructing a QoSProfile with invalid arguments."""

    def __init__(self, *args):
        Exception.__init__(self, 'Invalid QoSProfile', *args)
