"""HTTP for the page and a WebSocket relay between pages and robots, per panel id."""

import asyncio
import contextlib
import http
import json
import logging
import threading
from importlib import resources
from urllib.parse import parse_qs, quote, urlsplit

try:
    from websockets.asyncio.server import broadcast, serve
    from websockets.exceptions import ConnectionClosed
    from websockets.frames import CloseCode
except ImportError as e:  # pragma: no cover - depends on the installation
    raise ImportError("the development panel needs the websockets package: "
                      "pip install 'websockets>=14', or install the wheel with its "
                      "devpanel extra: pip install '<wheel file>[devpanel]'") from e

from .layout import DEFAULT_LAYOUT, parse_layout

MAX_FRAME = 1 << 20
MAX_ID = 200
LOOPBACK_NAMES = {"127.0.0.1", "localhost", "::1"}

log = logging.getLogger("velk_dev_kit.devpanel")

_STATIC = {
    "/panel.js": ("panel.js", "text/javascript; charset=utf-8"),
    "/panel.css": ("panel.css", "text/css; charset=utf-8"),
}


def _hostname(hostport):
    """The host part of a Host header or URL authority, lower case, brackets removed."""
    hostport = hostport.strip().lower()
    if hostport.startswith("["):
        return hostport[1:hostport.find("]")]
    return hostport.rsplit(":", 1)[0] if hostport.count(":") == 1 else hostport


def _refusal(text):
    """Why a frame is not control data, or None when it is."""
    try:
        data = json.loads(text)
    except ValueError as e:
        return f"not JSON ({e})"
    except RecursionError:
        return "not JSON (nested too deeply)"
    if not isinstance(data, dict):
        return "not a JSON object of control values"
    return None


class _Peers:
    __slots__ = ("robots", "pages")

    def __init__(self):
        self.robots = set()
        self.pages = set()


class DevPanel:
    """The development panel's server.

    Robots connect at ``/robot?id=<panel id>&role=container`` (the panel link's own
    address form), pages are served at ``/?id=<panel id>`` and connect back at
    ``/page?id=<panel id>``. Text frames from a page go unchanged to the robots of
    its id; frames from a robot go to the pages of its id, wrapped as
    ``{"type": "data", "text": <frame>}``. Pages also get ``{"type": "status",
    "robots": <count>}`` whenever robots of their id come or go, and
    ``{"type": "error", "message": ...}`` for refused input. Robots never get
    anything but page frames.
    """

    def __init__(self, host="127.0.0.1", port=8765, layout=None):
        self.host = host
        self._port = port
        self.layout = DEFAULT_LAYOUT if layout is None else parse_layout(layout)
        self._panels = {}
        self._server = None
        files = resources.files(__package__) / "static"
        self._files = {path: ((files / name).read_bytes(), kind)
                       for path, (name, kind) in _STATIC.items()}
        # "<" escaped so that no layout text can end the script element early.
        layout_json = json.dumps(self.layout).replace("<", "\\u003c")
        index = (files / "index.html").read_text("utf-8").replace("{{LAYOUT}}", layout_json)
        self._files["/"] = (index.encode("utf-8"), "text/html; charset=utf-8")

    # ------------------------------------------------------------ addresses

    @property
    def port(self):
        """The port listened on (the chosen one when started with port 0)."""
        if self._server is not None:
            return self._server.sockets[0].getsockname()[1]
        return self._port

    @property
    def _authority(self):
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"{host}:{self.port}"

    @property
    def robot_url(self):
        """The VELK_REMOTE_WS_URL template for robots."""
        return f"ws://{self._authority}/robot?id={{remote_id}}"

    def page_url(self, panel_id=None):
        """The page's address, for one panel id or (None) for the id chooser."""
        query = "" if panel_id is None else "?id=" + quote(panel_id, safe="")
        return f"http://{self._authority}/{query}"

    def robots(self, panel_id):
        """How many robots of that panel id are connected."""
        peers = self._panels.get(panel_id)
        return len(peers.robots) if peers else 0

    # ------------------------------------------------------------ life

    async def start(self):
        self._server = await serve(
            self._serve_connection, self.host, self._port,
            process_request=self._process_request, max_size=MAX_FRAME,
            server_header="velk_dev_kit-devpanel")
        return self

    async def close(self):
        if self._server is not None:
            self._server.close()
            await self._server.wait_closed()

    @contextlib.contextmanager
    def running(self):
        """Serves on a background thread while the with-block runs."""
        loop = asyncio.new_event_loop()
        thread = threading.Thread(target=loop.run_forever, name="devpanel", daemon=True)
        thread.start()
        try:
            asyncio.run_coroutine_threadsafe(self.start(), loop).result(10)
            yield self
        finally:
            try:
                asyncio.run_coroutine_threadsafe(self.close(), loop).result(10)
            finally:
                loop.call_soon_threadsafe(loop.stop)
                thread.join(10)
                loop.close()

    # ------------------------------------------------------------ HTTP

    def _respond(self, connection, status, text):
        log.info("refused %s: %s", connection.request.path[:200], text)
        return connection.respond(status, text + "\n")

    def _host_allowed(self, host):
        # A loopback server answers only to loopback names, so that a web site
        # whose name points at 127.0.0.1 cannot reach it from the browser.
        if host is None or _hostname(self.host) not in LOOPBACK_NAMES:
            return True
        return _hostname(host) in LOOPBACK_NAMES

    def _process_request(self, connection, request):
        url = urlsplit(request.path)
        headers = request.headers
        host = headers.get("Host")
        if not self._host_allowed(host):
            return self._respond(connection, http.HTTPStatus.FORBIDDEN,
                                 f"Host {host!r} is not this server")
        # Older websockets releases refuse other methods themselves, with 400.
        if getattr(request, "method", "GET") != "GET":
            return self._respond(connection, http.HTTPStatus.METHOD_NOT_ALLOWED,
                                 "only GET requests are served")
        upgrade = "websocket" in headers.get("Upgrade", "").lower()
        if url.path in ("/robot", "/page"):
            query = parse_qs(url.query, keep_blank_values=True)
            ids = query.get("id", [])
            if len(ids) != 1 or not ids[0]:
                return self._respond(connection, http.HTTPStatus.BAD_REQUEST,
                                     f"connect to {url.path}?id=<panel id> with one panel id")
            if len(ids[0]) > MAX_ID:
                return self._respond(connection, http.HTTPStatus.BAD_REQUEST,
                                     f"panel id longer than {MAX_ID} characters")
            if url.path == "/robot" and query.get("role", ["container"]) != ["container"]:
                return self._respond(connection, http.HTTPStatus.BAD_REQUEST,
                                     "robots connect with role=container")
            origin = headers.get("Origin")
            if origin is not None and (host is None or urlsplit(origin).netloc.lower()
                                       != host.strip().lower()):
                return self._respond(connection, http.HTTPStatus.FORBIDDEN,
                                     f"connections from origin {origin!r} are refused")
            connection.devpanel_peer = (url.path[1:], ids[0])
            return None  # the WebSocket handshake goes on
        if upgrade:
            return self._respond(connection, http.HTTPStatus.NOT_FOUND,
                                 f"no WebSocket endpoint at {url.path}; robots use /robot, "
                                 "pages /page")
        if url.path == "/favicon.ico":
            return connection.respond(http.HTTPStatus.NO_CONTENT, "")
        served = self._files.get(url.path)
        if served is None:
            return self._respond(connection, http.HTTPStatus.NOT_FOUND, f"no page at {url.path}")
        body, kind = served
        response = connection.respond(http.HTTPStatus.OK, "")
        for name in ("Content-Type", "Content-Length"):
            del response.headers[name]
        response.headers["Content-Type"] = kind
        response.headers["Content-Length"] = str(len(body))
        response.headers["Cache-Control"] = "no-store"
        response.body = body
        return response

    # ------------------------------------------------------------ relay

    def _tell_pages(self, peers, message):
        broadcast(peers.pages, json.dumps(message))

    async def _serve_connection(self, ws):
        kind, panel_id = ws.devpanel_peer
        peers = self._panels.setdefault(panel_id, _Peers())
        mine = peers.robots if kind == "robot" else peers.pages
        mine.add(ws)
        if kind == "robot":
            log.info("robot connected to panel %r (%d connected)", panel_id, len(mine))
            self._tell_pages(peers, {"type": "status", "robots": len(peers.robots)})
        else:
            log.info("page opened for panel %r", panel_id)
            broadcast([ws], json.dumps({"type": "status", "robots": len(peers.robots)}))
        try:
            async for frame in ws:
                if not isinstance(frame, str):
                    await ws.close(CloseCode.UNSUPPORTED_DATA,
                                   "binary frames are refused; send JSON text")
                    break
                refusal = _refusal(frame)
                if kind == "page":
                    if refusal is None:
                        broadcast(peers.robots, frame)
                    else:
                        broadcast([ws], json.dumps(
                            {"type": "error", "message": f"frame refused: {refusal}"}))
                elif refusal is None:
                    self._tell_pages(peers, {"type": "data", "text": frame})
                else:
                    log.info("frame from a robot of panel %r refused: %s", panel_id, refusal)
                    self._tell_pages(peers, {"type": "error",
                                             "message": f"robot frame refused: {refusal}"})
        except ConnectionClosed:
            pass
        finally:
            mine.discard(ws)
            # The close frame we sent says why we refused the peer; else the peer's own.
            closing = ws.protocol.close_sent or ws.protocol.close_rcvd
            if closing is not None and closing.code not in (CloseCode.NORMAL_CLOSURE,
                                                            CloseCode.GOING_AWAY):
                log.info("%s of panel %r closed: %s", kind, panel_id, closing)
            if kind == "robot":
                log.info("robot left panel %r (%d connected)", panel_id, len(mine))
                self._tell_pages(peers, {"type": "status", "robots": len(peers.robots)})
            if not peers.robots and not peers.pages:
                self._panels.pop(panel_id, None)
