"""``rclpy.subscription.Subscription``."""
import inspect
from enum import Enum


class Subscription:
    class CallbackType(Enum):
        MessageOnly = 0
        WithMessageInfo = 1

    def __init__(self, subscription_impl, msg_type, topic, callback, callback_group,
                 qos_profile, raw, event_callbacks=None):
        """Made by ``Node.create_subscription``; not meant to be created directly."""
        self.__subscription = subscription_impl
        self.msg_type = msg_type
        self.topic = topic
        self.callback = callback
        self.callback_group = callback_group
        self.qos_profile = qos_profile
        self.raw = raw
        self.event_callbacks = event_callbacks
        self.event_handlers = []

    @property
    def handle(self):
        return self.__subscription

    @property
    def topic_name(self):
        with self.handle:
            return self.__subscription.topic_name

    @property
    def callback(self):
        return self.__callback

    @callback.setter
    def callback(self, value):
        # As newer rclpy: probe the signature; a callable without one makes
        # inspect.signature raise ValueError, which propagates.
        self.__callback = value
        self._callback_type = Subscription.CallbackType.MessageOnly
        try:
            inspect.signature(value).bind(object())
            return
        except TypeError:
            pass
        try:
            inspect.signature(value).bind(object(), object())
            self._callback_type = Subscription.CallbackType.WithMessageInfo
            return
        except TypeError:
            pass
        raise RuntimeError(
            'Subscription.__init__(): callback should be either be callable with one argument'
            '(to get only the message) or two (to get message and message info)')

    def destroy(self):
        self.__subscription.destroy_when_not_in_use()

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc_value, traceback):
        self.destroy()
