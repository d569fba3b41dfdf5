"""``rclpy.signals``: the SIGINT handler that ``rclpy.init`` installs.

As in the real library, a SIGINT shuts every initialised context down at the
level underneath (``ok()`` turns False, executors wake and stop spinning) but
destroys nothing and runs no on-shutdown callback; then the handler that was
there before runs (Python's, which raises KeyboardInterrupt). A later
``rclpy.shutdown()`` of such a context raises RCLError; ``try_shutdown`` is silent.
"""
import enum
import signal
import threading
import weakref


class SignalHandlerOptions(enum.IntEnum):
    NO = 0
    SIGINT = 1
    SIGTERM = 2
    ALL = 3


_contexts = weakref.WeakSet()
_executors = weakref.WeakSet()
_previous = None
_installed = False
_lock = threading.Lock()


def _on_sigint(signum, frame):
    for context in list(_contexts):
        context._interrupt()
    for executor in list(_executors):
        executor.wake()
    if callable(_previous):
        _previous(signum, frame)


def install_signal_handlers(options=None):
    """Installs the SIGINT handler once per process (the real one is process-wide)."""
    global _previous, _installed
    options = SignalHandlerOptions.ALL if options is None else SignalHandlerOptions(options)
    if options not in (SignalHandlerOptions.SIGINT, SignalHandlerOptions.ALL):
        return
    with _lock:
        # Python lets only the main thread set handlers; the real library's own
        # handler is installed from any thread.
        if _installed or threading.current_thread() is not threading.main_thread():
            return
        _previous = signal.signal(signal.SIGINT, _on_sigint)
        _installed = True
