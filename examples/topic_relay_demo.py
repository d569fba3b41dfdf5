"""Topic relay demo: a talker publishes on /demo/chatter for a few seconds, and a
SimpleTopicRelay forwards it to two topics, rate-limited, one of them through a
handler. A listener prints what arrives.

Runs on the in-process ROS 2 stand-in in ros_stub/ (put on the path by
stand_in.py), so no ROS 2 installation is needed:

    python examples/topic_relay_demo.py
"""

import sys
import threading
import time
from collections import Counter

import stand_in  # noqa: F401  (the ROS 2 stand-in, before rclpy)

import rclpy
from rclpy.executors import SingleThreadedExecutor
from rclpy.node import Node
from std_msgs.msg import String

from velk_dev_kit.topic_relay import SimpleTopicRelay, SyncRoute

SOURCE = "/demo/chatter"
SLOW = "/demo/chatter_2hz"
SHOUT = "/demo/chatter_shout"
DURATION = 3.0  # seconds of talking
TALK_RATE = 10.0  # messages per second


def shout(msg):
    """Route handler: returns the message to publish; None consumes it."""
    if msg.data.endswith("4"):
        print(f"         handler consumed      {msg.data}", flush=True)
        return None  # nothing is published, the route's interval restarts all the same
    return String(data=msg.data.upper() + "!")


def main():
    rclpy.init()
    start = time.monotonic()
    printed = threading.Lock()
    counts = Counter()

    def show(topic):
        def on_message(msg):
            counts[topic] += 1
            with printed:
                print(f"  {time.monotonic() - start:5.2f}s  {topic:<22} {msg.data}", flush=True)
        return on_message

    relay = SimpleTopicRelay()
    relay.batch_register([
        SyncRoute(SOURCE, String, target_topic=SLOW, frequency=2.0),
        SyncRoute(SOURCE, String, target_topic=SHOUT, frequency=5.0, handler=shout),
    ])
    relay.setup()

    talker = Node("talker")
    publisher = talker.create_publisher(String, SOURCE, 10)
    listener = Node("listener")
    for topic in (SLOW, SHOUT):
        listener.create_subscription(String, topic, show(topic), 10)

    executor = SingleThreadedExecutor()
    for node in (relay, listener):
        executor.add_node(node)
    spinner = threading.Thread(target=executor.spin, daemon=True)
    spinner.start()

    print(f"talking on {SOURCE} at {TALK_RATE:g} Hz for {DURATION:g} s; "
          f"{SLOW} lets 2 a second through, {SHOUT} 5 a second, shouted")
    sent = 0
    try:
        while time.monotonic() - start < DURATION:
            publisher.publish(String(data=f"hello {sent}"))
            sent += 1
            time.sleep(1.0 / TALK_RATE)
        time.sleep(0.3)  # let the last messages arrive
    finally:
        executor.shutdown()
        spinner.join(5)
        for node in (relay, talker, listener):
            node.destroy_node()
        rclpy.try_shutdown()
    print(f"sent {sent} on {SOURCE}; received {counts[SLOW]} on {SLOW} and "
          f"{counts[SHOUT]} on {SHOUT}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
