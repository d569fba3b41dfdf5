"""What the generated code of a message with one field named ``data`` does.

Each message module calls ``message_class`` and keeps its own
``ros_python_check_fields`` global, read at import as generated modules do.
"""
import builtins
import sys


class _MessageMetaclass(type):
    _CREATE_ROS_MESSAGE = None
    _CONVERT_FROM_PY = None
    _CONVERT_TO_PY = None
    _DESTROY_ROS_MESSAGE = None
    _TYPE_SUPPORT = None

    @classmethod
    def __prepare__(cls, name, bases, **kwargs):
        return {}


class _SingleFieldMessage:
    __slots__ = []

    def __init__(self, **kwargs):
        if 'check_fields' in kwargs:
            self._check_fields = kwargs['check_fields']
        else:
            module = sys.modules[self.__class__.__module__]
            self._check_fields = module.ros_python_check_fields == '1'
        if self._check_fields:
            assert all('_' + key in self.__slots__ for key in kwargs.keys()), \
                'Invalid arguments passed to constructor: %s' % \
                ', '.join(sorted(k for k in kwargs.keys() if '_' + k not in self.__slots__))
        self.data = kwargs.get('data', self._default())

    def __repr__(self):
        typename = self.__class__.__module__.split('.')
        typename.pop()
        typename.append(self.__class__.__name__)
        args = [s + '=' + repr(getattr(self, s)) for s in self._fields_and_field_types]
        return '%s(%s)' % ('.'.join(typename), ', '.join(args))

    def __eq__(self, other):
        if not isinstance(other, self.__class__):
            return False
        return self.data == other.data

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
            self._check_value(value)
        self._data = value


def message_class(name, module, field_type, default, check_value, to_c):
    """A message class ``name`` with one field ``data`` of the ROS type ``field_type``.

    ``check_value`` asserts what the generated setter asserts when field checks
    are on; ``to_c`` is the publish-time conversion of the generated C code.
    """
    from std_msgs.msg import _typesupport

    metaclass = type(f'Metaclass_{name}', (_MessageMetaclass,),
                     {'__doc__': f"Metaclass of message '{name}'."})
    cls = metaclass(name, (_SingleFieldMessage,), {
        '__doc__': f"Message class '{name}'.",
        '__module__': module,
        '__qualname__': name,
        '__slots__': ['_data', '_check_fields'],
        '_fields_and_field_types': {'data': field_type},
        '_default': staticmethod(default),
        '_check_value': staticmethod(check_value),
    })
    metaclass.__import_type_support__ = classmethod(
        lambda mcs: _typesupport.install(mcs, cls, {'data': to_c}))
    return cls
