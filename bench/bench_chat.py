"""Streamed chat answers from a local server: rate and delay.

Streams an answer of 10,000 pieces from a server in a child process on
127.0.0.1 and prints, from one run:

* pieces per second of Chat's streamed answer, of PyChat (the whole client
  written in plain Python, below), of a plain-Python generator doing the
  same work with the same HTTP client, and of the openai package's streaming
  client (when it is installed), with the ratios;
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

PIECES = 10_000
REPEATS = 3
PACE = 0.0002  # seconds between pieces while measuring the delay
USER = [{"role": "user", "content": "count"}]


# ---------------------------------------------------------------- server (child process)

def chunk(content):
    return {"id": "chatcmpl-bench", "object": "chat.completion.chunk", "created": 0,
            "model": "bench", "choices": [{"index": 0, "delta": {"content": content},
                                           "finish_reason": None}]}


def event(obj):
    return b"data: " + json.dumps(obj, separators=(",", ":")).encode() + b"\n\n"


BURST = [event(chunk(f"tok{i} ")) for i in range(PIECES)]


class Handler(socketserver.StreamRequestHandler):
    def handle(self):
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
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
        head = b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
        head += b"Transfer-Encoding: chunked\r\n\r\n" if chunked else b"Connection: close\r\n\r\n"
        sock.sendall(head)
        frame = (lambda b: b"%x\r\n%s\r\n" % (len(b), b)) if chunked else (lambda b: b)
        if model.startswith("burst"):
            # All at once, so the consumer's own cost sets the rate; each
            # piece still comes in a frame of its own.
            sock.sendall(b"".join(frame(piece) for piece in BURST))
        else:
            # Each piece carries the moment it is written.
            for _ in range(PIECES):
                sock.sendall(frame(event(chunk(str(time.monotonic_ns())))))
                time.sleep(PACE)
        sock.sendall(frame(b"data: [DONE]\n\n"))
        if chunked:
            sock.sendall(b"0\r\n\r\n")
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


def rate(make_stream):
    best = 0.0
    for _ in range(REPEATS):
        start = time.perf_counter()
        count = sum(1 for _ in make_stream())
        elapsed = time.perf_counter() - start
        assert count == PIECES, count
        best = max(best, count / elapsed)
    return best


def delays(stream):
    out = []
    for piece in stream:
        out.append((time.monotonic_ns() - int(piece)) / 1e6)
    assert len(out) == PIECES, len(out)
    out.sort()
    return statistics.median(out), out[int(len(out) * 0.99) - 1]


def main():
    from velk_dev_kit import Chat

    server = subprocess.Popen([sys.executable, __file__, "--serve"], stdout=subprocess.PIPE,
                              text=True)
    try:
        base = "http://127.0.0.1:%s" % server.stdout.readline().strip()
        os.environ.pop("VELK_ID", None)
        chat = Chat(api_base=base, model="burst-chunked")
        list(chat.chat(USER, stream=True))  # fetches the configuration, opens the connection

        import requests
        session = requests.Session()
        url = base + "/v1/chat/completions"
        body = {"model": "burst-chunked", "messages": USER, "stream": True}
        list(plain_python_stream(session, url, body, 60))
        pychat = PyChat(api_base=base, model="burst-chunked")
        list(pychat.chat(USER, stream=True))

        rates = {
            "velk_dev_kit Chat": rate(lambda: chat.chat(USER, stream=True)),
            "PyChat": rate(lambda: pychat.chat(USER, stream=True)),
            "plain Python": rate(lambda: plain_python_stream(session, url, body, 60)),
        }
        try:
            import openai
        except ImportError:
            openai = None
        if openai is not None:
            client = openai.OpenAI(base_url=base + "/v1", api_key="local", max_retries=0)

            def openai_stream():
                for c in client.chat.completions.create(model="burst-chunked", messages=USER,
                                                        stream=True):
                    if c.choices and c.choices[0].delta.content:
                        yield c.choices[0].delta.content

            list(openai_stream())
            rates["openai package"] = rate(openai_stream)

        paced = {kind: delays(Chat(api_base=base, model="paced-" + kind).chat(USER, stream=True))
                 for kind in ("chunked", "close")}
    finally:
        server.terminate()
        server.wait()

    print("Python %s%s" % (sys.version.split()[0],
                           "" if getattr(sys, "_is_gil_enabled", lambda: True)() else " (no GIL)"))
    print(f"{PIECES} pieces, chunked body, best of {REPEATS}:")
    mine = rates["velk_dev_kit Chat"]
    for name, value in rates.items():
        ratio = "" if value is mine else f"   Chat is {mine / value:.2f}x"
        print(f"  {name:<18} {value:>10,.0f} pieces/s{ratio}")
    if "openai package" not in rates:
        print("  openai package     not installed: column skipped")
    print(f"delay from server write to consumer, {PIECES} pieces {PACE * 1e3:.1f} ms apart:")
    for kind, (median, p99) in paced.items():
        label = "chunked" if kind == "chunked" else "close-delimited"
        print(f"  {label:<16} median {median:.3f} ms   99th percentile {p99:.3f} ms")


if __name__ == "__main__":
    if sys.argv[1:] == ["--serve"]:
        serve()
    else:
        main()
