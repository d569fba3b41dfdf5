"""``rclpy.callback_groups``: which callbacks an executor may run at the same time."""
import threading
import weakref


class CallbackGroup:
    """Holds weak references to its entities (subscriptions, timers, ...)."""

    def __init__(self):
        self.entities = set()

    def add_entity(self, entity):
        self.entities.add(weakref.ref(entity))

    def has_entity(self, entity):
        return weakref.ref(entity) in self.entities

    def can_execute(self, entity):
        raise NotImplementedError()

    def beginning_execution(self, entity):
        raise NotImplementedError()

    def ending_execution(self, entity):
        raise NotImplementedError()


class ReentrantCallbackGroup(CallbackGroup):
    """Allows any number of its callbacks to run in parallel."""

    def can_execute(self, entity):
        return True

    def beginning_execution(self, entity):
        return True

    def ending_execution(self, entity):
        pass


class MutuallyExclusiveCallbackGroup(CallbackGroup):
    """Allows at most one of its callbacks to run at any moment, across all threads."""

    def __init__(self):
        super().__init__()
        self._active_entity = None
        self._lock = threading.Lock()

    def can_execute(self, entity):
        with self._lock:
            assert weakref.ref(entity) in self.entities
            return self._active_entity is None

    def beginning_execution(self, entity):
        with self._lock:
            assert weakref.ref(entity) in self.entities
            if self._active_entity is None:
                self._active_entity = entity
                return True
        return False

    def ending_execution(self, entity):
        with self._lock:
            assert self._active_entity == entity
            self._active_entity = None
