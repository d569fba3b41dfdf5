"""python -m velk_dev_kit.devpanel [--host HOST] [--port PORT] [--layout FILE]"""

import argparse
import asyncio
import logging
import signal
import sys

from .layout import LayoutError, load_layout


async def _serve(panel):
    # Handlers first, so a stop request right after the start lines is never lost; they
    # also work where SIGINT came in ignored, as in background jobs.
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    await panel.start()
    print(f"VELK_REMOTE_WS_URL={panel.robot_url}")
    print(f"Panel page: {panel.page_url()}?id=<panel id>   (the remote_id your PanelLink uses)",
          flush=True)
    try:
        await stop.wait()
    finally:
        await panel.close()


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m velk_dev_kit.devpanel",
        description="A local control panel that speaks the panel link's protocol.")
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (default: %(default)s)")
    parser.add_argument("--port", type=int, default=8765,
                        help="port to listen on; 0 picks a free one (default: %(default)s)")
    parser.add_argument("--layout", metavar="FILE",
                        help="JSON file listing the controls (id, kind, label, range)")
    args = parser.parse_args(argv)
    if not 0 <= args.port <= 65535:
        parser.error(f"--port {args.port} is not a port number")
    layout = None
    if args.layout:
        try:
            layout = load_layout(args.layout)
        except LayoutError as e:
            parser.error(f"--layout {e}")
    try:
        from .server import DevPanel
    except ImportError as e:
        print(f"{parser.prog}: {e}", file=sys.stderr)
        return 1
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(message)s", datefmt="%H:%M:%S")
    logging.getLogger("websockets").setLevel(logging.WARNING)
    panel = DevPanel(args.host, args.port, layout)
    try:
        asyncio.run(_serve(panel))
    except OSError as e:
        print(f"{parser.prog}: cannot listen on {args.host}:{args.port}: {e.strerror or e}",
              file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
