"""Stand-in for the parts of rclpy's C extension ``_rclpy_pybind11`` the stand-in needs.

The error classes are RuntimeError subclasses as in the real extension.
``Destroyable`` mirrors rclpy's ``destroyable.cpp``: ``with handle:`` marks the
handle in use and raises ``InvalidHandle`` once destruction was requested; the
destruction itself is deferred until the last user leaves.
"""
import threading


class RCLError(RuntimeError):
    """Error raised by rcl."""


class RMWError(RuntimeError):
    """Error raised by rmw."""


class RCUtilsError(RuntimeError):
    """Error raised by rcutils."""


class InvalidHandle(RuntimeError):
    """A handle was used after its destruction was requested."""


class Destroyable:
    def __init__(self):
        self.__lock = threading.Lock()
        self.__use_count = 0
        self.__destroy_requested = False
        self.__destroyed = False

    def __enter__(self):
        with self.__lock:
            if self.__destroy_requested:
                raise InvalidHandle('cannot use Destroyable because destruction was requested')
            self.__use_count += 1
        return self

    def __exit__(self, exc_type, exc_value, traceback):
        with self.__lock:
            self.__use_count -= 1
            run = self.__destroy_requested and self.__use_count == 0 and not self.__destroyed
            self.__destroyed = self.__destroyed or run
        if run:
            self._destroy()

    def destroy_when_not_in_use(self):
        with self.__lock:
            if self.__destroy_requested:
                return
            self.__destroy_requested = True
            run = self.__use_count == 0
            self.__destroyed = run
        if run:
            self._destroy()

    @property
    def destruction_requested(self):
        return self.__destroy_requested

    def _destroy(self):
        """Release what the handle holds (subclasses override)."""
