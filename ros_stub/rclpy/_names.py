"""ROS 2 name rules, as rmw and rcl implement them in C, and rclpy's Python wrappers.

Sources: rmw/src/validate_node_name.c, validate_namespace.c,
validate_full_topic_name.c; rcl/src/rcl/validate_topic_name.c,
expand_topic_name.c, node.c.  The ``*_error`` functions return
``(error_msg, invalid_index)`` or None; the ``validate_*`` functions are the
Python wrappers of rclpy (True, or the specific NameValidationException).
"""
from rclpy.exceptions import (
    InvalidNamespaceException, InvalidNodeNameException,
    InvalidServiceNameException, InvalidTopicNameException)

NODE_NAME_MAX_LENGTH = 255
TOPIC_MAX_NAME_LENGTH = 247
NAMESPACE_MAX_LENGTH = TOPIC_MAX_NAME_LENGTH - 2


def _alnum(c):
    # rcutils_isalnum_no_locale: ASCII letters and digits only
    return c.isascii() and c.isalnum()


def _digit(c):
    return '0' <= c <= '9'


def node_name_error(name):
    if not name:
        return 'node name must not be empty', 0
    for i, c in enumerate(name):
        if not (_alnum(c) or c == '_'):
            return "node name must not contain characters other than alphanumerics or '_'", i
    if _digit(name[0]):
        return 'node name must not start with a number', 0
    if len(name) > NODE_NAME_MAX_LENGTH:
        return f"node name should not exceed '{NODE_NAME_MAX_LENGTH}'", NODE_NAME_MAX_LENGTH - 1
    return None


_FULL_TOPIC_MESSAGES = {
    'empty': 'topic name must not be empty string',
    'not_absolute': "topic name must be absolute, it must lead with a '/'",
    'ends_with_slash': "topic name must not end with a '/'",
    'characters': "topic name must not contain characters other than alphanumerics, '_', or '/'",
    'repeated_slash': "topic name must not contain repeated '/'",
    'token_number': 'topic name must not have a token that starts with a number',
}
_NAMESPACE_MESSAGES = {
    'empty': 'namespace must not be empty',
    'not_absolute': "namespace must be absolute, it must lead with a '/'",
    'ends_with_slash': "namespace must not end with a '/', unless only a '/'",
    'characters': "namespace must not contain characters other than alphanumerics, '_', or '/'",
    'repeated_slash': "namespace must not contain repeated '/'",
    'token_number': 'namespace must not have a token that starts with a number',
}


def _full_name_problem(name):
    """rmw_validate_full_topic_name without the length check: (code, index) or None."""
    if not name:
        return 'empty', 0
    if name[0] != '/':
        return 'not_absolute', 0
    if name[-1] == '/':
        return 'ends_with_slash', len(name) - 1
    for i, c in enumerate(name):
        if not (_alnum(c) or c in '_/'):
            return 'characters', i
    for i in range(len(name) - 1):
        if name[i] == '/':
            if name[i + 1] == '/':
                return 'repeated_slash', i + 1
            if _digit(name[i + 1]):
                return 'token_number', i + 1
    return None


def full_topic_name_error(name):
    problem = _full_name_problem(name)
    if problem:
        return _FULL_TOPIC_MESSAGES[problem[0]], problem[1]
    if len(name) > TOPIC_MAX_NAME_LENGTH:
        error = f"topic length should not exceed '{TOPIC_MAX_NAME_LENGTH}'"
        return error, TOPIC_MAX_NAME_LENGTH - 1
    return None


def namespace_error(namespace):
    if namespace == '/':
        return None
    problem = _full_name_problem(namespace)
    if problem:
        return _NAMESPACE_MESSAGES[problem[0]], problem[1]
    if len(namespace) > NAMESPACE_MAX_LENGTH:
        return f"namespace should not exceed '{NAMESPACE_MAX_LENGTH}'", NAMESPACE_MAX_LENGTH - 1
    return None


def topic_name_error(name):
    """rcl_validate_topic_name: the name as passed, before expansion."""
    if not name:
        return 'topic name must not be empty string', 0
    if _digit(name[0]):
        return 'topic name token must not start with a number', 0
    if name[-1] == '/':
        return 'topic name must not end with a forward slash', len(name) - 1
    substitution_chars = ("substitution name must not contain characters other than "
                          "alphanumerics or '_'")
    in_braces = False
    opening = 0
    for i, c in enumerate(name):
        if _alnum(c):
            if _digit(c) and in_braces and i > 0 and i - 1 == opening:
                return 'substitution name must not start with a number', i
        elif c == '_':
            pass
        elif c == '/':
            if in_braces:
                return substitution_chars, i
        elif c == '~':
            if i != 0:
                return "topic name must not have tilde '~' unless it is the first character", i
        elif c == '{':
            if in_braces:
                return substitution_chars, i
            opening = i
            in_braces = True
        elif c == '}':
            if not in_braces:
                return "topic name must not have unmatched (unbalanced) curly braces '{}'", i
            in_braces = False
        elif in_braces:
            return substitution_chars, i
        else:
            return ("topic name must not contain characters other than alphanumerics, "
                    "'_', '~', '{', or '}'"), i
    if in_braces:
        return "topic name must not have unmatched (unbalanced) curly braces '{}'", opening
    if len(name) > 1 and name[0] == '~' and name[1] != '/':
        return ("topic name must not have a tilde '~' that is not followed by a "
                "forward slash '/'"), 1
    for i in range(len(name) - 1):
        if name[i] == '/' and _digit(name[i + 1]):
            return 'topic name token must not start with a number', i + 1
    return None


def expand_topic_name(topic_name, node_name, node_namespace):
    """rcl_expand_topic_name via rclpy: ValueError when the name cannot be expanded."""
    if topic_name_error(topic_name) is not None:
        raise ValueError(f"topic name '{topic_name}' is invalid")
    if topic_name.startswith('/') and '{' not in topic_name:
        return topic_name
    out = topic_name
    if out.startswith('~'):
        separator = '' if len(node_namespace) == 1 else '/'
        out = node_namespace + separator + node_name + out[1:]
    while '{' in out:
        opening, closing = out.index('{'), out.index('}')
        key = out[opening + 1:closing]
        if key == 'node':
            replacement = node_name
        elif key in ('ns', 'namespace'):
            replacement = node_namespace
        else:
            raise ValueError(f"topic name '{topic_name}' is invalid")
        out = out[:opening] + replacement + out[closing + 1:]
    if not out.startswith('/'):
        out = node_namespace + ('' if len(node_namespace) == 1 else '/') + out
    return out


def validate_node_name(node_name):
    error = node_name_error(node_name)
    if error is None:
        return True
    raise InvalidNodeNameException(node_name, *error)


def validate_namespace(namespace):
    error = namespace_error(namespace)
    if error is None:
        return True
    raise InvalidNamespaceException(namespace, *error)


def validate_topic_name(name, *, is_service=False):
    error = topic_name_error(name)
    if error is None:
        return True
    if is_service:
        raise InvalidServiceNameException(name, *error)
    raise InvalidTopicNameException(name, *error)


def validate_full_topic_name(name, *, is_service=False):
    error = full_topic_name_error(name)
    if error is None:
        return True
    if is_service:
        raise InvalidServiceNameException(name, *error)
    raise InvalidTopicNameException(name, *error)
