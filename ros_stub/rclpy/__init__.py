"""In-process stand-in of the ROS 2 Python client library ``rclpy``.

Only for the tests, examples and benchmarks of velk_dev_kit; see ros_stub/README.md.
"""
import threading

from rclpy.utilities import get_default_context, ok, shutdown, try_shutdown  # noqa: F401

__all__ = [
    'init', 'shutdown', 'try_shutdown', 'ok', 'create_node', 'spin', 'spin_once',
    'spin_until_future_complete', 'get_global_executor', 'get_default_context',
]

_global_executor = None
_global_executor_lock = threading.Lock()


def init(*, args=None, context=None, domain_id=None, signal_handler_options=None):
    """Initialise the default context (or ``context``) and install the SIGINT handler."""
    from rclpy.signals import install_signal_handlers
    context = get_default_context() if context is None else context
    context.init(args, domain_id=domain_id)
    install_signal_handlers(signal_handler_options)


def get_global_executor():
    """The executor used by spin/spin_once without one; dropped when its context shuts down."""
    global _global_executor
    with _global_executor_lock:
        if _global_executor is not None:
            return _global_executor
        from rclpy.executors import SingleThreadedExecutor
        executor = _global_executor = SingleThreadedExecutor()

    def reset_executor():
        global _global_executor
        executor.shutdown()
        with _global_executor_lock:
            if _global_executor is executor:
                _global_executor = None
    executor.context.on_shutdown(reset_executor)
    return executor


def create_node(node_name, *, context=None, cli_args=None, namespace=None,
                use_global_arguments=True, enable_rosout=True, start_parameter_services=True,
                parameter_overrides=None, allow_undeclared_parameters=False,
                automatically_declare_parameters_from_overrides=False,
                enable_logger_service=False):
    from rclpy.node import Node
    return Node(
        node_name, context=context, cli_args=cli_args, namespace=namespace,
        use_global_arguments=use_global_arguments, enable_rosout=enable_rosout,
        start_parameter_services=start_parameter_services,
        parameter_overrides=parameter_overrides,
        allow_undeclared_parameters=allow_undeclared_parameters,
        automatically_declare_parameters_from_overrides=(
            automatically_declare_parameters_from_overrides),
        enable_logger_service=enable_logger_service)


def spin_once(node, *, executor=None, timeout_sec=None):
    """Execute at most one callback of ``node``; removes the node only if it added it."""
    executor = get_global_executor() if executor is None else executor
    added = False
    try:
        added = executor.add_node(node)
        executor.spin_once(timeout_sec=timeout_sec)
    finally:
        if added:
            executor.remove_node(node)


def spin(node, executor=None):
    """Execute callbacks until the context is shut down."""
    executor = get_global_executor() if executor is None else executor
    try:
        executor.add_node(node)
        while executor.context.ok():
            executor.spin_once()
    finally:
        executor.remove_node(node)


def spin_until_future_complete(node, future, executor=None, timeout_sec=None):
    executor = get_global_executor() if executor is None else executor
    try:
        executor.add_node(node)
        executor.spin_until_future_complete(future, timeout_sec)
    finally:
        executor.remove_node(node)
