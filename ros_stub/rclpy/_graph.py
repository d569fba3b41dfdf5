"""The stand-in's middleware: the topics of this process.

A publisher reaches every subscription of the process with the same domain id,
the same resolved topic name, the same message class and compatible QoS.  Each
subscription keeps its own queue of samples, bounded by its history depth (the
oldest is dropped), and wakes the executor of its node when one arrives.  A
sample carries the field values converted at publish time (or the published
bytes), so each take builds a new message object.
"""
import threading
import time
import weakref
from collections import deque

from rclpy import serialization
from rclpy._rclpy_pybind11 import Destroyable
from rclpy.qos import DurabilityPolicy, HistoryPolicy, ReliabilityPolicy

_lock = threading.Lock()
_publishers = {}      # (domain id, topic name) -> [PublisherImpl]
_subscriptions = {}   # (domain id, topic name) -> [SubscriptionImpl]


def queue_length(qos):
    """Samples kept per subscription (None: unbounded)."""
    if qos.history == HistoryPolicy.KEEP_ALL:
        return None
    if qos.history == HistoryPolicy.KEEP_LAST and qos.depth > 0:
        return qos.depth
    return 1  # SYSTEM_DEFAULT, or KEEP_LAST with depth 0: the DDS default KEEP_LAST 1


def _matches(pub, sub):
    if pub.msg_type is not sub.msg_type:
        return False
    if (pub.qos.reliability == ReliabilityPolicy.BEST_EFFORT and
            sub.qos.reliability == ReliabilityPolicy.RELIABLE):
        return False
    if (pub.qos.durability == DurabilityPolicy.VOLATILE and
            sub.qos.durability == DurabilityPolicy.TRANSIENT_LOCAL):
        return False
    return True


def _unregister(table, key, entity):
    with _lock:
        entities = table.get(key, [])
        if entity in entities:
            entities.remove(entity)
        if not entities:
            table.pop(key, None)


class PublisherImpl(Destroyable):
    def __init__(self, domain_id, topic_name, msg_type, qos):
        super().__init__()
        self.key = (domain_id, topic_name)
        self.topic_name = topic_name
        self.msg_type = msg_type
        self.qos = qos
        transient = qos.durability == DurabilityPolicy.TRANSIENT_LOCAL
        self._history = deque(maxlen=queue_length(qos)) if transient else None
        self._sequence = 0
        with _lock:
            _publishers.setdefault(self.key, []).append(self)

    def publish(self, payload):
        """Queue ``payload`` (('msg', fields) or ('raw', bytes)) at each matching subscription."""
        source_timestamp = time.time_ns()
        with _lock:
            self._sequence += 1
            sample = (payload, source_timestamp, self._sequence)
            if self._history is not None:
                self._history.append(sample)
            receivers = [s for s in _subscriptions.get(self.key, ()) if _matches(self, s)]
        for subscription in receivers:
            subscription.deliver(sample)

    def subscription_count(self):
        with _lock:
            return sum(1 for s in _subscriptions.get(self.key, ()) if _matches(self, s))

    def _destroy(self):
        _unregister(_publishers, self.key, self)


class SubscriptionImpl(Destroyable):
    def __init__(self, domain_id, topic_name, msg_type, qos, node):
        super().__init__()
        self.key = (domain_id, topic_name)
        self.topic_name = topic_name
        self.msg_type = msg_type
        self.qos = qos
        self._node = weakref.ref(node)
        self._queue = deque(maxlen=queue_length(qos))
        self._queue_lock = threading.Lock()
        self._received = 0
        with _lock:
            _subscriptions.setdefault(self.key, []).append(self)
            if qos.durability == DurabilityPolicy.TRANSIENT_LOCAL:
                for pub in _publishers.get(self.key, ()):
                    if pub._history is not None and _matches(pub, self):
                        for sample in pub._history:
                            self._enqueue(sample)

    def _enqueue(self, sample):
        with self._queue_lock:
            if not self.destruction_requested:
                self._queue.append((sample, time.time_ns()))

    def deliver(self, sample):
        self._enqueue(sample)
        node = self._node()
        executor = node.executor if node is not None else None
        if executor is not None:
            executor.wake()

    def has_data(self):
        with self._queue_lock:
            return bool(self._queue)

    def take(self):
        """Return (payload, MessageInfo) of the oldest sample, or None."""
        with self._queue_lock:
            if not self._queue:
                return None
            (payload, source_timestamp, sequence), received_timestamp = self._queue.popleft()
            self._received += 1
            info = {
                'source_timestamp': source_timestamp,
                'received_timestamp': received_timestamp,
                'publication_sequence_number': sequence,
                'reception_sequence_number': self._received,
            }
        return payload, info

    def _destroy(self):
        _unregister(_subscriptions, self.key, self)
        with self._queue_lock:
            self._queue.clear()


def to_python(payload, msg_type, raw):
    """Build what a callback receives: a new message, or bytes for a raw subscription."""
    kind, value = payload
    if raw:
        return value if kind == 'raw' else serialization.encode(msg_type, value)
    if kind == 'raw':
        value = serialization.decode(value, msg_type)
    return msg_type._CONVERT_TO_PY(value)
