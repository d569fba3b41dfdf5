"""``rclpy.publisher.Publisher``."""


class Publisher:
    def __init__(self, publisher_impl, msg_type, topic, qos_profile,
                 event_callbacks=None, callback_group=None):
        """Made by ``Node.create_publisher``; not meant to be created directly."""
        self.__publisher = publisher_impl
        self.msg_type = msg_type
        self.topic = topic
        self.qos_profile = qos_profile
        self.callback_group = callback_group
        self.event_callbacks = event_callbacks
        self.event_handlers = []

    def publish(self, msg):
        """Send ``msg`` (an instance of ``msg_type``, or serialised ``bytes``); returns None.

        Never runs a callback: each matching subscription queues its own copy.
        """
        with self.handle:
            if isinstance(msg, self.msg_type):
                # the generated C conversion: a field of the wrong type raises here
                fields = self.msg_type._CONVERT_FROM_PY(msg)
                self.__publisher.publish(('msg', fields))
            elif isinstance(msg, bytes):
                self.__publisher.publish(('raw', bytes(msg)))
            else:
                raise TypeError('Expected {}, got {}'.format(self.msg_type, type(msg)))

    def get_subscription_count(self):
        with self.handle:
            return self.__publisher.subscription_count()

    @property
    def topic_name(self):
        with self.handle:
            return self.__publisher.topic_name

    @property
    def handle(self):
        return self.__publisher

    def destroy(self):
        self.__publisher.destroy_when_not_in_use()

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc_value, traceback):
        self.destroy()
