"""Chat client against a local server that plays the kit's web API and an
OpenAI-compatible chat service."""

import collections.abc
import contextlib
import gc
import json
import socket
import threading
import time
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit

import pytest
import requests
from conftest import arg_type_error, assert_no_leaks, open_fds

from velk_dev_kit.chat import Chat, ChatError

CONFIG = "/v1/api/app/config"
COMPLETIONS = "/v1/chat/completions"
MODELS = "/v1/models"
USER = [{"role": "user", "content": "hi"}]
DEEP = b"[" * 100_000 + b"]" * 100_000  # JSON nested past any recursion limit


class Received:
    def __init__(self, handler, body):
        url = urlsplit(handler.path)
        self.method, self.path, self.query = handler.command, url.path, url.query
        self.headers = handler.headers
        self.raw = body
        self.port = handler.client_address[1]

    def json(self):
        return json.loads(self.raw)


# Markers inside a streamed body.
WAIT = object()  # wait until the test has taken the previous piece
EXPECT_CLOSE = object()  # wait until the client shuts the connection


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True  # a head and body written apart must not wait for an ACK

    def log_message(self, *args):
        pass

    def handle_one(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        request = Received(self, body)
        service = self.server
        service.received.append(request)
        self.request_seen = request
        route = service.routes.get((self.command, request.path))
        if route is None:
            reply(self, 404, b"not found", "text/plain")
        else:
            route(self)

    do_GET = do_POST = handle_one


class Service(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # clients that hang up mid-answer are part of the tests

    def __init__(self):
        super().__init__(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d" % self.server_address[1]
        self.reset()

    def reset(self):
        self.received, self.events, self.routes = [], [], {}
        self.gate = threading.Semaphore(0)
        self.config({"data": {"llm_chat_url": self.url + COMPLETIONS,
                              "llm_models_url": self.url + MODELS}})

    def config(self, obj):
        self.routes[("GET", CONFIG)] = lambda h: reply(h, 200, obj)

    def on(self, method, path, fn):
        self.routes[(method, path)] = fn

    def sent(self, method=None, path=None):
        return [r for r in self.received
                if (method is None or r.method == method) and (path is None or r.path == path)]


def reply(h, status, body, content_type="application/json"):
    if not isinstance(body, bytes):
        body = json.dumps(body, ensure_ascii=False).encode()
    h.send_response(status)
    h.send_header("Content-Type", content_type)
    h.send_header("Content-Length", str(len(body)))
    h.end_headers()
    h.wfile.write(body)


def stream_body(parts, kind="chunked", gzip=False, finish=True,
                content_type="text/event-stream; charset=iso-8859-1"):
    """Route that sends `parts` (bytes or markers) one write each."""
    def route(h):
        h.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        h.send_response(200)
        h.send_header("Content-Type", content_type)
        if gzip:
            h.send_header("Content-Encoding", "gzip")
            packer = zlib.compressobj(wbits=31)
        if kind == "chunked":
            h.send_header("Transfer-Encoding", "chunked")
        elif kind == "length":
            h.send_header("Content-Length", str(sum(len(p) for p in parts)))
        else:
            h.send_header("Connection", "close")
            h.close_connection = True
        h.end_headers()
        for part in parts:
            if part is WAIT:
                if not h.server.gate.acquire(timeout=3):
                    h.server.events.append("gate timed out")
                continue
            if part is EXPECT_CLOSE:
                h.connection.settimeout(3)
                try:
                    h.server.events.append("closed" if h.connection.recv(1) == b"" else "data")
                except ConnectionResetError:
                    h.server.events.append("closed")
                except TimeoutError:
                    h.server.events.append("still open")
                h.close_connection = True
                return
            if isinstance(part, float):
                time.sleep(part)
                continue
            if gzip:
                part = packer.compress(part) + packer.flush(zlib.Z_SYNC_FLUSH)
            h.wfile.write(b"%x\r\n%s\r\n" % (len(part), part) if kind == "chunked" else part)
        if kind == "chunked":
            if finish:
                h.wfile.write(b"0\r\n\r\n")
            else:
                h.close_connection = True
    return route


def data(content=None, **chunk):
    if content is not None:
        chunk = {"choices": [{"index": 0, "delta": {"content": content}}]}
    return ("data: " + json.dumps(chunk, ensure_ascii=False) + "\n\n").encode()


DONE = b"data: [DONE]\n\n"
# The last chunk of an answer: with it, a body that ends without the end
# marker still holds the whole answer.
FINISH = data(choices=[{"index": 0, "delta": {}, "finish_reason": "stop"}])


@pytest.fixture(scope="module")
def service():
    srv = Service()
    thread = threading.Thread(target=srv.serve_forever, daemon=True)
    thread.start()
    yield srv
    srv.shutdown()
    srv.server_close()


@pytest.fixture
def svc(service, monkeypatch):
    service.reset()
    monkeypatch.setenv("VELK_API_BASE", service.url)
    monkeypatch.delenv("VELK_ID", raising=False)
    return service


# ---------------------------------------------------------------- configuration

@pytest.mark.parametrize("api_base, env, expected", [
    ("http://a.test//", "http://env.test", "http://a.test"),
    ("", "http://env.test///", "http://env.test"),
    (None, "", ""),
    (None, None, "default"),
])
def test_base_address_sources(monkeypatch, api_base, env, expected):
    if env is None:
        monkeypatch.delenv("VELK_API_BASE", raising=False)
    else:
        monkeypatch.setenv("VELK_API_BASE", env)
    base = Chat(api_base=api_base)._api_base
    if expected == "default":
        assert base.startswith("https://") and not base.endswith("/")
    else:
        assert base == expected


def test_construction_sends_nothing_and_sets_attributes_in_order(svc):
    c = Chat(model="m", system_prompt="sp", timeout=7)
    assert list(vars(c)) == ["_api_base", "_default_model", "_system_prompt", "_timeout",
                             "_llm_chat_url", "_llm_models_url", "_session"]
    assert (c._default_model, c._system_prompt, c._timeout) == ("m", "sp", 7)
    assert c._llm_chat_url is None and isinstance(c._session, requests.Session)
    assert svc.received == []


@pytest.mark.parametrize("velk_id, query", [(None, ""), ("", ""), ("abc", "velk_id=abc")])
def test_config_request_and_instance_id(svc, monkeypatch, velk_id, query):
    if velk_id is not None:
        monkeypatch.setenv("VELK_ID", velk_id)
    svc.on("POST", COMPLETIONS, lambda h: reply(h, 200, {"choices": []}))
    c = Chat()
    c.chat(USER)
    c.chat(USER)
    (config,) = svc.sent(path=CONFIG)
    assert (config.method, config.query, config.raw) == ("GET", query, b"")
    assert c._llm_chat_url == svc.url + COMPLETIONS


@pytest.mark.parametrize("config, models_url", [
    ({"data": {"llm_chat_url": "", "llm_models_url": "m"}}, "m"),
    ({"data": {}}, ""),
    ({"other": 1}, ""),
])
def test_missing_chat_address_raises_and_is_fetched_again(svc, config, models_url):
    svc.config(config)
    c = Chat()
    for _ in range(2):
        with pytest.raises(ValueError, match="^未获取到 llm_chat_url 配置$"):
            c.chat(USER, stream=True)  # raised by chat itself, not the generator
        assert (c._llm_chat_url, c._llm_models_url) == ("", models_url)
    with pytest.raises(ValueError):
        c.models()
    assert len(svc.sent(path=CONFIG)) == 3 and svc.sent("POST") == []


def test_config_without_models_address_still_chats(svc):
    svc.config({"data": {"llm_chat_url": svc.url + COMPLETIONS}})
    svc.on("POST", COMPLETIONS, lambda h: reply(h, 200, {"choices": [{"message": {"content": "ok"}}]}))
    c = Chat()
    assert c.chat(USER) == "ok" and c._llm_models_url == ""
    with pytest.raises(requests.exceptions.MissingSchema):
        c.models()


@pytest.mark.parametrize("route, error", [
    (lambda h: reply(h, 500, {"data": {"llm_chat_url": "x"}}), requests.HTTPError),
    (lambda h: reply(h, 200, b"<html>", "text/html"), requests.exceptions.JSONDecodeError),
    (lambda h: reply(h, 200, DEEP), requests.exceptions.JSONDecodeError),
])
def test_config_failures_leave_addresses(svc, route, error):
    svc.on("GET", CONFIG, route)
    c = Chat()
    with pytest.raises(error):
        c.chat(USER)
    assert c._llm_chat_url is None and c._llm_models_url is None


def test_empty_base_address_is_refused_by_http_client(monkeypatch):
    monkeypatch.setenv("VELK_API_BASE", "")
    with pytest.raises(requests.exceptions.MissingSchema):
        Chat().chat(USER)


# ---------------------------------------------------------------- argument rules

class StrSub(str):
    pass


class ListSub(list):
    pass


@pytest.mark.parametrize("make, name, expected, got", [
    (lambda: Chat(model=None), "model", "str", "NoneType"),
    (lambda: Chat(timeout=None), "timeout", "int", "NoneType"),
    (lambda: Chat(timeout="5"), "timeout", "int", "str"),
    (lambda: Chat(api_base=StrSub("http://x")), "api_base", "str", "StrSub"),
    (lambda: Chat(system_prompt=1), "system_prompt", "str", "int"),
    (lambda: ChatError(None), "message", "str", "NoneType"),
    (lambda: ChatError("m", 5), "code", "str", "int"),
    (lambda: ChatError("m", status_code="404"), "status_code", "int", "str"),
    (lambda: Chat().chat(tuple(USER)), "messages", "list", "tuple"),
    (lambda: Chat().chat(ListSub(USER)), "messages", "list", "ListSub"),
    (lambda: Chat().chat(USER, model=1), "model", "str", "int"),
    (lambda: Chat().chat(USER, session_id=b"s"), "session_id", "str", "bytes"),
    (lambda: Chat().chat(USER, temperature="0.5"), "temperature", "float", "str"),
    (lambda: Chat().chat(USER, max_tokens="5"), "max_tokens", "int", "str"),
    (lambda: Chat()._stream_chat(1, {}), "url", "str", "int"),
    (lambda: Chat()._stream_chat("u", [("a", 1)]), "body", "dict", "list"),
])
def test_refused_arguments(svc, make, name, expected, got):
    with pytest.raises(TypeError) as info:
        make()
    assert str(info.value) == arg_type_error(name, expected, got)
    assert svc.received == []  # checked before any request


def test_numbers_are_converted_and_error_form():
    assert Chat(timeout=2.5)._timeout == 2
    e = ChatError("m", status_code=404.0)
    assert (e.status_code, type(e.status_code), e.code, e.args) == (404, int, None, ("m",))


def test_documentation_texts():
    import velk_dev_kit.chat as module
    assert module.__doc__.startswith("LLM 对话客户端")
    assert "VELK_ID: VELK 实例 ID（容器内已自动设置）" in module.__doc__
    assert ChatError.__doc__ == "LLM 聊天接口错误"
    # The signature lines, made from the parameter tables, as the service's texts have them.
    for method, first_line in [
        (Chat.chat, "chat(self, messages: List[Dict[str, Any]], model: Optional[str] = None, "
                    "stream: bool = False, session_id: Optional[str] = None, "
                    "temperature: Optional[float] = None, max_tokens: Optional[int] = None) "
                    "-> Union[str, Iterator[str]]"),
        (Chat._stream_chat, "_stream_chat(self, url: str, body: Dict[str, Any]) -> Iterator[str]"),
        (Chat.models, "models(self) -> List[str]"),
        (Chat._fetch_config, "_fetch_config(self) -> None"),
        (Chat._raise_error, "_raise_error(self, resp: requests.Response) -> None"),
    ]:
        first, blank = method.__doc__.split("\n")[:2]
        assert (first, blank) == (first_line, "")
    assert ChatError.__init__.__doc__ == ("__init__(self, message: str, code: Optional[str] = None, "
                                          "status_code: Optional[int] = None)")
    assert "stream=True 时返回生成器，逐步 yield 内容片段" in Chat.chat.__doc__
    assert Chat.__init__.__doc__ == ("__init__(self, api_base: Optional[str] = None, model: str = "
                                     "'qwen-turbo', system_prompt: Optional[str] = None, "
                                     "timeout: int = 60)")


# ---------------------------------------------------------------- plain answers

@pytest.mark.parametrize("kwargs, members", [
    ({}, [("model", "qwen-turbo"), ("messages", USER), ("stream", False)]),
    ({"model": "", "session_id": "", "temperature": 0, "max_tokens": 0},
     [("model", "qwen-turbo"), ("messages", USER), ("stream", False),
      ("temperature", 0.0), ("max_tokens", 0)]),
    ({"max_tokens": 100.9, "temperature": 1, "session_id": "s1", "model": "qwen-max"},
     [("model", "qwen-max"), ("messages", USER), ("stream", False), ("session_id", "s1"),
      ("temperature", 1.0), ("max_tokens", 100)]),
])
def test_request_body_members_in_order(svc, kwargs, members):
    svc.on("POST", COMPLETIONS, lambda h: reply(h, 200, {"choices": []}))
    Chat().chat(USER, **kwargs)
    (post,) = svc.sent("POST")
    assert (post.path, post.query, post.headers["Content-Type"]) == (COMPLETIONS, "", "application/json")
    assert list(post.json().items()) == members
    if "temperature" in kwargs:  # sent as a floating-point number
        assert b'"temperature": %s.0' % str(kwargs["temperature"]).encode() in post.raw


@pytest.mark.parametrize("conversation", [USER, [{"role": "system", "content": "own"}] + USER])
def test_system_prompt_goes_first(svc, conversation):
    svc.on("POST", COMPLETIONS, lambda h: reply(h, 200, {"choices": []}))
    caller = list(conversation)
    Chat(system_prompt="be brief").chat(caller)
    Chat(system_prompt="").chat(caller)
    sent = [r.json()["messages"] for r in svc.sent("POST")]
    assert sent == [[{"role": "system", "content": "be brief"}] + conversation, conversation]
    assert list(sent[0][0]) == ["role", "content"] and caller == conversation


@pytest.mark.parametrize("answer, text", [
    ({"choices": [{"message": {"role": "assistant", "content": "你好"}}]}, "你好"),
    ({"choices": []}, ""),
    ({}, ""),
    ({"choices": [{}]}, ""),
    ({"choices": [{"message": {}}]}, ""),
    ({"choices": [{"message": {"content": None, "tool_calls": []}}]}, ""),
])
def test_plain_answers(svc, answer, text):
    svc.on("POST", COMPLETIONS, lambda h: reply(h, 200, answer))
    assert Chat().chat(USER) == text


@pytest.mark.parametrize("body", [b"nope", DEEP])
def test_plain_answer_that_is_not_json(svc, body):
    svc.on("POST", COMPLETIONS, lambda h: reply(h, 200, body, "text/plain"))
    with pytest.raises(requests.exceptions.JSONDecodeError):
        Chat().chat(USER)


# ---------------------------------------------------------------- error responses

GENERIC = "请求失败 (HTTP {})"


@pytest.mark.parametrize("status, body, message, code", [
    (429, {"error": {"message": "quota exceeded", "code": "rate_limit"}}, "quota exceeded", "rate_limit"),
    (500, {}, "unknown error", None),
    (500, {"error": None}, "unknown error", None),
    (400, {"error": {"code": "bad_request"}}, "unknown error", "bad_request"),
    (400, {"error": {"message": "超出配额", "code": 4001}}, "超出配额", "4001"),
    (400, {"error": {"message": {"detail": "x"}, "code": None}}, '{"detail": "x"}', None),
    (401, {"error": "invalid api key"}, "invalid api key", None),
    (404, ["not", "an", "object"], GENERIC.format(404), None),
    (502, b"<html><body>Bad Gateway</body></html>", GENERIC.format(502), None),
    (503, b"", GENERIC.format(503), None),
    (500, DEEP, GENERIC.format(500), None),
    (500, b'{"error": {"message": ' + DEEP + b"}}", GENERIC.format(500), None),
])
@pytest.mark.parametrize("stream", [False, True])
def test_failed_chat_responses(svc, status, body, message, code, stream):
    kind = "text/html" if isinstance(body, bytes) else "application/json"
    svc.on("POST", COMPLETIONS, lambda h: reply(h, status, body, kind))
    if stream:
        g = Chat().chat(USER, stream=True)
        assert svc.sent("POST") == []  # the request waits for the first piece
        with pytest.raises(ChatError) as info:
            next(g)
        assert list(g) == []
    else:
        with pytest.raises(ChatError) as info:
            Chat().chat(USER)
    e = info.value
    assert (str(e), e.message, e.code, e.status_code) == (message, message, code, status)
    assert svc.url not in message and "127.0.0.1" not in message
    if isinstance(body, bytes):  # the decoding error stays attached, not as a cause
        assert isinstance(e.__context__, ValueError) and e.__cause__ is None


@pytest.mark.parametrize("content_type, text, body_text", [
    ("text/plain", "模型不存在", None),                  # no charset: JSON's own UTF-8
    ("text/html; charset=gbk", "模型不存在", "gbk"),     # a declared charset is honoured
    ("application/json", "模型不存在", None),
    ("application/json", "bad \ufffd\ufffd msg", b"bad \xff\xfe msg"),  # invalid UTF-8
    ("text/plain", "bad \ufffd\ufffd msg", b"bad \xff\xfe msg"),
    (None, "bad \ufffd\ufffd msg", b"bad \xff\xfe msg"),
    ("application/json", "模型不存在", "utf-16"),          # told by the first bytes
])
@pytest.mark.parametrize("where", ["error", "answer"])
def test_json_text_is_decoded_by_its_charset(svc, where, content_type, text, body_text):
    """body_text: the encoding of the whole body, or the raw bytes that stand for `text`."""
    if where == "error":
        status, obj = 404, {"error": {"message": "@"}}
    else:
        status, obj = 200, {"choices": [{"message": {"content": "@"}}]}
    layout = json.dumps(obj, ensure_ascii=False)
    if isinstance(body_text, bytes):
        body = layout.encode().replace(b"@", body_text)
    else:
        body = layout.replace("@", text).encode(body_text or "utf-8")

    def route(h):
        h.send_response(status)
        if content_type:
            h.send_header("Content-Type", content_type)
        h.send_header("Content-Length", str(len(body)))
        h.end_headers()
        h.wfile.write(body)

    svc.on("POST", COMPLETIONS, route)
    if where == "error":
        with pytest.raises(ChatError) as info:
            Chat().chat(USER)
        assert info.value.message == text
    else:
        assert Chat().chat(USER) == text


# ---------------------------------------------------------------- model list

@pytest.mark.parametrize("listing, ids", [
    ({"object": "list", "data": [{"id": "qwen-turbo"}, {"id": "qwen-plus"}, {"id": "qwen-max"}]},
     ["qwen-turbo", "qwen-plus", "qwen-max"]),
    ({}, []),
])
def test_models(svc, listing, ids):
    svc.on("GET", MODELS, lambda h: reply(h, 200, listing))
    assert Chat().models() == ids
    (get,) = svc.sent(path=MODELS)
    assert (get.method, get.query, get.raw) == ("GET", "", b"")


@pytest.mark.parametrize("route, error", [
    (lambda h: reply(h, 404, {"error": {"message": "no"}}), requests.HTTPError),
    (lambda h: reply(h, 200, {"data": [{"id": "a"}, {"name": "b"}]}), KeyError),
    (lambda h: reply(h, 200, DEEP), requests.exceptions.JSONDecodeError),
])
def test_models_failures(svc, route, error):
    svc.on("GET", MODELS, route)
    with pytest.raises(error):
        Chat().models()


# ---------------------------------------------------------------- streamed answers

def stream_of(svc, parts, **kwargs):
    svc.on("POST", COMPLETIONS, stream_body(parts, **kwargs))
    return Chat().chat(USER, stream=True)


@pytest.mark.parametrize("kind", ["chunked", "close", "length"])
def test_stream_stops_at_end_marker(svc, kind):
    parts = [data("Hel"), b"\n", data("lo"), DONE, data("never")]
    g = stream_of(svc, parts, kind=kind)
    assert svc.sent("POST") == []
    assert list(g) == ["Hel", "lo"]
    (post,) = svc.sent("POST")
    assert list(post.json().items())[2] == ("stream", True)


@pytest.mark.parametrize("kind", ["chunked", "close", "length"])
def test_stream_skips_what_carries_no_text(svc, kind):
    parts = [b": keep-alive\n", b"event: message\nid: 7\nretry: 100\n", data("a"),
             b'data:{"choices":[{"delta":{"content":"nospace"}}]}\n',
             b"data: not json\n", b"data: [DONE] \n", b"data:\n", b"data: \n",
             b'data:  \t{"choices":[{"delta":{"content":"spaced"}}]} \n',
             b'data: {"choices":[{"delta":{"content":"extra"}}]} {}\n',
             'data: \ufeff{"choices":[{"delta":{"content":"bom"}}]}\n'.encode(),
             data(choices=[], usage={"total_tokens": 3}), data(choices=[{"delta": {}}]),
             data(choices=[{"delta": {"content": ""}}]), data(choices=[{"delta": {"content": None}}]),
             data(id="x"), data(choices=[{"finish_reason": "stop"}]), data(error=None),
             b"data: " + DEEP + b"\n", b'data: {"a":' * 100_000 + b"1" + b"}" * 100_000 + b"\n",
             data("b").rstrip(b"\n")]  # no end marker, last line unterminated
    assert list(stream_of(svc, parts, kind=kind)) == ["a", "spaced", "b"]


def test_stream_line_breaks(svc):
    odd = "a\u2028b\u2029c\x85d\u000be\u000cf\x1cg"  # not line breaks of the event stream
    parts = [data("cr").replace(b"\n\n", b"\r"), data("crlf").replace(b"\n", b"\r\n"),
             data(odd), data("last").replace(b"\n\n", b"\r\n"), DONE]
    assert list(stream_of(svc, parts)) == ["cr", "crlf", odd, "last"]


@pytest.mark.parametrize("kind", ["chunked", "close"])
def test_multibyte_text_split_across_reads(svc, kind):
    text = "你好，世界🙂é"
    line = data(text)
    cuts = [8, line.index("好".encode()) + 1, line.index("🙂".encode()) + 2, len(line) - 1]
    parts, start = [], 0
    for cut in cuts:
        parts += [line[start:cut], 0.03]
        start = cut
    parts += [line[start:], data("\ufeff"), DONE]
    assert list(stream_of(svc, parts, kind=kind)) == [text, "\ufeff"]


def test_byte_order_mark_at_start_and_invalid_bytes(svc):
    parts = [b"\xef\xbb\xbf" + data("first"), b'data: {"choices":[{"delta":{"content":"x\xff"}}]}\n', DONE]
    assert list(stream_of(svc, parts)) == ["first", "x\ufffd"]


@pytest.mark.parametrize("kind", ["chunked", "close"])
# CR|LF: the CR ends one read, its LF begins the next.
@pytest.mark.parametrize("ending", [b"\n", b"\r", b"\r\n", b"\r|\n"])
def test_each_piece_arrives_without_waiting_for_more(svc, kind, ending):
    pieces = ["one", "two", "three"]
    parts = []
    for p in pieces:
        end, _, after = ending.partition(b"|")
        parts += [data(p).rstrip(b"\n") + end, WAIT] + ([after] if after else [])
    g = stream_of(svc, parts + [DONE], kind=kind)
    for p in pieces:
        assert next(g) == p
        svc.gate.release()
    assert list(g) == [] and svc.events == []


def test_compressed_stream(svc):
    parts = [data("zip"), WAIT, data("ped"), DONE]
    g = stream_of(svc, parts, gzip=True)
    assert next(g) == "zip"
    svc.gate.release()
    assert list(g) == ["ped"] and svc.events == []


def cut_mid_chunk(h):
    h.send_response(200)
    h.send_header("Transfer-Encoding", "chunked")
    h.end_headers()
    rest = data("b") + data("c")
    h.wfile.write(b"%x\r\n%s\r\n" % (len(data("a")), data("a")))
    h.wfile.write(b"%x\r\n" % (len(rest) + 100) + rest)  # the chunk promises more
    h.close_connection = True


def cut_short_of_length(h):
    body = data("a") + data("b") + data("c")
    h.send_response(200)
    h.send_header("Content-Length", str(len(body) + 100))
    h.end_headers()
    h.wfile.write(body)
    h.close_connection = True


def bad_chunk_size(h):
    h.send_response(200)
    h.send_header("Transfer-Encoding", "chunked")
    h.end_headers()
    h.wfile.write(b"%x\r\n%s\r\nzz\r\n%s\r\n" % (len(data("a")), data("a"), data("b")))
    h.close_connection = True


def framed(*writes, close=True):
    """Route of a chunked body whose framing the test writes itself: each
    item one write (a float is a pause, so the next write comes in a read of
    its own)."""
    def route(h):
        h.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        h.send_response(200)
        h.send_header("Transfer-Encoding", "chunked")
        h.end_headers()
        for w in writes:
            if isinstance(w, float):
                time.sleep(w)
            else:
                h.wfile.write(w)
        h.close_connection = close
    return route


def chunk(payload, size=None):
    return b"%s\r\n%s\r\n" % (b"%x" % len(payload) if size is None else size, payload)


A, B = data("a"), data("b")
LAST = b"0\r\n\r\n"
ENDED_EARLY = "流式回复提前结束，回复不完整"
CHUNKED_ERROR = requests.exceptions.ChunkedEncodingError


@pytest.mark.parametrize("route, pieces, error", [
    # The body itself is broken: the HTTP client's error.
    (stream_body([data("a")], finish=False), ["a"], CHUNKED_ERROR),  # no last chunk
    # Closed inside a chunk: its complete lines are taken as they come, then the error.
    (cut_mid_chunk, ["a", "b", "c"], CHUNKED_ERROR),
    (cut_short_of_length, ["a", "b", "c"], CHUNKED_ERROR),           # closed before Content-Length
    (bad_chunk_size, ["a"], CHUNKED_ERROR),
    (framed(chunk(A), chunk(B, b"0x%x" % len(B))), ["a"], CHUNKED_ERROR),
    (framed(chunk(A), chunk(B, b"-%x" % len(B))), ["a"], CHUNKED_ERROR),
    (framed(chunk(A), chunk(B, b"")), ["a"], CHUNKED_ERROR),          # an empty size line
    (framed(chunk(A), b"1" * 70_000 + b"\r\n"), ["a"], CHUNKED_ERROR),
    (framed(chunk(A), b"%x\r\n%sXY" % (len(B), B) + chunk(FINISH)), ["a", "b"],
     CHUNKED_ERROR),                                                  # no CRLF after the data
    (framed(chunk(A), b"%x" % len(B)), ["a"], CHUNKED_ERROR),           # cut in the size line
    (framed(chunk(A), b"%x\r\n%s" % (len(B), B)), ["a", "b"], CHUNKED_ERROR),  # before the CRLF
    (framed(chunk(A), b"%x\r\n%s\r" % (len(B), B)), ["a", "b"], CHUNKED_ERROR),
    (framed(chunk(A + FINISH), b"0\r\nX-A: " + b"x" * 70_000 + b"\r\n\r\n"), ["a"],
     CHUNKED_ERROR),                                                  # a trailer too long
    # Framing cut anywhere between reads, extensions, trailers, odd sizes: all read.
    (framed(b"%x" % len(A), 0.05, b"\r", 0.05, b"\n" + A[:9], 0.05, A[9:] + b"\r", 0.05,
            b"\n" + chunk(FINISH)[:1], 0.05, chunk(FINISH)[1:] + b"0", 0.05, b"\r\n\r", 0.05,
            b"\n"), ["a"], None),
    (framed(chunk(A, b"%x;name=value;q=\"a;b\"" % len(A)), chunk(FINISH, b"%X ; x" % len(FINISH)),
            b"0;end=1\r\n\r\n"), ["a"], None),
    (framed(chunk(A, b"000%x\t" % len(A)), chunk(FINISH), b"0\r\nX-Checksum: 1\r\nX-B: 2\r\n\r\n"),
     ["a"], None),
    (framed(b"%x\r\n%s\n" % (len(A), A), chunk(FINISH), b"0\n\n"), ["a"], None),  # bare LFs
    (framed(chunk(A), chunk(FINISH), b"0\r\nX-A: 1\r\n"), ["a"], None),  # no last empty line
    (framed(chunk(A), chunk(FINISH), b"0\r\n"), ["a"], None),
    (framed(chunk(A + FINISH[:10]), chunk(FINISH[10:]), LAST), ["a"], None),  # a line over chunks
    (framed(chunk(A), chunk(B), LAST), ["a", "b"], ChatError),       # whole body, no finish
    # A whole body whose answer is not: neither the end marker nor a finish_reason.
    (stream_body([data("The valve is")], kind="close"), ["The valve is"], ChatError),
    (stream_body([data("a"), b'data: {"choices":[{"delta":{"content":"b'], kind="close"),
     ["a"], ChatError),                                               # cut inside a line
    (stream_body([data("a"), data("b")]), ["a", "b"], ChatError),   # chunked, ended cleanly
    (stream_body([]), [], ChatError),
    (stream_body([data("a")], kind="length"), ["a"], ChatError),
    (stream_body([data(choices=[{"delta": {"content": "a"}, "finish_reason": None}])],
                 kind="close"), ["a"], ChatError),
    (lambda h: reply(h, 200, b"<html><body>Service Unavailable</body></html>", "text/html"),
     [], ChatError),
    (lambda h: reply(h, 200, {"choices": [{"message": {"content": "plain"}}]}), [], ChatError),
    # The answer's last chunk came: whole, whatever follows it.
    (stream_body([data("a"), FINISH], kind="close"), ["a"], None),
    (stream_body([data("a"), FINISH, data(choices=[], usage={"total_tokens": 3})]), ["a"], None),
    (stream_body([data(choices=[{"delta": {"content": "a"}, "finish_reason": "length"}])],
                 kind="length"), ["a"], None),
])
def test_stream_cut_short_raises(svc, route, pieces, error):
    svc.on("POST", COMPLETIONS, route)
    g = Chat().chat(USER, stream=True)
    got = []
    with pytest.raises(error) if error else contextlib.nullcontext() as info:
        for piece in g:
            got.append(piece)
    assert got == pieces and list(g) == []
    if error is ChatError:
        e = info.value
        assert (str(e), e.message, e.code, e.status_code) == (ENDED_EARLY, ENDED_EARLY, None, 200)
        assert svc.url not in e.message and "127.0.0.1" not in e.message


UPSTREAM = {"message": "simulated upstream failure after 3 chunks", "type": "None",
            "param": "None", "code": "500"}


@pytest.mark.parametrize("kind", ["chunked", "close"])
@pytest.mark.parametrize("error, message, code", [
    (UPSTREAM, UPSTREAM["message"], "500"),
    ({"code": 500, "message": "超时"}, "超时", "500"),
    ({"code": None}, "unknown error", None),
    ({}, "unknown error", None),
    ({"message": {"detail": 1}, "code": ["x"]}, '{"detail": 1}', '["x"]'),
    ("upstream failed", GENERIC.format(200), None),
    (503, GENERIC.format(200), None),
    (False, GENERIC.format(200), None),
])
def test_error_event_ends_the_stream(svc, kind, error, message, code):
    # No end marker: the service fails and ends the body.
    parts = [data("机"), data("器"), data("人助"), data(error=error), data("never")]
    g = stream_of(svc, parts, kind=kind)
    assert [next(g), next(g), next(g)] == ["机", "器", "人助"]
    with pytest.raises(ChatError) as info:
        next(g)
    e = info.value
    assert (str(e), e.message, e.code, e.status_code) == (message, message, code, 200)
    assert svc.url not in message and "127.0.0.1" not in message
    with pytest.raises(StopIteration):
        next(g)


@pytest.mark.parametrize("kind", ["chunked", "close"])
def test_error_event_after_first_piece_of_slow_stream(svc, kind):
    parts = [data("a"), WAIT, 0.2, data(error={"message": "late"}), EXPECT_CLOSE]
    svc.on("POST", COMPLETIONS, stream_body(parts, kind=kind))
    c = Chat()
    kept = []  # holds the response: only closing it frees the socket
    c._session.hooks["response"].append(lambda r, *args, **kwargs: kept.append(r))
    g = c.chat(USER, stream=True)
    assert next(g) == "a"  # before the error exists
    svc.gate.release()
    with pytest.raises(ChatError, match="^late$"):
        next(g)
    assert not g.gi_suspended and list(g) == []
    assert server_saw(svc) == ["closed"]


def test_generator_protocol(svc):
    g = stream_of(svc, [data(str(i)) for i in range(6)] + [DONE])
    assert iter(g) is g and isinstance(g, collections.abc.Generator)
    assert repr(g).startswith("<generator object Chat._stream_chat at 0x")
    assert (g.__name__, g.__qualname__) == ("_stream_chat", "Chat._stream_chat")
    assert not g.gi_running
    with pytest.raises(TypeError, match="just-started"):
        g.send(1)
    assert svc.sent("POST") == []
    assert [next(g), g.send(None), g.send("ignored")] == ["0", "1", "2"]
    # A decoding error thrown in only skips to the next piece.
    assert g.throw(json.JSONDecodeError("x", "doc", 0)) == "3"
    with pytest.raises(RuntimeError, match="generator raised StopIteration"):
        g.throw(StopIteration())
    for call in (lambda: next(g), lambda: g.send(None)):
        with pytest.raises(StopIteration):
            call()
    with pytest.raises(KeyError):
        g.throw(KeyError("after the end"))
    assert g.close() is None


@pytest.mark.parametrize("args, error, message", [
    ((ValueError("boom"),), ValueError, "boom"),
    ((ValueError, "boom"), ValueError, "boom"),  # the older (type, value) form
    ((ValueError, ("boom",)), ValueError, "boom"),
    # Refused arguments: the generator stays as it was.
    ((), TypeError, "throw expected at least 1 argument, got 0"),
    ((1,), TypeError, "exceptions must be classes or instances deriving from BaseException, not int"),
    ((ValueError("x"), 1), TypeError, "instance exception may not have a separate value"),
    ((ValueError, "x", 1), TypeError, "throw() third argument must be a traceback object"),
])
def test_unstarted_generator_close_and_throw_send_nothing(svc, args, error, message):
    g = stream_of(svc, [data("a"), DONE])
    g.close()
    assert list(g) == []
    g = Chat().chat(USER, stream=True)
    with pytest.warns(DeprecationWarning) if len(args) > 1 else contextlib.nullcontext():
        with pytest.raises(error) as info:
            g.throw(*args)
    assert str(info.value) == message and not g.gi_running
    g.close()
    assert list(g) == [] and svc.sent("POST") == []


def server_saw(svc):
    deadline = time.monotonic() + 5
    while not svc.events and time.monotonic() < deadline:
        time.sleep(0.01)
    return svc.events


@pytest.mark.parametrize("how", ["close", "throw", "abandon", "end marker"])
def test_response_is_closed_when_the_stream_ends(svc, how):
    svc.on("POST", COMPLETIONS, stream_body([data("a"), DONE, EXPECT_CLOSE]))
    c = Chat()
    kept = []  # a response hook holds on to the response: only closing it frees the socket
    c._session.hooks["response"].append(lambda r, *args, **kwargs: kept.append(r))
    g = c.chat(USER, stream=True)
    assert next(g) == "a"
    if how == "close":
        g.close()
    elif how == "throw":
        with pytest.raises(ZeroDivisionError):
            g.throw(ZeroDivisionError)
    elif how == "abandon":
        del g
        gc.collect()
    else:
        assert list(g) == []
    assert server_saw(svc) == ["closed"]


@pytest.mark.parametrize("route", [
    stream_body([data("a"), FINISH]),
    framed(chunk(data("a"), b"%x;ext=1" % len(data("a"))), chunk(FINISH),
           b"0\r\nX-Trailer: 1\r\n\r\n", close=False),
])
def test_connection_is_reused_after_a_complete_stream(svc, route):
    # Read to its end (no end marker, whose arrival stops the reading), the
    # body leaves its connection fit for the next request.
    svc.on("POST", COMPLETIONS, route)
    c = Chat()
    assert list(c.chat(USER, stream=True)) == ["a"]
    assert list(c.chat(USER, stream=True)) == ["a"]
    first, second = svc.sent("POST")
    assert first.port == second.port


def test_streams_on_one_client_are_independent(svc):
    svc.on("POST", COMPLETIONS, stream_body([data("x"), data("y"), DONE]))
    c = Chat()
    g1, g2 = c.chat(USER, stream=True), c.chat(USER, stream=True)
    assert [next(g1), next(g2), next(g1), next(g2)] == ["x", "x", "y", "y"]
    assert list(g1) == list(g2) == []


def test_stream_read_timeout_raises_http_client_error(svc):
    svc.on("POST", COMPLETIONS, stream_body([data("a"), EXPECT_CLOSE]))
    g = Chat(timeout=1).chat(USER, stream=True)
    assert next(g) == "a"
    with pytest.raises(requests.exceptions.ConnectionError):
        next(g)
    assert list(g) == [] and server_saw(svc) == ["closed"]


def test_stream_cannot_be_reentered(svc):
    svc.on("POST", COMPLETIONS, stream_body([data("a"), DONE]))
    c = Chat()
    g = c.chat(USER, stream=True)
    c._session.hooks["response"].append(lambda r, *args, **kwargs: next(g))
    with pytest.raises(ValueError, match="generator already executing"):
        next(g)
    assert list(g) == []


# ---------------------------------------------------------------- odd input

def resident_mb():
    with open("/proc/self/status") as f:
        return int(f.read().split("VmRSS:")[1].split()[0]) / 1024


def peak_reset():
    """Starts the process's peak resident size afresh; gives the size now, in MB."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    return resident_mb()


def peak_mb():
    with open("/proc/self/status") as f:
        return int(f.read().split("VmHWM:")[1].split()[0]) / 1024


MAX_LINE = 64 << 20  # the longest line a stream may carry, its line break not counted
PIECE_HEAD, PIECE_TAIL = b'data: {"choices":[{"delta":{"content":"', b'"}}]}\n'
TOO_LONG = "流式回复中的一行超过 64 MiB"


@pytest.mark.no_sanitizers("the sanitizer's allocator holds freed memory back, so the "
                            "resident size says nothing")
@pytest.mark.parametrize("head, tail, size, outcome", [
    (b": ", b"\n", 60_000_000, None),  # a comment
    (b"data: ", b"\n", 60_000_000, None),  # not JSON
    (PIECE_HEAD, PIECE_TAIL, 60_000_000, "piece"),
    (b": ", b"\n", MAX_LINE - 2, None),  # exactly the longest line taken
    (b": ", b"\n", MAX_LINE - 1, ChatError),  # one byte more
    (b"data: ", b"\n", 256 << 20, ChatError),
    (PIECE_HEAD, PIECE_TAIL, 256 << 20, ChatError),  # never held whole, nor handed out
])
def test_one_huge_line(svc, head, tail, size, outcome):
    block = b"x" * 1_000_000  # the server sends it in blocks: only the client holds the line

    def parts():
        yield head
        for start in range(0, size, len(block)):
            yield block[:size - start]
        yield tail
        yield from (data("after"), WAIT, DONE)

    svc.on("POST", COMPLETIONS, lambda h: stream_body(parts())(h))
    g = Chat().chat(USER, stream=True)
    before = peak_reset()
    if outcome is ChatError:
        with pytest.raises(ChatError) as info:
            next(g)
        e = info.value
        assert (str(e), e.message, e.code, e.status_code) == (TOO_LONG, TOO_LONG, None, 200)
        assert peak_mb() - before < 120  # the line is 64 to 256 MiB long
        assert list(g) == []
        return
    if outcome == "piece":
        first = next(g)
        assert len(first) == size and first == "x" * size
        del first
    assert next(g) == "after"
    if head == b": ":  # the line's buffer is not kept for the rest of the stream
        assert resident_mb() - before < 50
    svc.gate.release()
    assert list(g) == []


def test_text_with_nul_characters_is_sent_whole(svc):
    svc.on("POST", COMPLETIONS, lambda h: reply(h, 200, {"choices": [{"message": {"content": "a\0b"}}]}))
    messages = [{"role": "user", "content": "x\0y"}]
    assert Chat(system_prompt="p\0q").chat(messages, model="m\0n", session_id="s\0t") == "a\0b"
    body = svc.sent("POST")[0].json()
    assert (body["model"], body["session_id"], [m["content"] for m in body["messages"]]) == (
        "m\0n", "s\0t", ["p\0q", "x\0y"])
    assert ChatError("e\0f", "c\0d").args == ("e\0f",)
    with pytest.raises(requests.exceptions.InvalidURL):  # never cut back to a valid address
        Chat(api_base=svc.url + "\0.evil").chat(USER)


# ---------------------------------------------------------------- leaks and threads

LEAK_ROUTES = {
    "plain": lambda h: reply(h, 200, {"choices": [{"message": {"content": "ok"}}]}),
    "plain failing": lambda h: reply(h, 429, {"error": {"message": "slow down"}}),
    "stream": stream_body([data("a"), data("b"), DONE]),
    "stream failing": lambda h: reply(h, 500, b"<html>", "text/html"),
    # Bodies that end with the connection: read without urllib3's chunk reader,
    # which would close the connection itself.
    "stream abandoned": stream_body([data("a"), data("b")], kind="close"),
    "stream error event": stream_body([data("a"), data(error={"message": "x", "code": 1})],
                                      kind="close"),
    "stream ended early": stream_body([data("a"), data("b")]),
}


@pytest.mark.parametrize("operation", ["plain", "plain failing", "stream", "stream abandoned",
                                       "stream failing", "stream error event",
                                       "stream ended early", "models", "ChatError"])
def test_no_leaks(svc, operation):
    messages = [{"role": "user", "content": "leak" * 10}]
    model, session_id, text = "model-" * 3, "session-" * 3, "text-" * 5
    svc.on("POST", COMPLETIONS, LEAK_ROUTES.get(operation, LEAK_ROUTES["plain"]))
    svc.on("GET", MODELS, lambda h: reply(h, 200, {"data": [{"id": "a"}]}))
    c = Chat()

    def run():
        if operation == "models":
            assert c.models() == ["a"]
        elif operation == "ChatError":
            e = ChatError(text, model, 404)
            assert (e.message, e.code) == (text, model)
        elif operation.startswith("stream"):
            g = c.chat(messages, model=model, stream=True, session_id=session_id)
            if operation == "stream abandoned":
                assert next(g) == "a"
                del g
            elif operation == "stream":
                assert list(g) == ["a", "b"]
            else:
                with pytest.raises(ChatError):
                    list(g)
        elif operation == "plain":
            assert c.chat(messages, model=model, session_id=session_id, temperature=0.5) == "ok"
        else:
            with pytest.raises(ChatError):
                c.chat(messages, model=model, session_id=session_id)

    assert_no_leaks(run, messages, messages[0], model, session_id, text, calls=150)


def test_threads_streaming_from_one_client(svc):
    threads, streams, pieces = 4, 12, 40
    svc.on("POST", COMPLETIONS, lambda h: stream_body(
        [data(f"{h.request_seen.json()['messages'][0]['content']}:{i}") for i in range(pieces)]
        + [FINISH])(h))
    c = Chat()
    c._fetch_config()
    results, errors = {}, []
    start = threading.Barrier(threads)
    fds = open_fds()

    def worker(t):
        try:
            start.wait()
            for n in range(streams):
                tag = f"t{t}s{n}"
                results[tag] = list(c.chat([{"role": "user", "content": tag}], stream=True))
        except BaseException as e:
            errors.append(e)

    workers = [threading.Thread(target=worker, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(30)
    assert not any(w.is_alive() for w in workers) and errors == []
    assert results == {f"t{t}s{n}": [f"t{t}s{n}:{i}" for i in range(pieces)]
                       for t in range(threads) for n in range(streams)}
    # Every connection went back to the pool: never more than one per thread was opened.
    assert len({r.port for r in svc.sent("POST")}) <= threads
    c._session.close()  # and from there they close: the server's ends follow
    deadline = time.monotonic() + 5
    while open_fds() > fds and time.monotonic() < deadline:
        time.sleep(0.02)
    assert open_fds() <= fds
