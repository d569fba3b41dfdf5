// velk_dev_kit.chat: client for an OpenAI-compatible chat-completions
// service whose addresses come from the kit's web API.
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "velk/chunked_decoder.hpp"
#include "velk/core.hpp"
#include "velk/generator.hpp"
#include "velk/line_splitter.hpp"

namespace {

using namespace velk;

// The kit's web service; the api_base argument and VELK_API_BASE override it.
constexpr const char kDefaultApiBase[] = "https://api.velk.dev";
constexpr const char kConfigPath[] = "/v1/api/app/config";
// Upper bound of one read of a streamed body; a read returns what has
// arrived, so this only limits how much is taken at once.
constexpr long long kReadSize = 64 * 1024;
// One read of the connection's buffered file. No more than the file's own
// buffer (8 KiB, what http.client makes): for a larger request readinto1
// waits for the socket even when it already holds bytes to return.
constexpr Py_ssize_t kFileReadSize = 8 * 1024;
// Line buffers beyond this are given back once their line has been handled,
// so one huge line does not stay held for the rest of a long stream.
constexpr size_t kKeptLineCapacity = 1 << 20;
// The longest line of a streamed body that is taken; a longer one ends the
// stream rather than being held whole.
constexpr size_t kMaxLineBytes = size_t(64) << 20;

struct State {
    Ref json, requests;
    Ref chat_error, stream_type;
    Ref json_error;           // json.JSONDecodeError
    Ref scan_once;            // the scanner of a default json.JSONDecoder
    Ref not_json;             // what the scanner raises for a text that is no JSON value
    Ref request_exception;    // requests.RequestException
    Ref requests_json_error;  // requests.exceptions.JSONDecodeError
    Ref guess_json_utf;       // requests.utils.guess_json_utf
    Ref urllib3_response;     // urllib3.response.HTTPResponse
    // urllib3's read errors and the requests errors that stand for them, as
    // the HTTP client's own line iteration maps them.
    Ref protocol_error, decode_error, read_timeout_error, ssl_error;
    Ref chunked_encoding_error, content_decoding_error, connection_error, requests_ssl_error;
    // What a read of the connection's file may raise, and urllib3's errors for
    // a broken chunked body.
    Ref base_ssl_error, os_or_http_error, incomplete_read, invalid_chunk_length;
    Ref read_size;

    auto refs() {
        return std::tie(json, requests, chat_error, stream_type, json_error, scan_once, not_json,
                        request_exception, requests_json_error, guess_json_utf,
                        urllib3_response, protocol_error, decode_error, read_timeout_error,
                        ssl_error, chunked_encoding_error, content_decoding_error,
                        connection_error, requests_ssl_error, base_ssl_error,
                        os_or_http_error, incomplete_read, invalid_chunk_length, read_size);
    }
};

using Ctx = velk::Ctx<State>;

constexpr Param error_init_params[] = {
    {"self"},
    {"message", "str", Check::Str},
    {"code", "Optional[str]", Check::Str, "None"},
    {"status_code", "Optional[int]", Check::Int, "None"},
};
constexpr Param chat_init_params[] = {
    {"self"},
    {"api_base", "Optional[str]", Check::Str, "None"},
    {"model", "str", Check::Str, "'qwen-turbo'"},
    {"system_prompt", "Optional[str]", Check::Str, "None"},
    {"timeout", "int", Check::Int, "60"},
};
constexpr Param raise_error_params[] = {{"self"}, {"resp", "requests.Response"}};
constexpr Param chat_params[] = {
    {"self"},
    {"messages", "List[Dict[str, Any]]", Check::List},
    {"model", "Optional[str]", Check::Str, "None"},
    {"stream", "bool", Check::Any, "False"},
    {"session_id", "Optional[str]", Check::Str, "None"},
    {"temperature", "Optional[float]", Check::Float, "None"},
    {"max_tokens", "Optional[int]", Check::Int, "None"},
};
constexpr Param stream_chat_params[] = {
    {"self"},
    {"url", "str", Check::Str},
    {"body", "Dict[str, Any]", Check::Dict},
};

// ---------------------------------------------------------------- reading replies

// status >= 400
bool is_failure_status(Handle status) {
    return check(PyObject_RichCompareBool(status, from_long(400), Py_GE)) != 0;
}

// seq[0], as a sequence: a dict is refused rather than looked up.
Ref first_item(Handle seq) { return Ref::steal(PySequence_GetItem(seq, 0)); }

// JSON is UTF-8 (or UTF-16/32, told by its first bytes) unless the
// Content-Type names a charset. The HTTP client would otherwise read a text/*
// body without one as ISO-8859-1, and a body with invalid bytes by a guess
// of its encoding, garbling every non-ASCII text; as declared text, invalid
// bytes become U+FFFD.
void json_encoding(State& s, Handle resp) {
    Ref type = resp.attr("headers"_n).method("get"_n, "content-type"_n, ""_n);
    if (type.method("lower"_n).contains("charset"_n)) return;
    Ref content = resp.attr("content"_n);
    Ref encoding = content.truth() ? s.guess_json_utf(content) : none();
    resp.set_attr("encoding"_n, encoding == Py_None ? "utf-8"_n : encoding);
}

// resp.json() for a body read whole. JSON nested too deeply to decode is a
// body that is not JSON: the HTTP client's decoding error, not RecursionError.
Ref response_json(State& s, Handle resp) {
    json_encoding(s, resp);
    return guarded(
        PyExc_RecursionError, [&] { return resp.method("json"_n); },
        [&](Handle) -> Ref {
            raise(s.requests_json_error(str("JSON nested too deeply"), resp.attr("text"_n),
                                        from_long(0)));
        });
}

// ---------------------------------------------------------------- errors

// A member of an error description as text: JSON null or absence gives
// nothing, text stays as it is, any other value becomes its JSON text.
Ref error_text(State& s, Handle value) {
    if (!value || value == Py_None) return {};
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    if (PyUnicode_Check(value)) return value.str();
    return s.json.method("dumps"_n, value, "ensure_ascii"_kw = Py_False);
}

[[noreturn]] void raise_chat_error(State& s, Handle message, Handle code, Handle status) {
    raise(s.chat_error("message"_kw = message, "code"_kw = code ? code : Handle(Py_None),
                       "status_code"_kw = status));
}

// "请求失败 (HTTP {status})": never holds the body or the request address.
[[noreturn]] void raise_generic_error(State& s, Handle status) {
    raise_chat_error(s, fstr("请求失败 (HTTP ", status, ")"), {}, status);
}

// The message and code of an error description object; a value nested too
// deeply to be written as text leaves only the generic error.
[[noreturn]] void raise_described_error(State& s, Handle error, Handle status) {
    auto [message, code] = guarded(
        PyExc_RecursionError,
        [&] {
            return std::pair(error_text(s, get_or(error, "message"_n, Py_None)),
                             error_text(s, get_or(error, "code"_n, Py_None)));
        },
        [&](Handle) -> std::pair<Ref, Ref> { raise_generic_error(s, status); });
    raise_chat_error(s, message ? message : str("unknown error"), code, status);
}

// ---------------------------------------------------------------- ChatError

Ref error_init(const Ctx& c, Handle self, Handle message, Handle code, Handle status_code) {
    self.set_attr("message"_n, message);
    self.set_attr("code"_n, code);
    self.set_attr("status_code"_n, status_code);
    super(c.state().chat_error, self).method("__init__"_n, message);
    return none();
}

// ---------------------------------------------------------------- Chat

Ref chat_init(const Ctx& c, Handle self, Handle api_base, Handle model, Handle system_prompt,
              Handle timeout) {
    Ref base = api_base.truth() ? Ref::borrow(api_base)
                                : velk::getenv("VELK_API_BASE", str(kDefaultApiBase));
    self.set_attr("_api_base"_n, base.method("rstrip"_n, "/"_n));
    self.set_attr("_default_model"_n, model);
    self.set_attr("_system_prompt"_n, system_prompt);
    self.set_attr("_timeout"_n, timeout);
    self.set_attr("_llm_chat_url"_n, Py_None);
    self.set_attr("_llm_models_url"_n, Py_None);
    self.set_attr("_session"_n, c.state().requests.attr("Session"_n)());
    return none();
}

Ref fetch_config(const Ctx& c, Handle self) {
    if (self.attr("_llm_chat_url"_n).truth()) return none();
    Ref params = new_dict();
    Ref velk_id = velk::getenv("VELK_ID");
    if (velk_id.truth()) params.set_item("velk_id"_n, velk_id);
    Ref url = fstr(self.attr("_api_base"_n), kConfigPath);
    Ref resp = self.attr("_session"_n).method("get"_n, url, "params"_kw = params,
                                              "timeout"_kw = self.attr("_timeout"_n));
    resp.method("raise_for_status"_n);
    Ref data = get_or_else(response_json(c.state(), resp), "data"_n, new_dict);
    Ref chat_url = get_or(data, "llm_chat_url"_n, ""_n);
    Ref models_url = get_or(data, "llm_models_url"_n, ""_n);
    self.set_attr("_llm_chat_url"_n, chat_url);
    self.set_attr("_llm_models_url"_n, models_url);
    if (!chat_url.truth()) raise(PyExc_ValueError, "未获取到 llm_chat_url 配置");
    return none();
}

Ref raise_error(const Ctx& c, Handle /*self*/, Handle resp) {
    State& s = c.state();
    Ref status = resp.attr("status_code"_n);
    // Undecodable text, or a body that could not be read to the end.
    Ref body = guarded(
        tuple(PyExc_ValueError, PyExc_KeyError, s.request_exception),
        [&] { return response_json(s, resp); },
        [&](Handle) -> Ref { raise_generic_error(s, status); });
    if (!PyDict_Check(body)) raise_generic_error(s, status);
    Ref error = get_or(body, "error"_n, Py_None);
    if (PyDict_Check(error)) raise_described_error(s, error, status);
    if (PyUnicode_Check(error) && PyUnicode_GET_LENGTH(error) > 0)
        raise_chat_error(s, error.str(), {}, status);
    raise_chat_error(s, str("unknown error"), {}, status);
}

Ref chat(const Ctx& c, Handle self, Handle messages, Handle model, Handle stream,
         Handle session_id, Handle temperature, Handle max_tokens) {
    const bool streamed = stream.truth();
    self.method("_fetch_config"_n);
    Ref url = self.attr("_llm_chat_url"_n);
    Ref conversation = Ref::borrow(messages);
    Ref system_prompt = self.attr("_system_prompt"_n);
    if (system_prompt.truth()) {
        Ref head = new_list();
        head.method("append"_n, dict_of("role"_n, "system"_n, "content"_n, system_prompt));
        conversation = Ref::steal(PyNumber_Add(head, messages));
    }
    Ref body = new_dict();
    body.set_item("model"_n, model.truth() ? Ref::borrow(model) : self.attr("_default_model"_n));
    body.set_item("messages"_n, conversation);
    body.set_item("stream"_n, boolean(streamed));
    if (session_id.truth()) body.set_item("session_id"_n, session_id);
    if (temperature != Py_None) body.set_item("temperature"_n, temperature);
    if (max_tokens != Py_None) body.set_item("max_tokens"_n, max_tokens);
    if (streamed) return self.method("_stream_chat"_n, url, body);

    Ref resp = self.attr("_session"_n).method("post"_n, url, "json"_kw = body,
                                              "timeout"_kw = self.attr("_timeout"_n));
    if (is_failure_status(resp.attr("status_code"_n))) self.method("_raise_error"_n, resp);
    Ref choices = get_or_else(response_json(c.state(), resp), "choices"_n, new_list);
    if (!choices.truth()) return str("");
    Ref message = get_or_else(first_item(choices), "message"_n, new_dict);
    Ref content = get_or(message, "content"_n, ""_n);
    // A null content (a reply made only of tool calls, for one) is no text.
    return content == Py_None ? str("") : content;
}

Ref models(const Ctx& c, Handle self) {
    self.method("_fetch_config"_n);
    Ref url = self.attr("_llm_models_url"_n);
    Ref resp = self.attr("_session"_n).method("get"_n, url, "timeout"_kw = self.attr("_timeout"_n));
    resp.method("raise_for_status"_n);
    Ref ids = new_list();
    get_or_else(response_json(c.state(), resp), "data"_n, new_list)
        .for_each([&](Ref item) { ids.method("append"_n, item.item("id"_n)); });
    return ids;
}

// ---------------------------------------------------------------- streamed answer
//
// The generator that _stream_chat returns. It sends the request when the
// first piece is asked for, reads the body as it arrives and splits it into
// lines at CR, LF or CRLF only, so no character inside a chunk can cut a
// line and a piece is handed out as soon as its line is complete.

struct StreamBody {
    using ModuleState = State;
    static constexpr const char* type_name = "velk_dev_kit.chat.generator";
    static constexpr const char* name = "_stream_chat";
    static constexpr const char* qualname = "Chat._stream_chat";

    // Where the body's bytes come from.
    enum class Source {
        Chunks,  // the connection's buffered file, chunked framing undone here
        Read1,   // urllib3's read1, for a body without chunks
        Blocks,  // an iterator of blocks: urllib3's own chunk reader, or requests'
    };

    Ref client;  // the Chat instance
    Ref url, body;
    Ref response;  // set from the request until the stream ends
    Ref raw;       // urllib3's response, when the chunks are read here
    Ref reader;    // the file's readinto1, urllib3's read1, or an iterator of blocks
    Ref block;     // bytes last read through urllib3 or requests
    // The connection's file reads into this one buffer, through a memoryview
    // of it: a fresh bytes object per read would cost an allocation each.
    std::unique_ptr<char[]> buffer;
    Ref buffer_view;
    std::string_view unread;  // of buffer, what the chunk decoder has not yet taken
    LineSplitter lines{kMaxLineBytes, kKeptLineCapacity};
    ChunkedDecoder chunks;
    Source source = Source::Blocks;
    bool at_start = true;
    bool finished = false;  // a chunk carried a finish_reason: the answer is whole
    bool eof = false;

    StreamBody(Handle client, Handle url, Handle body)
        : client(Ref::borrow(client)), url(Ref::borrow(url)), body(Ref::borrow(body)) {}

    Ref next(State& s);  // runs to the next piece; empty once the stream has ended
    // Inside the body a decoding error between a chunk and its yield only
    // skips that chunk; anything else ends the body.
    bool catches(Handle exc, State& s) { return check(PyObject_IsInstance(exc, s.json_error)); }
    void release();
    template <class F>
    void visit(F&& f) {
        for (Ref* r : {&client, &url, &body, &response, &raw, &reader, &block, &buffer_view})
            f(*r);
    }
};

using Stream = Generator<StreamBody>;

Ref stream_chat(const Ctx& c, Handle self, Handle url, Handle body) {
    return Stream::make(c.state().stream_type, self, url, body);
}

// Turns urllib3's read errors into the requests errors that line iteration
// over the response would raise.
[[noreturn]] void raise_read_error(State& s, Handle e) {
    std::pair<Handle, Handle> mapping[] = {{s.protocol_error, s.chunked_encoding_error},
                                           {s.decode_error, s.content_decoding_error},
                                           {s.read_timeout_error, s.connection_error},
                                           {s.ssl_error, s.requests_ssl_error}};
    for (auto [from, to] : mapping)
        if (check(PyObject_IsInstance(e, from))) raise(to(e));
    raise(e);
}

// The connection's own buffered file when the chunks of this body can be
// read from it directly: a chunked body, not compressed, of which urllib3 has
// read nothing yet. Anything else is left to urllib3.
Ref chunked_body_file(Handle raw) {
    if (!raw.attr("chunked"_n).truth() || raw.attr("chunk_left"_n) != Py_None) return {};
    Ref coding = raw.attr("headers"_n).method("get"_n, "content-encoding"_n, ""_n);
    if (coding.truth() &&
        !PyUnicode_EqualToUTF8(coding.method("lower"_n).method("strip"_n), "identity"))
        return {};
    Ref fp = raw.attr("_fp"_n);
    if (fp != raw.attr("_original_response"_n).ptr() || fp == Py_None) return {};
    Ref file = fp.attr("fp"_n);
    if (file == Py_None || !check(PyObject_HasAttrWithError(file, "readinto1"_n))) return {};
    return file;
}

void start(StreamBody& g, State& s) {
    Ref resp = g.client.attr("_session"_n).method("post"_n, g.url, "json"_kw = g.body,
                                                  "stream"_kw = Py_True,
                                                  "timeout"_kw = g.client.attr("_timeout"_n));
    g.response = resp;  // from here on every ending closes it
    if (is_failure_status(resp.attr("status_code"_n))) g.client.method("_raise_error"_n, resp);
    resp.set_attr("encoding"_n, "utf-8"_n);
    Ref raw = resp.attr("raw"_n);
    if (check(PyObject_IsInstance(raw, s.urllib3_response))) {
        if (raw.attr("chunked"_n).truth()) {
            // Large reads of whatever has arrived, the framing undone here:
            // urllib3's reader costs a Python-level read per chunk, and a
            // streaming server sends a chunk per event.
            if (Ref file = chunked_body_file(raw)) {
                g.raw = raw;
                g.reader = file.attr("readinto1"_n);
                g.buffer = std::make_unique<char[]>(size_t(kFileReadSize));
                g.buffer_view = Ref::steal(
                    PyMemoryView_FromMemory(g.buffer.get(), kFileReadSize, PyBUF_WRITE));
                g.source = StreamBody::Source::Chunks;
                return;
            }
            g.reader = raw.method("stream"_n, s.read_size, "decode_content"_kw = Py_True).iter();
            return;
        }
        if (check(PyObject_HasAttrWithError(raw, "read1"_n))) {
            // A body without chunks: read1 returns as soon as any bytes have
            // arrived, where read and stream wait for a full block.
            g.reader = raw.attr("read1"_n);
            g.source = StreamBody::Source::Read1;
            return;
        }
    }
    g.reader = resp.method("iter_content"_n, "chunk_size"_kw = Py_None).iter();
}

// "Connection broken: {e!r}"
Ref broken(Handle e) { return fstr("Connection broken: ", Ref::steal(PyObject_Repr(e))); }

// urllib3's error for a failed read of the connection's file, as its own
// chunk reader would raise it.
[[noreturn]] void raise_socket_error(StreamBody& g, State& s, Handle e) {
    if (check(PyObject_IsInstance(e, PyExc_TimeoutError)))
        raise_read_error(s, s.read_timeout_error(g.raw.attr("_pool"_n), Py_None,
                                                 "Read timed out."_n));
    if (check(PyObject_IsInstance(e, s.base_ssl_error))) raise_read_error(s, s.ssl_error(e));
    if (check(PyObject_IsInstance(e, s.os_or_http_error)))
        raise_read_error(s, s.protocol_error(broken(e), e));
    raise(e);
}

[[noreturn]] void raise_protocol_error(State& s, Handle message, Handle cause = {}) {
    raise_read_error(s, cause ? s.protocol_error(message, cause) : s.protocol_error(message));
}

// The framing went wrong, or the body ended before its last chunk.
[[noreturn]] void raise_framing_error(StreamBody& g, State& s, ChunkedDecoder::Step step) {
    using Step = ChunkedDecoder::Step;
    switch (step) {
        case Step::BadSize: {
            std::string_view text = g.chunks.size_text();
            Ref e = s.invalid_chunk_length(
                g.raw, Ref::steal(PyBytes_FromStringAndSize(text.data(), Py_ssize_t(text.size()))));
            raise_protocol_error(s, broken(e), e);
        }
        case Step::SizeLineTooLong:
            raise_protocol_error(s, "Response chunk size line exceeded maximum allowed length"_n);
        case Step::TrailerTooLong:
            raise_protocol_error(s, "Response chunk trailer line exceeded maximum allowed length"_n);
        default:
            raise_protocol_error(s, "Connection broken: chunk not followed by CRLF"_n);
    }
}

[[noreturn]] void raise_cut(StreamBody& g, State& s) {
    if (g.chunks.cut() == ChunkedDecoder::Cut::BeforeChunk)
        raise_protocol_error(s, "Response ended prematurely"_n);
    Ref e = s.incomplete_read(from_long(static_cast<long long>(g.chunks.chunk_read())),
                              from_long(static_cast<long long>(g.chunks.chunk_left())));
    raise_protocol_error(s, broken(e), e);
}

// The last chunk has been read: the body is whole. As urllib3 does then, the
// connection goes back to the pool, unless bytes beyond the body came with
// it, which would be taken for the next response.
void end_of_chunks(StreamBody& g) {
    g.eof = true;
    g.reader.reset();
    if (!g.unread.empty()) return;  // closing the response shuts the connection
    g.raw.attr("_original_response"_n).method("close"_n);
    g.raw.method("release_conn"_n);
}

// Feeds the splitter the next payload bytes from the connection's file.
void fill_from_chunks(StreamBody& g, State& s) {
    for (;;) {
        std::string_view data;
        switch (auto step = g.chunks.next(&g.unread, &data)) {
            case ChunkedDecoder::Step::Data: g.lines.feed(data); return;
            case ChunkedDecoder::Step::End: end_of_chunks(g); return;
            case ChunkedDecoder::Step::More: break;
            default: raise_framing_error(g, s, step);
        }
        Ref got = guarded([&] { return g.reader(g.buffer_view); },
                          [&](Handle e) -> Ref { raise_socket_error(g, s, e); });
        const Py_ssize_t n = PyLong_Check(got) ? PyLong_AsSsize_t(got) : -1;
        if (n < 0 || n > kFileReadSize) {
            if (PyErr_Occurred()) throw_error();
            raise(PyExc_TypeError, fstr("response body read gave ", got.str(), " bytes"));
        }
        if (n == 0) {
            if (g.chunks.cut() != ChunkedDecoder::Cut::Clean) raise_cut(g, s);
            end_of_chunks(g);
            return;
        }
        g.unread = std::string_view(g.buffer.get(), size_t(n));
    }
}

// The next block through urllib3 or requests; empty or None at its end.
Ref read_block(StreamBody& g, State& s) {
    if (g.source == StreamBody::Source::Read1)
        return g.reader(s.read_size, "decode_content"_kw = Py_True);
    Ref data = Ref::steal_or_null(PyIter_Next(g.reader));
    if (!data && PyErr_Occurred()) throw_error();
    return data;
}

// Feeds the splitter the next bytes of the body, or sets eof.
void fill(StreamBody& g, State& s) {
    if (g.source == StreamBody::Source::Chunks) return fill_from_chunks(g, s);
    Ref data = guarded([&] { return read_block(g, s); },
                       [&](Handle e) -> Ref { raise_read_error(s, e); });
    if (!data || data == Py_None) {
        g.eof = true;
        return;
    }
    if (!PyBytes_Check(data))
        raise(PyExc_TypeError, fstr("response body read gave ", type_name(data), ", not bytes"));
    if (PyBytes_GET_SIZE(data) == 0) {
        g.eof = true;
        return;
    }
    g.block = std::move(data);
    g.lines.feed(std::string_view(PyBytes_AS_STRING(g.block), size_t(PyBytes_GET_SIZE(g.block))));
}

// ChatError with the status of a stream that began well.
[[noreturn]] void raise_stream_failure(StreamBody& g, State& s, const char* message) {
    raise_chat_error(s, str(message), {}, g.response.attr("status_code"_n));
}

// The next complete line of the bytes fed; at the body's end the last one
// without its line break. False when more bytes are needed or none are left.
bool take_line(StreamBody& g, State& s, std::string_view* line) {
    switch (g.lines.take(line)) {
        case LineSplitter::Take::Line: return true;
        case LineSplitter::Take::TooLong: raise_stream_failure(g, s, "流式回复中的一行超过 64 MiB");
        case LineSplitter::Take::More: break;
    }
    return g.eof && g.lines.finish(line);
}

bool json_space(int kind, const void* d, Py_ssize_t i) {
    Py_UCS4 c = PyUnicode_READ(kind, d, i);
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// json.loads(text) through the decoder's scanner: the same values and the
// same refusals without the per-call wrapper. An empty Ref when the text is
// not one JSON value.
Ref decode_json(State& s, PyObject* text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* d = PyUnicode_DATA(text);
    if (n > 0 && PyUnicode_READ(kind, d, 0) == 0xFEFF) return {};  // loads refuses a BOM
    Py_ssize_t start = 0;
    while (start < n && json_space(kind, d, start)) ++start;
    // StopIteration: no value at all where one should begin;
    // RecursionError: nested too deeply to be read.
    Ref result = guarded(
        s.not_json, [&] { return s.scan_once(text, from_long(start)); },
        [](Handle) { return Ref(); });
    if (!result) return {};
    Py_ssize_t end = PyLong_AsSsize_t(PyTuple_GetItem(result, 1));
    if (end < 0 && PyErr_Occurred()) throw_error();
    while (end < n && json_space(kind, d, end)) ++end;
    if (end != n) return {};  // more after the value
    return Ref::borrow(PyTuple_GetItem(result, 0));
}

// The text piece of one chunk, or an empty Ref when it carries none; sets
// *finished once a chunk's choice carries a finish_reason.
Ref chunk_content(Handle chunk, bool* finished) {
    Ref choices = get_or_absent(chunk, "choices"_n, new_list);
    if (!choices || !choices.truth()) return {};
    Ref choice = first_item(choices);
    Ref delta = get_or_absent(choice, "delta"_n, new_dict);
    if (!*finished) {
        Ref reason = get_or_absent(choice, "finish_reason"_n, none);
        *finished = reason && reason.truth();
    }
    if (!delta) return {};
    Ref content = get_or_absent(delta, "content"_n, [] { return str(""); });
    if (!content || !content.truth()) return {};
    return content;
}

// ChatError for an error event: the description's message and code when it
// is an object, else the generic message; the status is the response's.
[[noreturn]] void raise_stream_error(StreamBody& g, State& s, Handle error) {
    Ref status = g.response.attr("status_code"_n);
    if (!PyDict_Check(error)) raise_generic_error(s, status);
    raise_described_error(s, error, status);
}

enum class LineResult { Skip, Piece, Done };

LineResult handle_line(StreamBody& g, State& s, std::string_view line, Ref* piece) {
    if (g.at_start) {
        g.at_start = false;
        if (line.starts_with("\xEF\xBB\xBF")) line.remove_prefix(3);
    }
    if (!line.starts_with("data: ")) return LineResult::Skip;
    line.remove_prefix(6);
    if (line == "[DONE]") return LineResult::Done;
    Ref chunk = decode_json(
        s, Ref::steal(PyUnicode_DecodeUTF8(line.data(), Py_ssize_t(line.size()), "replace")));
    if (!chunk) return LineResult::Skip;
    // A service that fails after the answer has begun says so in an event of
    // its own and ends the body: the answer is not complete.
    if (PyDict_CheckExact(chunk))
        if (Ref error = get_or_absent(chunk, "error"_n, none); error && error != Py_None)
            raise_stream_error(g, s, error);
    *piece = guarded(
        s.json_error, [&] { return chunk_content(chunk, &g.finished); },
        [](Handle) { return Ref(); });
    return *piece ? LineResult::Piece : LineResult::Skip;
}

// Takes lines until one gives a piece, else reads more.
Ref StreamBody::next(State& s) {
    if (!response) start(*this, s);
    for (;;) {
        for (std::string_view line; take_line(*this, s, &line);) {
            Ref piece;
            switch (handle_line(*this, s, line, &piece)) {
                case LineResult::Piece: return piece;
                case LineResult::Done: return {};
                case LineResult::Skip: break;
            }
        }
        if (eof) {
            // Neither the end marker nor a finish_reason: the service or the
            // connection stopped mid-answer, or this was no event stream.
            if (!finished) raise_stream_failure(*this, s, "流式回复提前结束，回复不完整");
            return {};
        }
        fill(*this, s);
    }
}

// Closes the response, which gives its connection back to the session's
// pool (a connection not read to its end is shut rather than reused).
void StreamBody::release() {
    reader.reset();
    unread = {};
    block.reset();
    lines.clear();
    raw.reset();
    // Nothing may write into the buffer once it is gone.
    if (Ref view = std::exchange(buffer_view, Ref())) view.method("release"_n);
    buffer.reset();
    if (Ref resp = std::exchange(response, Ref())) resp.method("close"_n);
}

// ---------------------------------------------------------------- definitions

constexpr FunctionSpec error_methods[] = {
    signature_in_doc(method<error_init>("__init__", error_init_params)),
};

constexpr FunctionSpec chat_methods[] = {
    signature_in_doc(method<chat_init>("__init__", chat_init_params)),
    signature_in_doc(method<fetch_config>(
        "_fetch_config", self_only,
        "从 VELK API 获取并缓存 LLM 接口地址（llm_chat_url, llm_models_url）", "None")),
    signature_in_doc(method<raise_error>("_raise_error", raise_error_params,
                                         "从响应体解析错误信息并抛出 ChatError，不暴露请求地址",
                                         "None")),
    signature_in_doc(method<chat>("chat", chat_params,
                                  "发送聊天请求\n\n"
                                  "Args:\n"
                                  "    messages: 消息列表，如 [{\"role\": \"user\", \"content\": \"你好\"}]\n"
                                  "    model: 模型名称，不传则使用默认模型\n"
                                  "    stream: 是否流式输出\n"
                                  "    session_id: 会话 ID，用于多轮对话\n"
                                  "    temperature: 温度参数\n"
                                  "    max_tokens: 最大 token 数\n\n"
                                  "Returns:\n"
                                  "    stream=False 时返回完整回复字符串\n"
                                  "    stream=True 时返回生成器，逐步 yield 内容片段",
                                  "Union[str, Iterator[str]]")),
    signature_in_doc(method<stream_chat>("_stream_chat", stream_chat_params,
                                         "流式请求，逐步 yield 内容片段", "Iterator[str]")),
    signature_in_doc(method<models>("models", self_only,
                                    "获取可用模型列表\n\n"
                                    "Returns:\n"
                                    "    模型 ID 列表，如 ['qwen-turbo', 'qwen-plus', 'qwen-max']",
                                    "List[str]")),
};

constexpr const char chat_doc[] =
    "LLM 对话客户端\n"
    "\n"
    "从 VELK API 获取 LLM 接口地址，提供简洁的聊天接口。\n"
    "\n"
    "Args:\n"
    "    api_base: VELK API 基础地址，默认从环境变量 VELK_API_BASE 获取\n"
    "    model: 默认模型名称，默认 qwen-turbo\n"
    "    system_prompt: 系统提示词，会自动注入到每次对话的 messages 最前面\n"
    "    timeout: 请求超时时间（秒），默认 60\n"
    "\n"
    "环境变量:\n"
    "    VELK_API_BASE: API 基础地址\n"
    "    VELK_ID: 实例 ID，用于获取配置";

constexpr const char module_doc[] =
    "LLM 对话客户端\n"
    "\n"
    "通过 VELK API 获取 LLM 接口地址，调用 OpenAI 兼容的聊天接口。\n"
    "\n"
    "环境变量:\n"
    "    VELK_API_BASE: VELK API 基础地址（容器内已自动设置）\n"
    "    VELK_ID: VELK 实例 ID（容器内已自动设置）\n"
    "\n"
    "用法:\n"
    "    from velk_dev_kit import Chat\n"
    "\n"
    "    chat = Chat()\n"
    "\n"
    "    # 同步调用\n"
    "    reply = chat.chat([{\"role\": \"user\", \"content\": \"你好\"}])\n"
    "    print(reply)\n"
    "\n"
    "    # 流式调用\n"
    "    for chunk in chat.chat([{\"role\": \"user\", \"content\": \"你好\"}], stream=True):\n"
    "        print(chunk, end=\"\", flush=True)\n"
    "\n"
    "    # 指定模型\n"
    "    reply = chat.chat([{\"role\": \"user\", \"content\": \"你好\"}], model=\"qwen-max\")\n"
    "\n"
    "    # 查看可用模型\n"
    "    print(chat.models())\n";

void exec_module(Module<State>& m) {
    State& s = m.state();
    m.import("os");
    s.json = m.import("json");
    s.requests = m.import("requests");
    for (const char* name : {"List", "Dict", "Any", "Optional", "Iterator", "Union"})
        m.import_from("typing", name);

    s.json_error = s.json.attr("JSONDecodeError"_n);
    s.scan_once = s.json.attr("JSONDecoder"_n)().attr("scan_once"_n);
    s.not_json = tuple(s.json_error, PyExc_StopIteration, PyExc_RecursionError);
    Ref rx = import("requests.exceptions");
    s.request_exception = rx.attr("RequestException"_n);
    s.requests_json_error = rx.attr("JSONDecodeError"_n);
    s.guess_json_utf = import_from("requests.utils", "guess_json_utf");
    s.chunked_encoding_error = rx.attr("ChunkedEncodingError"_n);
    s.content_decoding_error = rx.attr("ContentDecodingError"_n);
    s.connection_error = rx.attr("ConnectionError"_n);
    s.requests_ssl_error = rx.attr("SSLError"_n);
    Ref ux = import("urllib3.exceptions");
    s.protocol_error = ux.attr("ProtocolError"_n);
    s.decode_error = ux.attr("DecodeError"_n);
    s.read_timeout_error = ux.attr("ReadTimeoutError"_n);
    s.ssl_error = ux.attr("SSLError"_n);
    s.incomplete_read = ux.attr("IncompleteRead"_n);
    s.invalid_chunk_length = ux.attr("InvalidChunkLength"_n);
    s.base_ssl_error = import_from("urllib3.connection", "BaseSSLError");
    s.os_or_http_error = tuple(PyExc_OSError, import_from("http.client", "HTTPException"));
    s.urllib3_response = import_from("urllib3.response", "HTTPResponse");
    s.read_size = from_long(kReadSize);

    s.chat_error = m.make_class("ChatError", "LLM 聊天接口错误", error_methods,
                                tuple(PyExc_Exception));
    m.add("ChatError", s.chat_error);
    m.add("Chat", m.make_class("Chat", chat_doc, chat_methods));
    s.stream_type = Stream::make_type(m);
}

}  // namespace

VELK_MODULE(chat, State, exec_module, module_doc)
