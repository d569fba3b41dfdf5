"""``rclpy.utilities``: the default context, ``ok``, ``shutdown`` and ``try_shutdown``."""
import threading

from rclpy.context import Context

_default_context = None
_default_context_lock = threading.Lock()


def get_default_context(*, shutting_down=False):
    """Return the default context; ``shutting_down`` detaches it (the next use makes a new one)."""
    global _default_context
    with _default_context_lock:
        if _default_context is None:
            _default_context = Context()
        context = _default_context
        if shutting_down:
            _default_context = None
        return context


def ok(*, context=None):
    if context is None:
        context = get_default_context()
    return context.ok()


def shutdown(*, context=None, uninstall_handlers=None):
    if context is None:
        context = get_default_context(shutting_down=True)
    context.shutdown()


def try_shutdown(*, context=None, uninstall_handlers=None):
    if context is None:
        context = get_default_context(shutting_down=True)
    context.try_shutdown()


def get_rmw_implementation_identifier():
    return 'rmw_inprocess_stub'
