"""Streamed chat answers from a local server: client CPU, rate and delay.

Streams an answer of 10,000 pieces from a server in a child process on
127.0.0.1 and prints, from one run:

* the client's CPU time per streamed piece (this process's CPU time: the
  server is elsewhere) of Chat's streamed answer, of PyChat (the whole client
  written in plain Python, below), of a plain-Python generator doing the
  same work with the same HTTP client, and of the openai package's streaming
  client (when it is installed), with the ratios; targets: Chat at least 2x
  the plain-Python generator and 5x the openai package;
* pieces per second of each, for information: the server sends the whole
  answer, prepared in advance, in one write, so the rate is the client's
  too, but it moves with whatever else the machine is doing;
* the delay from the server's write of a piece to its arrival at the
  consumer, median and 99th percentile, for chunked bodies and for bodies
  that end when the server closes the connection.

Run: python bench/bench_chat.py
"""

import json
import os
import socket
import socketserver
import statistics
import subprocess
import sys
import time

import _table

PIECES = 10_000
REPEATS = 5
# Chat's client CPU per piece, at least so many times lower than the yardstick's.
TARGETS = {"plain-Python generator": 2.0, "openai package": 5.0}
PACE = 0.0002  # seconds between pieces while measuring the delay
USER = [{"role": "user", "content": "count"}]


# ---------------------------------------------------------------- server (child process)

def chunk(content):
    return {"id": "chatcmpl-bench", "object": "chat.completion.chunk", "created": 0,
            "model": "bench", "choices": [{"index": 0, "delta": {"content": content},
                                           "finish_reason": None}]}


def event(obj):
    return b"data: " + json.dumps(obj, separators=(",", ":")).encode() + b"\n\n"


def framed(events, chunked):
    frame = (lambda b: b"%x\r\n%s\r\n" % (len(b), b)) if chunked else (lambda b: b)
    return b"".join(frame(e) for e in events) + (b"0\r\n\r\n" if chunked else b"")


def stream_head(chunked):
    head = b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
    end = b"Transfer-Encoding: chunked\r\n\r\n" if chunked else b"Connection: close\r\n\r\n"
    return head + end


# The whole burst answer, head to end, made once: each request is then one
# large write, so the server is never what the client waits for. Each piece
# still comes in a frame of its own.
BURST = [event(chunk(f"tok{i} ")) for i in range(PIECES)] + [b"data: [DONE]\n\n"]
PREPARED = {chunked: stream_head(chunked) + framed(BURST, chunked) for chunked in (True, False)}


class Handler(socketserver.StreamRequestHandler):
    def handle(self):
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        # Room for a whole answer in the kernel: one write, however slow the reader.
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
        while self.one_request():
            pass

    def one_request(self):
        line = self.rfile.readline()
        if not line:
            return False
        target = line.split()[1].decode()
        headers = {}
        while (h := self.rfile.readline()) not in (b"\r\n", b"\n", b""):
            name, _, value = h.decode().partition(":")
            headers[name.strip().lower()] = value.strip()
        body = self.rfile.read(int(headers.get("content-length", 0)))
        path = target.split("?")[0]
        if path.endswith("/app/config"):
            base = "http://127.0.0.1:%d" % self.server.server_address[1]
            return self.send_json({"data": {"llm_chat_url": base + "/v1/chat/completions",
                                            "llm_models_url": base + "/v1/models"}})
        if path.endswith("/chat/completions"):
            return self.stream(json.loads(body)["model"])
        return self.send_json({"error": {"message": "not found"}}, b"404 Not Found")

    def send_json(self, obj, status=b"200 OK"):
        body = json.dumps(obj).encode()
        self.wfile.write(b"HTTP/1.1 %s\r\nContent-Type: application/json\r\n"
                         b"Content-Length: %d\r\n\r\n%s" % (status, len(body), body))
        return True

    def stream(self, model):
        chunked = model.endswith("chunked")
        sock = self.connection
        if model.startswith("burst"):
            sock.sendall(PREPARED[chunked])
        else:
            # Each piece carries the moment it is written.
            sock.sendall(stream_head(chunked))
            frame = (lambda b: b"%x\r\n%s\r\n" % (len(b), b)) if chunked else (lambda b: b)
            for _ in range(PIECES):
                sock.sendall(frame(event(chunk(str(time.monotonic_ns())))))
                time.sleep(PACE)
            sock.sendall(frame(b"data: [DONE]\n\n") + (b"0\r\n\r\n" if chunked else b""))
        if chunked:
            return True
        sock.shutdown(socket.SHUT_WR)
        return False


def serve():
    socketserver.ThreadingTCPServer.daemon_threads = True
    socketserver.ThreadingTCPServer.allow_reuse_address = True
    with socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler) as server:
        print(server.server_address[1], flush=True)
        server.serve_forever()


# ---------------------------------------------------------------- clients

DEFAULT_API_BASE = "https://api.velk.dev"
CONFIG_PATH = "/v1/api/app/config"
READ_SIZE = 64 * 1024


def delta_pieces(chunk):
    """The text of one streamed piece, choices[0].delta.content, when it has any."""
    choices = chunk.get("choices", [])
    content = choices[0].get("delta", {}).get("content", "") if choices else ""
    if content:
        yield content


class PyChatError(Exception):
    """ChatError in plain Python."""

    def __init__(self, message, code=None, status_code=None):
        self.message = message
        self.code = code
        self.status_code = status_code
        super().__init__(message)


class PyChat:
    """Chat in plain Python: the same requests calls, errors and texts."""

    def __init__(self, api_base=None, model="qwen-turbo", system_prompt=None, timeout=60):
        import requests
        self._api_base = (api_base or os.getenv("VELK_API_BASE", DEFAULT_API_BASE)).rstrip("/")
        self._default_model = model
        self._system_prompt = system_prompt
        self._timeout = timeout
        self._llm_chat_url = None
        self._llm_models_url = None
        self._session = requests.Session()

    def _fetch_config(self):
        if self._llm_chat_url:
            return
        params = {}
        velk_id = os.getenv("VELK_ID")
        if velk_id:
            params["velk_id"] = velk_id
        resp = self._session.get(f"{self._api_base}{CONFIG_PATH}", params=params,
                                 timeout=self._timeout)
        resp.raise_for_status()
        data = self._json(resp).get("data", {})
        chat_url, models_url = data.get("llm_chat_url", ""), data.get("llm_models_url", "")
        self._llm_chat_url, self._llm_models_url = chat_url, models_url
        if not chat_url:
            raise ValueError("未获取到 llm_chat_url 配置")

    @staticmethod
    def _json(resp):
        """resp.json() read as UTF-8 unless the response names a charset."""
        import requests
        from requests.utils import guess_json_utf
        if "charset" not in resp.headers.get("content-type", "").lower():
            resp.encoding = (guess_json_utf(resp.content) if resp.content else None) or "utf-8"
        try:
            return resp.json()
        except RecursionError:
            raise requests.exceptions.JSONDecodeError("JSON nested too deeply", resp.text, 0)

    @staticmethod
    def _error_text(value):
        if value is None:
            return None
        if isinstance(value, str):
            return str(value)
        return json.dumps(value, ensure_ascii=False)

    @staticmethod
    def _raise_described(error, status):
        try:
            message = PyChat._error_text(error.get("message"))
            code = PyChat._error_text(error.get("code"))
        except RecursionError:
            raise PyChatError(f"请求失败 (HTTP {status})", status_code=status)
        raise PyChatError("unknown error" if message is None else message, code, status)

    def _raise_error(self, resp):
        import requests
        status = resp.status_code
        try:
            body = self._json(resp)
        except (ValueError, KeyError, requests.RequestException):
            raise PyChatError(f"请求失败 (HTTP {status})", status_code=status)
        if not isinstance(body, dict):
            raise PyChatError(f"请求失败 (HTTP {status})", status_code=status)
        error = body.get("error")
        if isinstance(error, dict):
            self._raise_described(error, status)
        if isinstance(error, str) and error:
            raise PyChatError(str(error), status_code=status)
        raise PyChatError("unknown error", status_code=status)

    def chat(self, messages, model=None, stream=False, session_id=None, temperature=None,
             max_tokens=None):
        self._fetch_config()
        url = self._llm_chat_url
        if self._system_prompt:
            messages = [{"role": "system", "content": self._system_prompt}] + messages
        body = {"model": model or self._default_model, "messages": messages,
                "stream": bool(stream)}
        if session_id:
            body["session_id"] = session_id
        if temperature is not None:
            body["temperature"] = temperature
        if max_tokens is not None:
            body["max_tokens"] = max_tokens
        if stream:
            return self._stream_chat(url, body)
        resp = self._session.post(url, json=body, timeout=self._timeout)
        if resp.status_code >= 400:
            self._raise_error(resp)
        choices = self._json(resp).get("choices", [])
        if not choices:
            return ""
        content = choices[0].get("message", {}).get("content", "")
        return "" if content is None else content

    @staticmethod
    def _blocks(resp):
        """The body as it arrives, with urllib3's read errors as requests raises them."""
        import requests.exceptions as rx
        import urllib3.exceptions as ux
        from urllib3.response import HTTPResponse
        raw = resp.raw
        try:
            if isinstance(raw, HTTPResponse) and raw.chunked:
                yield from raw.stream(READ_SIZE, decode_content=True)
            elif isinstance(raw, HTTPResponse) and hasattr(raw, "read1"):
                while block := raw.read1(READ_SIZE, decode_content=True):
                    yield block
            else:
                yield from resp.iter_content(chunk_size=None)
        except ux.ProtocolError as e:
            raise rx.ChunkedEncodingError(e)
        except ux.DecodeError as e:
            raise rx.ContentDecodingError(e)
        except ux.ReadTimeoutError as e:
            raise rx.ConnectionError(e)
        except ux.SSLError as e:
            raise rx.SSLError(e)

    @staticmethod
    def _lines(blocks):
        """Lines ended by CR, LF or CRLF only; a CRLF may be cut between blocks."""
        partial, skip_lf = b"", False
        for block in blocks:
            if not isinstance(block, bytes):
                raise TypeError(f"response body read gave {type(block).__name__}, not bytes")
            if not block:
                break
            if skip_lf and block.startswith(b"\n"):
                block = block[1:]
            skip_lf = block.endswith(b"\r")
            lines = (partial + block).splitlines()
            partial = b"" if block.endswith((b"\r", b"\n")) or not lines else lines.pop()
            yield from lines
        if partial:
            yield partial

    def _stream_chat(self, url, body):
        resp = self._session.post(url, json=body, stream=True, timeout=self._timeout)
        try:
            if resp.status_code >= 400:
                self._raise_error(resp)
            resp.encoding = "utf-8"
            for n, line in enumerate(self._lines(self._blocks(resp))):
                if n == 0:
                    line = line.removeprefix(b"\xef\xbb\xbf")
                if not line.startswith(b"data: "):
                    continue
                if line == b"data: [DONE]":
                    return
                try:
                    chunk = json.loads(line[6:].decode("utf-8", "replace"))
                except (json.JSONDecodeError, RecursionError):
                    continue
                if isinstance(chunk, dict) and chunk.get("error") is not None:
                    if not isinstance(chunk["error"], dict):
                        status = resp.status_code
                        raise PyChatError(f"请求失败 (HTTP {status})", status_code=status)
                    self._raise_described(chunk["error"], resp.status_code)
                try:
                    yield from delta_pieces(chunk)
                except json.JSONDecodeError:
                    continue
        finally:
            resp.close()

    def models(self):
        self._fetch_config()
        resp = self._session.get(self._llm_models_url, timeout=self._timeout)
        resp.raise_for_status()
        return [model["id"] for model in self._json(resp).get("data", [])]


def plain_python_stream(session, url, body, timeout):
    """The same generator written in Python on the same HTTP client."""
    resp = session.post(url, json=body, stream=True, timeout=timeout)
    try:
        resp.raise_for_status()
        resp.encoding = "utf-8"
        for line in resp.iter_lines(decode_unicode=True):
            if not line or not line.startswith("data: "):
                continue
            data = line[6:]
            if data == "[DONE]":
                return
            try:
                yield from delta_pieces(json.loads(data))
            except json.JSONDecodeError:
                continue
    finally:
        resp.close()


def consume(make_stream):
    """Client CPU seconds and wall seconds of one whole streamed answer.

    The server runs in a child process, so this process's CPU time is the
    client's alone, whichever of its threads spends it."""
    wall, cpu = time.perf_counter(), time.process_time()
    count = sum(1 for _ in make_stream())
    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    assert count == PIECES, count
    return cpu, wall


def measure(clients):
    """Best CPU per piece and best rate of each client, rounds interleaved so
    that every client sees the same machine."""
    cpu = {name: float("inf") for name in clients}
    wall = dict(cpu)
    for _ in range(REPEATS):
        for name, make_stream in clients.items():
            c, w = consume(make_stream)
            cpu[name], wall[name] = min(cpu[name], c), min(wall[name], w)
    return ({name: c / PIECES for name, c in cpu.items()},
            {name: PIECES / w for name, w in wall.items()})


def delays(stream):
    out = []
    for piece in stream:
        out.append((time.monotonic_ns() - int(piece)) / 1e6)
    assert len(out) == PIECES, len(out)
    out.sort()
    return statistics.median(out), out[int(len(out) * 0.99) - 1]


def make_clients(base, model):
    """Each contender's streamed answer from the model given, warmed once."""
    from velk_dev_kit import Chat
    import requests
    chat = Chat(api_base=base, model=model)
    session = requests.Session()
    url = base + "/v1/chat/completions"
    body = {"model": model, "messages": USER, "stream": True}
    pychat = PyChat(api_base=base, model=model)
    clients = {
        "Chat": lambda: chat.chat(USER, stream=True),
        "PyChat": lambda: pychat.chat(USER, stream=True),
        "plain-Python generator": lambda: plain_python_stream(session, url, body, 60),
    }
    try:
        import openai
    except ImportError:
        openai = None
    if openai is not None:
        client = openai.OpenAI(base_url=base + "/v1", api_key="local", max_retries=0)

        def openai_stream():
            for c in client.chat.completions.create(model=model, messages=USER, stream=True):
                if c.choices and c.choices[0].delta.content:
                    yield c.choices[0].delta.content

        clients["openai package"] = openai_stream
    for make_stream in clients.values():
        list(make_stream())  # fetches the configuration, opens the connection
    return clients


def main():
    from velk_dev_kit import Chat

    server = subprocess.Popen([sys.executable, __file__, "--serve"], stdout=subprocess.PIPE,
                              text=True)
    try:
        base = "http://127.0.0.1:%s" % server.stdout.readline().strip()
        os.environ.pop("VELK_ID", None)
        # Chunked bodies, each piece in a chunk of its own, as streaming
        # servers send them, carry the targets; close-delimited ones, read in
        # large blocks, show the client's cost with less of the HTTP library's.
        results = {kind: measure(make_clients(base, "burst-" + kind))
                   for kind in ("chunked", "close")}
        paced = {kind: delays(Chat(api_base=base, model="paced-" + kind).chat(USER, stream=True))
                 for kind in ("chunked", "close")}
    finally:
        server.terminate()
        server.wait()

    names = list(results["chunked"][0])
    print("Python %s%s" % (sys.version.split()[0],
                           "" if getattr(sys, "_is_gil_enabled", lambda: True)() else " (no GIL)"))
    print(f"{PIECES} pieces, best of {REPEATS} interleaved rounds; client CPU per piece "
          "(the server is in a child process), then pieces per second:")
    for kind, (cpu, rates) in results.items():
        print(f"  {'chunked' if kind == 'chunked' else 'close-delimited'} body:")
        for name in names:
            ratio = "" if name == "Chat" else f"   Chat is {cpu[name] / cpu['Chat']:.2f}x"
            print(f"    {name:<22} {cpu[name] * 1e6:8.2f} us CPU/piece{ratio}")
        for name in names:
            ratio = "" if name == "Chat" else f"   Chat is {rates['Chat'] / rates[name]:.2f}x"
            print(f"    {name:<22} {rates[name]:>8,.0f} pieces/s{ratio}")
    if "openai package" not in names:
        print("  openai package         not installed: column skipped")
    print(f"delay from server write to consumer, {PIECES} pieces {PACE * 1e3:.1f} ms apart:")
    for kind, (median, p99) in paced.items():
        label = "chunked" if kind == "chunked" else "close-delimited"
        print(f"  {label:<16} median {median:.3f} ms   99th percentile {p99:.3f} ms")

    for kind, (cpu, rates) in results.items():
        chunked = kind == "chunked"
        label = "" if chunked else ", close-delimited"
        for name in names[1:]:
            _table.row("chat", f"client CPU per piece{label}", "us", cpu["Chat"] * 1e6, name,
                       cpu[name] * 1e6, lower_is_better=True,
                       target=TARGETS.get(name) if chunked else None)
        for name in names[1:]:
            _table.row("chat", f"wall rate{label}", "pieces/s", rates["Chat"], name, rates[name],
                       lower_is_better=False)
    if "openai package" not in names:
        _table.note("chat", "client CPU per piece", "openai package not installed: no column")
    for kind, (median, p99) in paced.items():
        _table.note("chat", f"delay, {'chunked' if kind == 'chunked' else 'close-delimited'}",
                    f"median {median:.3f} ms, p99 {p99:.3f} ms")
    _table.flush()


if __name__ == "__main__":
    if sys.argv[1:] == ["--serve"]:
        serve()
    else:
        main()
