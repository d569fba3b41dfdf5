"""``rclpy.executors``: SingleThreadedExecutor and MultiThreadedExecutor.

One ``spin_once`` runs at most one callback (one message).  Ready subscriptions
are served round-robin: each collection pass takes one message from every
subscription that has one and whose callback group may run, and the next pass
starts when those are used up.  Waiting is on a condition variable that
publications, callback-group releases, node changes, ``wake``, ``shutdown`` and
context shutdown signal.
"""
import os
import threading
import time
import warnings
from collections import deque
from concurrent.futures import ThreadPoolExecutor

from rclpy import _graph
from rclpy._rclpy_pybind11 import InvalidHandle
from rclpy.subscription import Subscription
from rclpy.utilities import get_default_context


class ExternalShutdownException(Exception):
    """Context has been shutdown."""


class ShutdownException(Exception):
    """Signal that executor was shut down."""


class TimeoutException(Exception):
    """Signal that a timeout occurred."""


class ConditionReachedException(Exception):
    """Future has been completed."""


class Executor:
    """Base class of the executors: nodes, waiting and the execution of one callback."""

    def __init__(self, *, context=None):
        self._context = get_default_context() if context is None else context
        self._nodes = {}  # insertion-ordered set
        self._nodes_lock = threading.RLock()
        self._wake_condition = threading.Condition(threading.Lock())
        self._wake_count = 0
        self._is_shutdown = False
        self._spin_lock = threading.Lock()
        self._ready = deque()  # (node, subscription) of the current pass; spinning thread only
        self._context.on_shutdown(self.wake)
        from rclpy.signals import _executors
        _executors.add(self)

    @property
    def context(self):
        return self._context

    def add_node(self, node):
        """Add ``node``; False if it was already added.  It leaves its former executor."""
        with self._nodes_lock:
            if node in self._nodes:
                return False
            self._nodes[node] = None
        node.executor = self
        self.wake()
        return True

    def remove_node(self, node):
        with self._nodes_lock:
            removed = self._nodes.pop(node, False) is None
        if removed:
            self.wake()

    def get_nodes(self):
        with self._nodes_lock:
            return list(self._nodes)

    def wake(self):
        with self._wake_condition:
            self._wake_count += 1
            self._wake_condition.notify_all()

    def shutdown(self, timeout_sec=None):
        """Stop spinning; in-flight callbacks are not waited for.  Returns True."""
        self._is_shutdown = True
        self.wake()
        with self._nodes_lock:
            self._nodes = {}
        return True

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc_value, traceback):
        self.shutdown()

    # ------------------------------------------------------------- spinning
    def _spinning(self):
        if not self._spin_lock.acquire(blocking=False):
            raise RuntimeError('Executor is already spinning')
        return _Release(self._spin_lock)

    def spin(self):
        with self._spinning():
            while self._context.ok() and not self._is_shutdown:
                self._spin_once_impl()

    def spin_once(self, timeout_sec=None):
        """Run at most one callback; None or a negative timeout blocks, 0 polls."""
        with self._spinning():
            self._spin_once_impl(timeout_sec)

    def spin_until_future_complete(self, future, timeout_sec=None):
        future.add_done_callback(lambda _: self.wake())
        deadline = None
        if timeout_sec is not None and timeout_sec >= 0:
            deadline = time.monotonic() + timeout_sec
        with self._spinning():
            while self._context.ok() and not future.done() and not self._is_shutdown:
                remaining = None
                if deadline is not None:
                    remaining = deadline - time.monotonic()
                    if remaining <= 0:
                        return
                self._spin_once_impl(remaining, future.done)

    def spin_once_until_future_complete(self, future, timeout_sec=None):
        future.add_done_callback(lambda _: self.wake())
        with self._spinning():
            self._spin_once_impl(timeout_sec, future.done)

    def _spin_once_impl(self, timeout_sec=None, condition=None):
        raise NotImplementedError()

    def _wait_for_ready(self, timeout_sec, condition):
        """Take one message: (subscription, payload, info), group already entered."""
        deadline = None
        if timeout_sec is not None and timeout_sec >= 0:
            deadline = time.monotonic() + timeout_sec
        while True:
            with self._wake_condition:
                seen = self._wake_count
            if self._is_shutdown:
                raise ShutdownException()
            if not self._context.ok():
                raise ExternalShutdownException()
            if condition is not None and condition():
                raise ConditionReachedException()
            work = self._take_ready()
            if work is not None:
                return work
            with self._wake_condition:
                while self._wake_count == seen:
                    if deadline is None:
                        self._wake_condition.wait()
                    else:
                        remaining = deadline - time.monotonic()
                        if remaining <= 0:
                            raise TimeoutException()
                        self._wake_condition.wait(remaining)

    def _take_ready(self):
        while True:
            fresh = not self._ready
            if fresh:
                for node in self.get_nodes():
                    for sub in node.subscriptions:
                        if sub.handle.has_data() and sub.callback_group.can_execute(sub):
                            self._ready.append((node, sub))
            while self._ready:
                node, sub = self._ready.popleft()
                work = self._try_take(node, sub)
                if work is not None:
                    return work
            if fresh:
                return None

    def _try_take(self, node, sub):
        with self._nodes_lock:
            if node not in self._nodes:
                return None
        if not sub.callback_group.beginning_execution(sub):
            return None
        try:
            with sub.handle:
                taken = sub.handle.take()
        except InvalidHandle:
            taken = None
        if taken is None:
            sub.callback_group.ending_execution(sub)
            return None
        return (sub, *taken)

    def _execute(self, sub, payload, info):
        """Run the callback of one taken message; exceptions propagate to the caller."""
        try:
            msg = _graph.to_python(payload, sub.msg_type, sub.raw)
            if sub._callback_type is Subscription.CallbackType.WithMessageInfo:
                args = (msg, info)
            else:
                args = (msg,)
            sub.callback(*args)
        finally:
            sub.callback_group.ending_execution(sub)
            self.wake()


class _Release:
    def __init__(self, lock):
        self._lock = lock

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc_value, traceback):
        self._lock.release()


class SingleThreadedExecutor(Executor):
    """Runs callbacks on the thread that spins it; a callback's exception leaves spin_once."""

    def __init__(self, *, context=None):
        super().__init__(context=context)

    def _spin_once_impl(self, timeout_sec=None, condition=None):
        try:
            work = self._wait_for_ready(timeout_sec, condition)
        except (ShutdownException, TimeoutException, ConditionReachedException):
            return
        self._execute(*work)


class MultiThreadedExecutor(Executor):
    """Runs callbacks in a pool of threads, honouring callback groups.

    A callback's exception is raised by a later spin_once that finds it done.
    """

    def __init__(self, num_threads=None, *, context=None):
        super().__init__(context=context)
        if num_threads is None:
            try:
                num_threads = len(os.sched_getaffinity(0))
            except AttributeError:
                num_threads = os.cpu_count() or 2
        if num_threads == 1:
            warnings.warn(
                'MultiThreadedExecutor is used with a single thread.\n'
                'Use the SingleThreadedExecutor instead.')
        self._executor = ThreadPoolExecutor(num_threads)
        self._futures = []
        self._worker = threading.local()

    def _spin_once_impl(self, timeout_sec=None, condition=None):
        try:
            work = self._wait_for_ready(timeout_sec, condition)
        except (ExternalShutdownException, ShutdownException, TimeoutException,
                ConditionReachedException):
            return
        try:
            future = self._executor.submit(self._execute_in_worker, *work)
        except RuntimeError:  # the pool was shut down meanwhile
            work[0].callback_group.ending_execution(work[0])
            return
        self._futures.append(future)
        for future in self._futures[:]:
            if future.done():
                self._futures.remove(future)
                future.result()  # raise any exceptions

    def _execute_in_worker(self, *work):
        self._worker.active = True
        self._execute(*work)

    def shutdown(self, timeout_sec=None, *, wait_for_threads=True):
        success = super().shutdown(timeout_sec)
        # a callback that shuts its own executor down must not wait for itself
        in_worker = getattr(self._worker, 'active', False)
        self._executor.shutdown(wait=wait_for_threads and not in_worker)
        return success
