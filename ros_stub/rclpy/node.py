"""``rclpy.node.Node``: names, publishers, subscriptions, logger, destruction.

Not provided: parameters, timers, services, clients, actions, graph queries.
"""
import threading
import weakref

from rclpy import _graph
from rclpy._names import (
    expand_topic_name, full_topic_name_error, namespace_error, node_name_error,
    topic_name_error, validate_full_topic_name, validate_namespace, validate_node_name,
    validate_topic_name)
from rclpy._parameter_event import ParameterEvent
from rclpy._rclpy_pybind11 import Destroyable, RCLError
from rclpy.callback_groups import MutuallyExclusiveCallbackGroup
from rclpy.exceptions import InvalidTopicNameException, NotInitializedException
from rclpy.logging import get_logger
from rclpy.publisher import Publisher
from rclpy.qos import QoSProfile, qos_profile_parameter_events
from rclpy.subscription import Subscription
from rclpy.type_support import check_is_valid_msg_type
from rclpy.utilities import get_default_context


class _NodeHandle(Destroyable):
    """What rcl_node_init makes: ValueError if the name or namespace is invalid."""

    def __init__(self, node_name, namespace):
        super().__init__()
        if not isinstance(node_name, str) or not isinstance(namespace, str):
            raise TypeError('__init__(): incompatible constructor arguments: '
                            'node name and namespace must be str')
        if not namespace:
            namespace = '/'
        elif not namespace.startswith('/'):
            namespace = '/' + namespace
        if node_name_error(node_name) or namespace_error(namespace):
            raise ValueError('rcl node init failed: invalid node name or namespace')
        self.name = node_name
        self.namespace = namespace
        if namespace == '/':
            self.logger_name = node_name
        else:
            self.logger_name = namespace[1:].replace('/', '.') + '.' + node_name
        separator = '' if namespace.endswith('/') else '/'
        self.fully_qualified_name = namespace + separator + node_name

    def resolve_name(self, topic, only_expand):
        try:
            expanded = expand_topic_name(topic, self.name, self.namespace)
        except ValueError:
            raise RCLError('Failed to resolve name') from None
        if not only_expand and full_topic_name_error(expanded) is not None:
            raise RCLError('Failed to resolve name')
        return expanded


class Node:
    """A ROS 2 node."""

    PARAM_REL_TOL = 1e-6

    def __init__(self, node_name, *, context=None, cli_args=None, namespace=None,
                 use_global_arguments=True, enable_rosout=True, start_parameter_services=True,
                 parameter_overrides=None, allow_undeclared_parameters=False,
                 automatically_declare_parameters_from_overrides=False,
                 enable_logger_service=False):
        self.__handle = None
        self._context = get_default_context() if context is None else context
        self.__publishers = []
        self.__subscriptions = []
        self.__entities_lock = threading.Lock()
        self.__executor_weakref = None
        self._default_callback_group = MutuallyExclusiveCallbackGroup()

        namespace = namespace or ''
        if not self._context.ok():
            raise NotInitializedException('cannot create node')
        try:
            self.__handle = _NodeHandle(node_name, namespace)
        except ValueError:
            # these raise the specific errors if the name or namespace is bad
            validate_node_name(node_name)
            # emulate what rcl_node_init() does to accept '' and relative namespaces
            if not namespace:
                namespace = '/'
            if not namespace.startswith('/'):
                namespace = '/' + namespace
            validate_namespace(namespace)
            raise RuntimeError('rclpy_create_node failed for unknown reason')
        self._logger = get_logger(self.__handle.logger_name)
        self._parameter_event_publisher = self.create_publisher(
            ParameterEvent, '/parameter_events', qos_profile_parameter_events)
        self._context.track_node(self)

    # ------------------------------------------------------------ properties
    @property
    def handle(self):
        return self.__handle

    @property
    def context(self):
        return self._context

    @property
    def default_callback_group(self):
        return self._default_callback_group

    @property
    def publishers(self):
        """Get publishers that have been created on this node."""
        yield from list(self.__publishers)

    @property
    def subscriptions(self):
        """Get subscriptions that have been created on this node."""
        yield from list(self.__subscriptions)

    @property
    def executor(self):
        """The executor this node was last added to, or None."""
        if self.__executor_weakref is not None:
            return self.__executor_weakref()
        return None

    @executor.setter
    def executor(self, new_executor):
        current_executor = self.executor
        if current_executor is new_executor:
            return
        if current_executor is not None:
            current_executor.remove_node(self)
        if new_executor is None:
            self.__executor_weakref = None
        else:
            new_executor.add_node(self)
            self.__executor_weakref = weakref.ref(new_executor)

    def _wake_executor(self):
        executor = self.executor
        if executor is not None:
            executor.wake()

    # ----------------------------------------------------------------- names
    def get_name(self):
        with self.handle:
            return self.__handle.name

    def get_namespace(self):
        with self.handle:
            return self.__handle.namespace

    def get_fully_qualified_name(self):
        with self.handle:
            return self.__handle.fully_qualified_name

    def get_logger(self):
        return self._logger

    def resolve_topic_name(self, topic, *, only_expand=False):
        """Expand and validate ``topic``; RCLError (a RuntimeError) when invalid."""
        with self.handle:
            return self.__handle.resolve_name(topic, only_expand)

    def _validate_topic_or_service_name(self, topic_or_service_name, *, is_service=False):
        name = self.get_name()
        namespace = self.get_namespace()
        validate_node_name(name)
        validate_namespace(namespace)
        validate_topic_name(topic_or_service_name, is_service=is_service)
        expanded = expand_topic_name(topic_or_service_name, name, namespace)
        validate_full_topic_name(expanded, is_service=is_service)

    def __resolve_or_raise(self, topic):
        try:
            return self.resolve_topic_name(topic)
        except RuntimeError:
            # if it's a name validation error, raise a more appropriate exception
            try:
                self._validate_topic_or_service_name(topic)
            except InvalidTopicNameException as ex:
                raise ex from None
            raise

    def _validate_qos_or_depth_parameter(self, qos_or_depth):
        if isinstance(qos_or_depth, QoSProfile):
            return qos_or_depth
        elif isinstance(qos_or_depth, int):
            if qos_or_depth < 0:
                raise ValueError('history depth must be greater than or equal to zero')
            return QoSProfile(depth=qos_or_depth)
        else:
            raise TypeError(
                'Expected QoSProfile or int, but received {!r}'.format(type(qos_or_depth)))

    # ------------------------------------------------- publishers, subscriptions
    def create_publisher(self, msg_type, topic, qos_profile, *, callback_group=None,
                         event_callbacks=None, qos_overriding_options=None,
                         publisher_class=Publisher):
        qos_profile = self._validate_qos_or_depth_parameter(qos_profile)
        callback_group = callback_group or self.default_callback_group
        topic_name = self.__resolve_or_raise(topic)
        check_is_valid_msg_type(msg_type)
        with self.handle:
            publisher_impl = _graph.PublisherImpl(
                self._context.get_domain_id(), topic_name, msg_type, qos_profile)
        try:
            publisher = publisher_class(
                publisher_impl, msg_type, topic, qos_profile,
                event_callbacks=event_callbacks, callback_group=callback_group)
        except Exception:
            publisher_impl.destroy_when_not_in_use()
            raise
        with self.__entities_lock:
            self.__publishers.append(publisher)
        self._wake_executor()
        return publisher

    def create_subscription(self, msg_type, topic, callback, qos_profile, *,
                            callback_group=None, event_callbacks=None,
                            qos_overriding_options=None, raw=False):
        qos_profile = self._validate_qos_or_depth_parameter(qos_profile)
        callback_group = callback_group or self.default_callback_group
        topic_name = self.__resolve_or_raise(topic)
        check_is_valid_msg_type(msg_type)
        with self.handle:
            subscription_impl = _graph.SubscriptionImpl(
                self._context.get_domain_id(), topic_name, msg_type, qos_profile, self)
        try:
            subscription = Subscription(
                subscription_impl, msg_type, topic, callback, callback_group, qos_profile,
                raw, event_callbacks=event_callbacks)
        except Exception:
            subscription_impl.destroy_when_not_in_use()
            raise
        callback_group.add_entity(subscription)
        with self.__entities_lock:
            self.__subscriptions.append(subscription)
        self._wake_executor()
        return subscription

    def destroy_publisher(self, publisher):
        with self.__entities_lock:
            if publisher not in self.__publishers:
                return False
            self.__publishers.remove(publisher)
        publisher.destroy()
        self._wake_executor()
        return True

    def destroy_subscription(self, subscription):
        with self.__entities_lock:
            if subscription not in self.__subscriptions:
                return False
            self.__subscriptions.remove(subscription)
        subscription.destroy()
        self._wake_executor()
        return True

    def destroy_node(self):
        """Destroy the node's entities and handle; a second call does nothing. Returns None."""
        self._context.untrack_node(self)
        self._parameter_event_publisher = None
        for publisher in list(self.__publishers):
            self.destroy_publisher(publisher)
        for subscription in list(self.__subscriptions):
            self.destroy_subscription(subscription)
        if self.__handle is not None:
            self.__handle.destroy_when_not_in_use()
        self._wake_executor()

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc_value, traceback):
        self.destroy_node()
