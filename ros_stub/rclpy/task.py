"""Minimal ``rclpy.task.Future``: done callbacks run at once, on the completing thread."""
import threading


class Future:
    def __init__(self, *, executor=None):
        self._lock = threading.Lock()
        self._state = 'PENDING'
        self._result = None
        self._exception = None
        self._callbacks = []

    def __await__(self):
        while not self.done():
            yield
        return self.result()

    def cancel(self):
        self.__finish('CANCELLED')

    def cancelled(self):
        return self._state == 'CANCELLED'

    def done(self):
        return self._state != 'PENDING'

    def result(self):
        if self._exception is not None:
            raise self._exception
        return self._result

    def exception(self):
        return self._exception

    def set_result(self, result):
        self.__finish('FINISHED', result=result)

    def set_exception(self, exception):
        self.__finish('FINISHED', exception=exception)

    def __finish(self, state, result=None, exception=None):
        with self._lock:
            if self._state != 'PENDING':
                return
            self._result, self._exception = result, exception
            self._state = state
            callbacks, self._callbacks = self._callbacks, []
        for callback in callbacks:
            callback(self)

    def add_done_callback(self, callback):
        with self._lock:
            if self._state == 'PENDING':
                self._callbacks.append(callback)
                return
        callback(self)
