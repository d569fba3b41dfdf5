"""``rclpy.context.Context``: the lifetime of one ROS 2 initialisation.

As in newer rclpy, nodes register with their context (``track_node``) and are
destroyed when it is shut down; executors register ``wake`` as an on-shutdown
callback.
"""
import inspect
import os
import threading
import weakref

from rclpy._rclpy_pybind11 import RCLError

_UNINITIALIZED, _OK, _SHUT_DOWN = 'uninitialized', 'ok', 'shut down'


class Context:
    def __init__(self):
        self.__lock = threading.RLock()
        self.__state = _UNINITIALIZED
        self.__domain_id = None
        self.__callbacks = []
        self.__nodes = weakref.WeakSet()

    def init(self, args=None, *, initialize_logging=True, domain_id=None):
        with self.__lock:
            if domain_id is not None and domain_id < 0:
                raise RuntimeError(f'Domain id ({domain_id}) should not be lower than zero.')
            if self.__state != _UNINITIALIZED:
                raise RuntimeError('Context.init() must only be called once')
            if domain_id is None:
                domain_id = int(os.environ.get('ROS_DOMAIN_ID') or 0)
            self.__domain_id = domain_id
            self.__state = _OK
        from rclpy.signals import _contexts
        _contexts.add(self)

    def _interrupt(self):
        """A SIGINT: shut down underneath, with nothing destroyed and no callback run."""
        with self.__lock:
            if self.__state == _OK:
                self.__state = _SHUT_DOWN

    def ok(self):
        with self.__lock:
            return self.__state == _OK

    def shutdown(self):
        with self.__lock:
            if self.__state == _UNINITIALIZED:
                raise RuntimeError('Context must be initialized before it can be shutdown')
            if self.__state == _SHUT_DOWN:
                raise RCLError(
                    'failed to shutdown: rcl_shutdown already called on the given context')
            self.__state = _SHUT_DOWN
        self.__cleanup()

    def try_shutdown(self):
        with self.__lock:
            if self.__state != _OK:
                return
            self.__state = _SHUT_DOWN
        self.__cleanup()

    def __cleanup(self):
        for node in list(self.__nodes):
            node.destroy_node()
        with self.__lock:
            callbacks, self.__callbacks = self.__callbacks, []
        for ref in callbacks:
            callback = ref()
            if callback is not None:
                callback()

    def on_shutdown(self, callback):
        if not callable(callback):
            raise TypeError('callback should be a callable, got {}', type(callback))
        with self.__lock:
            if self.__state != _SHUT_DOWN:
                if inspect.ismethod(callback):
                    self.__callbacks.append(weakref.WeakMethod(callback))
                else:
                    self.__callbacks.append(lambda: callback)
                return
        callback()

    def track_node(self, node):
        with self.__lock:
            self.__nodes.add(node)

    def untrack_node(self, node):
        with self.__lock:
            self.__nodes.discard(node)

    def get_domain_id(self):
        with self.__lock:
            if self.__state == _UNINITIALIZED:
                raise RuntimeError('Context must be initialized before its domain id can be read')
            return self.__domain_id

    def __enter__(self):
        self.init()
        return self

    def __exit__(self, exc_type, exc_value, traceback):
        self.try_shutdown()
