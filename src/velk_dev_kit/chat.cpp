// velk_dev_kit.chat: client for an OpenAI-compatible chat-completions
// service whose addresses come from the kit's web API.
#include <atomic>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>

#include "velk/core.hpp"

namespace {

using namespace velk;

// The kit's web service; the api_base argument and VELK_API_BASE override it.
constexpr const char kDefaultApiBase[] = "https://api.velk.dev";
constexpr const char kConfigPath[] = "/v1/api/app/config";
// Upper bound of one read of a streamed body; a read returns what has
// arrived, so this only limits how much is taken at once.
constexpr long long kReadSize = 64 * 1024;
// Line buffers beyond this are given back once their line has been handled,
// so one huge line does not stay held for the rest of a long stream.
constexpr size_t kKeptLineCapacity = 1 << 20;

struct State {
    Ref os, json, requests;
    Ref chat_error, chat, stream_type;
    Ref json_error;        // json.JSONDecodeError
    Ref scan_once;         // the scanner of a default json.JSONDecoder
    Ref request_exception;  // requests.RequestException
    Ref requests_json_error;  // requests.exceptions.JSONDecodeError
    Ref guess_json_utf;       // requests.utils.guess_json_utf
    Ref urllib3_response;   // urllib3.response.HTTPResponse
    // urllib3's read errors and the requests errors that stand for them, as
    // the HTTP client's own line iteration maps them.
    Ref protocol_error, decode_error, read_timeout_error, ssl_error;
    Ref chunked_encoding_error, content_decoding_error, connection_error, requests_ssl_error;
    // Keyword-name tuples of the calls made here.
    Ref kw_params_timeout, kw_json_timeout, kw_json_stream_timeout, kw_timeout;
    Ref kw_decode_content, kw_chunk_size, kw_ensure_ascii, kw_error;
    Ref read_size;

    auto refs() {
        return std::tie(os, json, requests, chat_error, chat, stream_type, json_error, scan_once, request_exception, requests_json_error, guess_json_utf, urllib3_response, protocol_error, decode_error, read_timeout_error, ssl_error, chunked_encoding_error, content_decoding_error, connection_error, requests_ssl_error, kw_params_timeout, kw_json_timeout, kw_json_stream_timeout, kw_timeout, kw_decode_content, kw_chunk_size, kw_ensure_ascii, kw_error, read_size);
    }
};

State& state_of_type(PyTypeObject* tp) {
    return holder<State>(PyType_GetModule(tp)).s;
}

Ref names(std::initializer_list<const char*> list) {
    Ref t = Ref::steal(PyTuple_New(Py_ssize_t(list.size())));
    Py_ssize_t i = 0;
    for (const char* n : list) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(intern(n)));
    return t;
}

Ref getenv(State& s, const char* name, PyObject* fallback = nullptr) {
    Ref fn = getattr(s.os.get(), VELK_NAME("getenv"));
    return fallback ? call(fn.get(), str(name).get(), fallback) : call(fn.get(), str(name).get());
}

bool is_failure_status(PyObject* status) {
    Ref limit = from_long(400);
    return check(PyObject_RichCompareBool(status, limit.get(), Py_GE)) != 0;
}

bool has_attr(PyObject* o, PyObject* name) {
    PyObject* v;
    int rc = check(PyObject_GetOptionalAttr(o, name, &v));
    Py_XDECREF(v);
    return rc != 0;
}

// Default of a member read with .get(key, default).
enum class Default { None, EmptyDict, EmptyList, EmptyStr };

Ref make_default(Default d) {
    switch (d) {
        case Default::EmptyDict: return Ref::steal(PyDict_New());
        case Default::EmptyList: return Ref::steal(PyList_New(0));
        case Default::EmptyStr: return str("");
        default: return none();
    }
}

// obj.get(key, default) for whatever the decoded JSON holds; a dict is read
// directly, anything else answers (or fails) as its own get would.
Ref member(PyObject* obj, PyObject* key, Default d) {
    if (PyDict_CheckExact(obj)) {
        PyObject* v;
        if (check(PyDict_GetItemRef(obj, key, &v))) return Ref::steal(v);
        return make_default(d);
    }
    return call_method(obj, VELK_NAME("get"), key, make_default(d).get());
}

// Like member, but an absent entry of a dict gives an empty Ref instead of a
// fresh default, for the hot path that only tests it.
Ref member_or_absent(PyObject* obj, PyObject* key, Default d) {
    if (PyDict_CheckExact(obj)) {
        PyObject* v;
        check(PyDict_GetItemRef(obj, key, &v));
        return Ref::steal_or_null(v);
    }
    return call_method(obj, VELK_NAME("get"), key, make_default(d).get());
}

Ref first_item(PyObject* seq) {
    if (PyList_CheckExact(seq) && PyList_GET_SIZE(seq) > 0)
        return Ref::borrow(PyList_GET_ITEM(seq, 0));
    return Ref::steal(PySequence_GetItem(seq, 0));
}

// Raises `exc` as Python's raise would inside an except block for `context`
// (or outside any, when context is empty).
[[noreturn]] void raise_with_context(Ref exc, Ref context) {
    if (context) {
        PyException_SetContext(exc.get(), context.release());
        PyErr_SetRaisedException(exc.release());
    } else {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    }
    throw_error();
}

// ---------------------------------------------------------------- ChatError

Ref error_init(const Args& a) {
    PyObject* self = a[0];
    setattr(self, VELK_NAME("message"), a[1]);
    setattr(self, VELK_NAME("code"), a[2]);
    setattr(self, VELK_NAME("status_code"), a[3]);
    Ref super = call(reinterpret_cast<PyObject*>(&PySuper_Type), a.state<State>().chat_error.get(),
                     self);
    call_method(super.get(), VELK_NAME("__init__"), a[1]);
    return none();
}

// ---------------------------------------------------------------- Chat

Ref chat_init(const Args& a) {
    State& s = a.state<State>();
    PyObject* self = a[0];
    Ref base = is_true(a[1]) ? Ref::borrow(a[1])
                             : getenv(s, "VELK_API_BASE", str(kDefaultApiBase).get());
    base = call_method(base.get(), VELK_NAME("rstrip"), str("/").get());
    setattr(self, VELK_NAME("_api_base"), base.get());
    setattr(self, VELK_NAME("_default_model"), a[2]);
    setattr(self, VELK_NAME("_system_prompt"), a[3]);
    setattr(self, VELK_NAME("_timeout"), a[4]);
    setattr(self, VELK_NAME("_llm_chat_url"), Py_None);
    setattr(self, VELK_NAME("_llm_models_url"), Py_None);
    Ref session = call(getattr(s.requests.get(), VELK_NAME("Session")).get());
    setattr(self, VELK_NAME("_session"), session.get());
    return none();
}

// A member of an error description as text: JSON null or absence gives
// nothing, text stays as it is, any other value becomes its JSON text.
Ref error_text(State& s, PyObject* value) {
    if (!value || value == Py_None) return {};
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    if (PyUnicode_Check(value)) return to_str(value);
    return call_kw(getattr(s.json.get(), VELK_NAME("dumps")).get(), {value, Py_False},
                   s.kw_ensure_ascii.get());
}

// Message and code of an error description object. False, with the
// RecursionError pending, when a value is nested too deeply to be written
// as text.
bool describe_error(State& s, PyObject* error, Ref* message, Ref* code) {
    try {
        *message = error_text(s, member(error, VELK_NAME("message"), Default::None).get());
        *code = error_text(s, member(error, VELK_NAME("code"), Default::None).get());
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_RecursionError)) throw;
        return false;
    }
    if (!*message) *message = str("unknown error");
    return true;
}

// "请求失败 (HTTP {status})": never holds the body or the request address.
Ref generic_message(PyObject* status) {
    return Ref::steal(PyUnicode_FromFormat("%s%S)", "请求失败 (HTTP ", status));
}

[[noreturn]] void raise_chat_error(State& s, PyObject* message, PyObject* code, PyObject* status,
                                   Ref context) {
    Ref exc = call_kw(s.chat_error.get(), {message, code ? code : Py_None, status},
                      s.kw_error.get());
    raise_with_context(std::move(exc), std::move(context));
}

// JSON is UTF-8 (or UTF-16/32, told by its first bytes) unless the
// Content-Type names a charset. The HTTP client would otherwise read a text/*
// body without one as ISO-8859-1, and a body with invalid bytes by a guess
// of its encoding, garbling every non-ASCII text; as declared text, invalid
// bytes become U+FFFD.
void json_encoding(State& s, PyObject* resp) {
    Ref headers = getattr(resp, VELK_NAME("headers"));
    Ref type = call_method(headers.get(), VELK_NAME("get"), VELK_NAME("content-type"),
                           VELK_NAME(""));
    Ref lowered = call_method(type.get(), VELK_NAME("lower"));
    if (check(PySequence_Contains(lowered.get(), VELK_NAME("charset")))) return;
    Ref content = getattr(resp, VELK_NAME("content"));
    Ref encoding = is_true(content.get()) ? call(s.guess_json_utf.get(), content.get()) : none();
    setattr(resp, VELK_NAME("encoding"), encoding.get() == Py_None ? VELK_NAME("utf-8")
                                                                   : encoding.get());
}

// resp.json() for a body read whole. JSON nested too deeply to decode is a
// body that is not JSON: the HTTP client's decoding error, not RecursionError.
Ref response_json(State& s, PyObject* resp) {
    json_encoding(s, resp);
    try {
        return call_method(resp, VELK_NAME("json"));
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_RecursionError)) throw;
        Ref recursion = Ref::steal(PyErr_GetRaisedException());
        Ref text = getattr(resp, VELK_NAME("text"));
        Ref exc = call(s.requests_json_error.get(), str("JSON nested too deeply").get(), text.get(),
                       from_long(0).get());
        raise_with_context(std::move(exc), std::move(recursion));
    }
}

Ref fetch_config(const Args& a) {
    State& s = a.state<State>();
    PyObject* self = a[0];
    if (is_true(getattr(self, VELK_NAME("_llm_chat_url")).get())) return none();
    Ref params = Ref::steal(PyDict_New());
    Ref id = getenv(s, "VELK_ID");
    if (is_true(id.get())) check(PyDict_SetItemString(params.get(), "velk_id", id.get()));
    Ref base = getattr(self, VELK_NAME("_api_base"));
    Ref url = Ref::steal(PyUnicode_FromFormat("%S%s", base.get(), kConfigPath));
    Ref session = getattr(self, VELK_NAME("_session"));
    Ref timeout = getattr(self, VELK_NAME("_timeout"));
    Ref resp = call_kw(getattr(session.get(), VELK_NAME("get")).get(),
                       {url.get(), params.get(), timeout.get()}, s.kw_params_timeout.get());
    call_method(resp.get(), VELK_NAME("raise_for_status"));
    Ref config = response_json(s, resp.get());
    Ref data = member(config.get(), VELK_NAME("data"), Default::EmptyDict);
    Ref chat_url = member(data.get(), VELK_NAME("llm_chat_url"), Default::EmptyStr);
    Ref models_url = member(data.get(), VELK_NAME("llm_models_url"), Default::EmptyStr);
    setattr(self, VELK_NAME("_llm_chat_url"), chat_url.get());
    setattr(self, VELK_NAME("_llm_models_url"), models_url.get());
    if (!is_true(chat_url.get())) {
        PyErr_SetString(PyExc_ValueError, "未获取到 llm_chat_url 配置");
        throw_error();
    }
    return none();
}

Ref raise_error(const Args& a) {
    State& s = a.state<State>();
    PyObject* resp = a[1];
    Ref status = getattr(resp, VELK_NAME("status_code"));
    auto raise_generic = [&](Ref context) {
        raise_chat_error(s, generic_message(status.get()).get(), nullptr, status.get(),
                         std::move(context));
    };
    Ref body;
    try {
        body = response_json(s, resp);
    } catch (const PyError&) {
        // Undecodable text, or a body that could not be read to the end.
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_KeyError) &&
            !PyErr_ExceptionMatches(s.request_exception.get()))
            throw;
        raise_generic(Ref::steal(PyErr_GetRaisedException()));
    }
    if (!PyDict_Check(body.get())) raise_generic({});
    Ref error = member(body.get(), VELK_NAME("error"), Default::None);
    Ref message, code;
    if (PyDict_Check(error.get())) {
        if (!describe_error(s, error.get(), &message, &code))
            raise_generic(Ref::steal(PyErr_GetRaisedException()));
    } else if (PyUnicode_Check(error.get()) && PyUnicode_GET_LENGTH(error.get()) > 0) {
        message = to_str(error.get());
    }
    if (!message) message = str("unknown error");
    raise_chat_error(s, message.get(), code.get(), status.get(), {});
}

Ref chat(const Args& a) {
    State& s = a.state<State>();
    PyObject *self = a[0], *messages = a[1], *model = a[2], *session_id = a[4],
             *temperature = a[5], *max_tokens = a[6];
    const bool stream = is_true(a[3]);
    call_method(self, VELK_NAME("_fetch_config"));
    Ref url = getattr(self, VELK_NAME("_llm_chat_url"));
    Ref conversation = Ref::borrow(messages);
    Ref system_prompt = getattr(self, VELK_NAME("_system_prompt"));
    if (is_true(system_prompt.get())) {
        Ref system = Ref::steal(PyDict_New());
        check(PyDict_SetItemString(system.get(), "role", str("system").get()));
        check(PyDict_SetItemString(system.get(), "content", system_prompt.get()));
        Ref head = Ref::steal(PyList_New(1));
        PyList_SET_ITEM(head.get(), 0, system.release());
        conversation = Ref::steal(PyNumber_Add(head.get(), messages));
    }
    Ref body = Ref::steal(PyDict_New());
    Ref model_name = is_true(model) ? Ref::borrow(model) : getattr(self, VELK_NAME("_default_model"));
    check(PyDict_SetItemString(body.get(), "model", model_name.get()));
    check(PyDict_SetItemString(body.get(), "messages", conversation.get()));
    check(PyDict_SetItemString(body.get(), "stream", stream ? Py_True : Py_False));
    if (is_true(session_id)) check(PyDict_SetItemString(body.get(), "session_id", session_id));
    if (temperature != Py_None) check(PyDict_SetItemString(body.get(), "temperature", temperature));
    if (max_tokens != Py_None) check(PyDict_SetItemString(body.get(), "max_tokens", max_tokens));
    if (stream) return call_method(self, VELK_NAME("_stream_chat"), url.get(), body.get());

    Ref session = getattr(self, VELK_NAME("_session"));
    Ref timeout = getattr(self, VELK_NAME("_timeout"));
    Ref resp = call_kw(getattr(session.get(), VELK_NAME("post")).get(),
                       {url.get(), body.get(), timeout.get()}, s.kw_json_timeout.get());
    if (is_failure_status(getattr(resp.get(), VELK_NAME("status_code")).get()))
        call_method(self, VELK_NAME("_raise_error"), resp.get());
    Ref answer = response_json(s, resp.get());
    Ref choices = member(answer.get(), VELK_NAME("choices"), Default::EmptyList);
    if (!is_true(choices.get())) return str("");
    Ref first = first_item(choices.get());
    Ref message = member(first.get(), VELK_NAME("message"), Default::EmptyDict);
    Ref content = member(message.get(), VELK_NAME("content"), Default::EmptyStr);
    // A null content (a reply made only of tool calls, for one) is no text.
    return content.get() == Py_None ? str("") : content;
}

Ref models(const Args& a) {
    State& s = a.state<State>();
    PyObject* self = a[0];
    call_method(self, VELK_NAME("_fetch_config"));
    Ref url = getattr(self, VELK_NAME("_llm_models_url"));
    Ref session = getattr(self, VELK_NAME("_session"));
    Ref timeout = getattr(self, VELK_NAME("_timeout"));
    Ref resp = call_kw(getattr(session.get(), VELK_NAME("get")).get(), {url.get(), timeout.get()},
                       s.kw_timeout.get());
    call_method(resp.get(), VELK_NAME("raise_for_status"));
    Ref listing = response_json(s, resp.get());
    Ref data = member(listing.get(), VELK_NAME("data"), Default::EmptyList);
    Ref ids = Ref::steal(PyList_New(0));
    Ref it = Ref::steal(PyObject_GetIter(data.get()));
    while (Ref item = Ref::steal_or_null(PyIter_Next(it.get()))) {
        Ref id = Ref::steal(PyObject_GetItem(item.get(), VELK_NAME("id")));
        check(PyList_Append(ids.get(), id.get()));
    }
    if (PyErr_Occurred()) throw_error();
    return ids;
}

// ---------------------------------------------------------------- streamed answer
//
// The generator that _stream_chat returns. It sends the request when the
// first piece is asked for, reads the body as it arrives and splits it into
// lines at CR, LF or CRLF only, so no character inside a chunk can cut a
// line and a piece is handed out as soon as its line is complete.

enum : int { kCreated, kSuspended, kRunning, kFinished };

struct StreamCpp {
    std::atomic<int> state{kCreated};
    std::string partial;  // bytes of a line not yet complete
    std::string line;     // a completed line that spanned reads
    bool skip_lf = false;  // a CR ended the last read: a leading LF belongs to it
    bool at_start = true;
    bool eof = false;
    bool by_read1 = false;  // reader is urllib3's read1, else an iterator of blocks
};

struct StreamObject {
    PyObject_HEAD
    PyObject* client;  // the Chat instance
    PyObject* url;
    PyObject* body;
    PyObject* response;  // set from the request until the stream ends
    PyObject* reader;
    PyObject* block;  // bytes being split
    Py_ssize_t pos;
    StreamCpp* cpp;
};

StreamObject* as_stream(PyObject* o) { return reinterpret_cast<StreamObject*>(o); }

// Turns urllib3's read errors into the requests errors that line iteration
// over the response would raise.
void map_read_error(State& s) {
    struct Pair {
        Ref& from;
        Ref& to;
    } pairs[] = {{s.protocol_error, s.chunked_encoding_error},
                 {s.decode_error, s.content_decoding_error},
                 {s.read_timeout_error, s.connection_error},
                 {s.ssl_error, s.requests_ssl_error}};
    for (Pair& p : pairs) {
        if (!PyErr_ExceptionMatches(p.from.get())) continue;
        Ref original = Ref::steal(PyErr_GetRaisedException());
        Ref mapped = call(p.to.get(), original.get());
        raise_with_context(std::move(mapped), std::move(original));
    }
}

void start(StreamObject* g, State& s) {
    Ref session = getattr(g->client, VELK_NAME("_session"));
    Ref timeout = getattr(g->client, VELK_NAME("_timeout"));
    Ref resp = call_kw(getattr(session.get(), VELK_NAME("post")).get(),
                       {g->url, g->body, Py_True, timeout.get()}, s.kw_json_stream_timeout.get());
    g->response = Ref(resp).release();  // from here on every ending closes it
    if (is_failure_status(getattr(resp.get(), VELK_NAME("status_code")).get()))
        call_method(g->client, VELK_NAME("_raise_error"), resp.get());
    setattr(resp.get(), VELK_NAME("encoding"), str("utf-8").get());
    Ref raw = getattr(resp.get(), VELK_NAME("raw"));
    Ref blocks;
    if (check(PyObject_IsInstance(raw.get(), s.urllib3_response.get()))) {
        if (is_true(getattr(raw.get(), VELK_NAME("chunked")).get())) {
            // Each chunk as soon as it is complete: a chunk is what the
            // server flushed at once, and reading by chunk costs half as
            // much as read1 does.
            blocks = call_kw(getattr(raw.get(), VELK_NAME("stream")).get(),
                             {s.read_size.get(), Py_True}, s.kw_decode_content.get());
        } else if (has_attr(raw.get(), VELK_NAME("read1"))) {
            // A body without chunks: read1 returns as soon as any bytes have
            // arrived, where read and stream wait for a full block.
            g->reader = getattr(raw.get(), VELK_NAME("read1")).release();
            g->cpp->by_read1 = true;
            return;
        }
    }
    if (!blocks)
        blocks = call_kw(getattr(resp.get(), VELK_NAME("iter_content")).get(), {Py_None},
                         s.kw_chunk_size.get());
    g->reader = PyObject_GetIter(blocks.get());
    if (!g->reader) throw_error();
}

void fill(StreamObject* g, State& s) {
    Ref data;
    try {
        if (g->cpp->by_read1) {
            data = call_kw(g->reader, {s.read_size.get(), Py_True}, s.kw_decode_content.get());
        } else {
            data = Ref::steal_or_null(PyIter_Next(g->reader));
            if (!data && PyErr_Occurred()) throw_error();
        }
    } catch (const PyError&) {
        map_read_error(s);
        throw;
    }
    if (!data || data.get() == Py_None) {
        g->cpp->eof = true;
        return;
    }
    if (!PyBytes_Check(data.get())) {
        PyErr_Format(PyExc_TypeError, "response body read gave %s, not bytes", type_name(data.get()));
        throw_error();
    }
    if (PyBytes_GET_SIZE(data.get()) == 0) {
        g->cpp->eof = true;
        return;
    }
    Py_XSETREF(g->block, data.release());
    g->pos = 0;
}

// The next complete line, or false when more bytes are needed. The view stays
// valid until the next call.
bool next_line(StreamObject* g, const char** data, size_t* size) {
    StreamCpp& c = *g->cpp;
    if (c.line.capacity() > kKeptLineCapacity) std::string().swap(c.line);
    if (c.partial.empty() && c.partial.capacity() > kKeptLineCapacity) std::string().swap(c.partial);
    if (g->block) {
        const char* buf = PyBytes_AS_STRING(g->block);
        const Py_ssize_t len = PyBytes_GET_SIZE(g->block);
        Py_ssize_t pos = g->pos;
        if (c.skip_lf && pos < len) {
            if (buf[pos] == '\n') ++pos;
            c.skip_lf = false;
        }
        Py_ssize_t end = pos;
        while (end < len && buf[end] != '\n' && buf[end] != '\r') ++end;
        if (end < len) {
            Py_ssize_t next = end + 1;
            if (buf[end] == '\r') {
                if (next < len) {
                    if (buf[next] == '\n') ++next;
                } else {
                    c.skip_lf = true;
                }
            }
            g->pos = next;
            if (c.partial.empty()) {
                *data = buf + pos;
                *size = size_t(end - pos);
            } else {
                c.partial.append(buf + pos, size_t(end - pos));
                c.line.swap(c.partial);
                c.partial.clear();
                *data = c.line.data();
                *size = c.line.size();
            }
            return true;
        }
        c.partial.append(buf + pos, size_t(len - pos));
        Py_CLEAR(g->block);
        g->pos = 0;
        return false;
    }
    if (c.eof && !c.partial.empty()) {  // a last line without its line break
        c.line.swap(c.partial);
        c.partial.clear();
        *data = c.line.data();
        *size = c.line.size();
        return true;
    }
    return false;
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
    Ref result = Ref::steal_or_null(
        PyObject_CallFunctionObjArgs(s.scan_once.get(), text, from_long(start).get(), nullptr));
    if (!result) {
        // StopIteration: no value at all where one should begin;
        // RecursionError: nested too deeply to be read.
        if (!PyErr_ExceptionMatches(s.json_error.get()) &&
            !PyErr_ExceptionMatches(PyExc_StopIteration) &&
            !PyErr_ExceptionMatches(PyExc_RecursionError))
            throw_error();
        PyErr_Clear();
        return {};
    }
    Py_ssize_t end = PyLong_AsSsize_t(PyTuple_GET_ITEM(result.get(), 1));
    if (end < 0 && PyErr_Occurred()) throw_error();
    while (end < n && json_space(kind, d, end)) ++end;
    if (end != n) return {};  // more after the value
    return Ref::borrow(PyTuple_GET_ITEM(result.get(), 0));
}

// The text piece of one chunk, or an empty Ref when it carries none.
Ref chunk_content(PyObject* chunk) {
    Ref choices = member_or_absent(chunk, VELK_NAME("choices"), Default::EmptyList);
    if (!choices || !is_true(choices.get())) return {};
    Ref first = first_item(choices.get());
    Ref delta = member_or_absent(first.get(), VELK_NAME("delta"), Default::EmptyDict);
    if (!delta) return {};
    Ref content = member_or_absent(delta.get(), VELK_NAME("content"), Default::EmptyStr);
    if (!content || !is_true(content.get())) return {};
    return content;
}

// ChatError for an error event: the description's message and code when it
// is an object, else the generic message; the status is the response's.
[[noreturn]] void raise_stream_error(StreamObject* g, State& s, PyObject* error) {
    Ref status = getattr(g->response, VELK_NAME("status_code"));
    Ref message, code;
    Ref context;
    if (!PyDict_Check(error) || !describe_error(s, error, &message, &code)) {
        if (PyErr_Occurred()) context = Ref::steal(PyErr_GetRaisedException());
        message = generic_message(status.get());
        code = {};
    }
    raise_chat_error(s, message.get(), code.get(), status.get(), std::move(context));
}

enum class LineResult { Skip, Piece, Done };

LineResult handle_line(StreamObject* g, State& s, const char* p, size_t n, Ref* piece) {
    if (g->cpp->at_start) {
        g->cpp->at_start = false;
        if (n >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3, n -= 3;
    }
    if (n < 6 || std::memcmp(p, "data: ", 6) != 0) return LineResult::Skip;
    p += 6, n -= 6;
    if (n == 6 && std::memcmp(p, "[DONE]", 6) == 0) return LineResult::Done;
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(p, Py_ssize_t(n), "replace"));
    Ref chunk = decode_json(s, text.get());
    if (!chunk) return LineResult::Skip;
    if (PyDict_CheckExact(chunk.get())) {
        // A service that fails after the answer has begun says so in an
        // event of its own and ends the body: the answer is not complete.
        PyObject* error;
        check(PyDict_GetItemRef(chunk.get(), VELK_NAME("error"), &error));
        if (Ref owned = Ref::steal_or_null(error); owned && owned.get() != Py_None)
            raise_stream_error(g, s, owned.get());
    }
    try {
        *piece = chunk_content(chunk.get());
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(s.json_error.get())) throw;
        PyErr_Clear();
        return LineResult::Skip;
    }
    return *piece ? LineResult::Piece : LineResult::Skip;
}

// Runs the body to its next piece; an empty Ref when the stream has ended.
Ref advance(StreamObject* g, State& s) {
    if (!g->response) start(g, s);
    for (;;) {
        const char* line;
        size_t size;
        if (next_line(g, &line, &size)) {
            Ref piece;
            switch (handle_line(g, s, line, size, &piece)) {
                case LineResult::Piece: return piece;
                case LineResult::Done: return {};
                case LineResult::Skip: continue;
            }
        }
        if (g->cpp->eof) return {};
        fill(g, s);
    }
}

// Closes the response, which gives its connection back to the session's
// pool (a connection not read to its end is shut rather than reused).
void release(StreamObject* g) {
    Py_CLEAR(g->reader);
    Py_CLEAR(g->block);
    g->cpp->partial.clear();
    g->cpp->partial.shrink_to_fit();
    g->cpp->line.clear();
    g->cpp->line.shrink_to_fit();
    if (PyObject* resp = std::exchange(g->response, nullptr)) {
        Ref owned = Ref::steal(resp);
        call_method(owned.get(), VELK_NAME("close"));
    }
}

// Releases on a failure path: the pending error wins unless closing fails,
// in which case that error travels on with the first as its context.
void release_on_error(StreamObject* g) {
    SavedError pending;
    try {
        release(g);
    } catch (const PyError&) {
        PyObject* close_error = PyErr_GetRaisedException();
        PyException_SetContext(close_error, Py_NewRef(pending.get()));
        PyErr_SetRaisedException(close_error);
        return;
    }
    pending.restore();
}

bool enter(StreamObject* g, int* previous) {
    int s = g->cpp->state.load();
    for (;;) {
        if (s == kRunning) {
            PyErr_SetString(PyExc_ValueError, "generator already executing");
            return false;
        }
        if (s == kFinished) {
            *previous = s;
            return true;
        }
        if (g->cpp->state.compare_exchange_weak(s, kRunning)) {
            *previous = s;
            return true;
        }
    }
}

// One step: the next piece (new reference), or NULL with StopIteration set
// when raise_stop and the stream has ended, or NULL with no error when not.
PyObject* resume(PyObject* self, Ref thrown, bool raise_stop) {
    StreamObject* g = as_stream(self);
    State& s = state_of_type(Py_TYPE(self));
    int previous;
    if (!enter(g, &previous)) return nullptr;
    auto stop = [&]() -> PyObject* {
        if (raise_stop) PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    };
    if (previous == kFinished) {
        if (!thrown) return stop();
        PyErr_SetRaisedException(thrown.release());
        return nullptr;
    }
    try {
        if (thrown) {
            bool skipped = previous == kSuspended &&
                           check(PyObject_IsInstance(thrown.get(), s.json_error.get()));
            // Inside the body a decoding error between a chunk and its yield
            // only skips that chunk; anything else ends the body.
            if (!skipped) {
                if (previous == kSuspended &&
                    PyObject_TypeCheck(thrown.get(),
                                       reinterpret_cast<PyTypeObject*>(PyExc_StopIteration))) {
                    Ref err = Ref::steal(PyObject_CallFunction(
                        PyExc_RuntimeError, "s", "generator raised StopIteration"));
                    PyException_SetCause(err.get(), Ref(thrown).release());
                    PyException_SetContext(err.get(), thrown.release());
                    PyErr_SetRaisedException(err.release());
                } else {
                    PyErr_SetRaisedException(thrown.release());
                }
                throw_error();
            }
        }
        Ref piece = advance(g, s);
        if (piece) {
            g->cpp->state.store(kSuspended);
            return piece.release();
        }
        g->cpp->state.store(kFinished);
        release(g);
        return stop();
    } catch (const PyError&) {
        g->cpp->state.store(kFinished);
        release_on_error(g);
        return nullptr;
    } catch (const std::bad_alloc&) {
        g->cpp->state.store(kFinished);
        PyErr_NoMemory();
        release_on_error(g);
        return nullptr;
    }
}

PyObject* stream_iternext(PyObject* self) { return resume(self, {}, false); }

PyObject* stream_send(PyObject* self, PyObject* value) {
    if (value != Py_None && as_stream(self)->cpp->state.load() == kCreated) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    return resume(self, {}, true);
}

// throw(value) or the older throw(type[, value[, traceback]]).
PyObject* stream_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at %s, got %zd",
                     nargs < 1 ? "least 1 argument" : "most 3 arguments", nargs);
        return nullptr;
    }
    if (nargs > 1 &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, use the "
                     "single-arg signature instead.",
                     1) < 0)
        return nullptr;
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    Ref exc;
    if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Ref::borrow(typ);
    } else if (PyExceptionClass_Check(typ)) {
        int is_instance = val == Py_None ? 0 : PyObject_IsInstance(val, typ);
        if (is_instance < 0) return nullptr;
        if (is_instance)
            exc = Ref::borrow(val);
        else if (val == Py_None)
            exc = Ref::steal_or_null(PyObject_CallNoArgs(typ));
        else if (PyTuple_Check(val))
            exc = Ref::steal_or_null(PyObject_Call(typ, val, nullptr));
        else
            exc = Ref::steal_or_null(PyObject_CallOneArg(typ, val));
        if (!exc) return nullptr;
        if (!PyExceptionInstance_Check(exc.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         typ, Py_TYPE(exc.get())->tp_name);
            return nullptr;
        }
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb != Py_None && PyException_SetTraceback(exc.get(), tb) < 0) return nullptr;
    return resume(self, std::move(exc), true);
}

PyObject* stream_close(PyObject* self, PyObject*) {
    StreamObject* g = as_stream(self);
    int previous;
    if (!enter(g, &previous)) return nullptr;
    if (previous == kFinished) Py_RETURN_NONE;
    g->cpp->state.store(kFinished);
    try {
        release(g);
    } catch (const PyError&) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// An abandoned stream closes its response like an abandoned generator runs
// its cleanup.
void stream_finalize(PyObject* self) {
    StreamObject* g = as_stream(self);
    if (!g->cpp) return;
    int expected = kSuspended;
    if (!g->cpp->state.compare_exchange_strong(expected, kFinished)) {
        expected = kCreated;
        g->cpp->state.compare_exchange_strong(expected, kFinished);
        return;
    }
    SavedError pending;
    try {
        release(g);
    } catch (const PyError&) {
        PyErr_WriteUnraisable(self);
    }
    pending.restore();
}

int stream_traverse(PyObject* self, visitproc visit, void* arg) {
    StreamObject* g = as_stream(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(g->client);
    Py_VISIT(g->url);
    Py_VISIT(g->body);
    Py_VISIT(g->response);
    Py_VISIT(g->reader);
    Py_VISIT(g->block);
    return 0;
}

int stream_clear(PyObject* self) {
    StreamObject* g = as_stream(self);
    Py_CLEAR(g->client);
    Py_CLEAR(g->url);
    Py_CLEAR(g->body);
    Py_CLEAR(g->response);
    Py_CLEAR(g->reader);
    Py_CLEAR(g->block);
    return 0;
}

void stream_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    stream_clear(self);
    StreamObject* g = as_stream(self);
    delete g->cpp;
    g->cpp = nullptr;
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* stream_repr(PyObject* self) {
    return PyUnicode_FromFormat("<generator object Chat._stream_chat at %p>", self);
}

PyObject* stream_get_name(PyObject*, void*) { return PyUnicode_FromString("_stream_chat"); }
PyObject* stream_get_qualname(PyObject*, void*) {
    return PyUnicode_FromString("Chat._stream_chat");
}
PyObject* stream_get_running(PyObject* self, void*) {
    return PyBool_FromLong(as_stream(self)->cpp->state.load() == kRunning);
}
PyObject* stream_get_suspended(PyObject* self, void*) {
    return PyBool_FromLong(as_stream(self)->cpp->state.load() == kSuspended);
}

PyMethodDef stream_methods[] = {
    {"send", stream_send, METH_O,
     "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(stream_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next "
     "yielded value or raise\nStopIteration."},
    {"close", stream_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef stream_getset[] = {
    {"__name__", stream_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", stream_get_qualname, nullptr, nullptr, nullptr},
    {"gi_running", stream_get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", stream_get_suspended, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_finalize, reinterpret_cast<void*>(stream_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(stream_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(stream_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(stream_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(stream_iternext)},
    {Py_tp_methods, stream_methods},
    {Py_tp_getset, stream_getset},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    "velk_dev_kit.chat.generator",
    sizeof(StreamObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_MANAGED_WEAKREF,
    stream_slots,
};

Ref stream_chat(const Args& a) {
    State& s = a.state<State>();
    auto* tp = reinterpret_cast<PyTypeObject*>(s.stream_type.get());
    Ref obj = Ref::steal(tp->tp_alloc(tp, 0));
    StreamObject* g = as_stream(obj.get());
    g->cpp = new StreamCpp();
    g->client = Py_NewRef(a[0]);
    g->url = Py_NewRef(a[1]);
    g->body = Py_NewRef(a[2]);
    return obj;
}

// ---------------------------------------------------------------- definitions

constexpr Param error_init_params[] = {
    {"self"},
    {"message", "str", Check::Str},
    {"code", "Optional[str]", Check::Str, "None"},
    {"status_code", "Optional[int]", Check::Int, "None"},
};

constexpr FunctionSpec error_methods[] = {
    {"__init__",
     "__init__(self, message: str, code: Optional[str] = None, status_code: Optional[int] = None)",
     error_init_params, error_init},
};

constexpr Param chat_init_params[] = {
    {"self"},
    {"api_base", "Optional[str]", Check::Str, "None"},
    {"model", "str", Check::Str, "'qwen-turbo'"},
    {"system_prompt", "Optional[str]", Check::Str, "None"},
    {"timeout", "int", Check::Int, "60"},
};
constexpr Param self_only[] = {{"self"}};
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

constexpr FunctionSpec chat_methods[] = {
    {"__init__",
     "__init__(self, api_base: Optional[str] = None, model: str = 'qwen-turbo', "
     "system_prompt: Optional[str] = None, timeout: int = 60)",
     chat_init_params, chat_init},
    {"_fetch_config",
     "_fetch_config(self) -> None\n\n"
     "从 VELK API 获取并缓存 LLM 接口地址（llm_chat_url, llm_models_url）",
     self_only, fetch_config, "None"},
    {"_raise_error",
     "_raise_error(self, resp: requests.Response) -> None\n\n"
     "从响应体解析错误信息并抛出 ChatError，不暴露请求地址",
     raise_error_params, raise_error, "None"},
    {"chat",
     "chat(self, messages: List[Dict[str, Any]], model: Optional[str] = None, "
     "stream: bool = False, session_id: Optional[str] = None, "
     "temperature: Optional[float] = None, max_tokens: Optional[int] = None) "
     "-> Union[str, Iterator[str]]\n\n"
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
     chat_params, chat, "Union[str, Iterator[str]]"},
    {"_stream_chat",
     "_stream_chat(self, url: str, body: Dict[str, Any]) -> Iterator[str]\n\n"
     "流式请求，逐步 yield 内容片段",
     stream_chat_params, stream_chat, "Iterator[str]"},
    {"models",
     "models(self) -> List[str]\n\n"
     "获取可用模型列表\n\n"
     "Returns:\n"
     "    模型 ID 列表，如 ['qwen-turbo', 'qwen-plus', 'qwen-max']",
     self_only, models, "List[str]"},
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

void body(Module<State>& m) {
    State& s = m.state();
    s.os = m.import("os");
    s.json = m.import("json");
    s.requests = m.import("requests");
    for (const char* name : {"List", "Dict", "Any", "Optional", "Iterator", "Union"})
        m.import_from("typing", name);

    s.json_error = getattr(s.json.get(), "JSONDecodeError");
    s.scan_once = getattr(call(getattr(s.json.get(), "JSONDecoder").get()).get(), "scan_once");
    Ref requests_exceptions = import("requests.exceptions");
    PyObject* rx = requests_exceptions.get();
    s.request_exception = getattr(rx, "RequestException");
    s.requests_json_error = getattr(rx, "JSONDecodeError");
    s.guess_json_utf = import_from("requests.utils", "guess_json_utf");
    s.chunked_encoding_error = getattr(rx, "ChunkedEncodingError");
    s.content_decoding_error = getattr(rx, "ContentDecodingError");
    s.connection_error = getattr(rx, "ConnectionError");
    s.requests_ssl_error = getattr(rx, "SSLError");
    Ref urllib3_exceptions = import("urllib3.exceptions");
    PyObject* ux = urllib3_exceptions.get();
    s.protocol_error = getattr(ux, "ProtocolError");
    s.decode_error = getattr(ux, "DecodeError");
    s.read_timeout_error = getattr(ux, "ReadTimeoutError");
    s.ssl_error = getattr(ux, "SSLError");
    s.urllib3_response = import_from("urllib3.response", "HTTPResponse");

    s.kw_params_timeout = names({"params", "timeout"});
    s.kw_json_timeout = names({"json", "timeout"});
    s.kw_json_stream_timeout = names({"json", "stream", "timeout"});
    s.kw_timeout = names({"timeout"});
    s.kw_decode_content = names({"decode_content"});
    s.kw_chunk_size = names({"chunk_size"});
    s.kw_ensure_ascii = names({"ensure_ascii"});
    s.kw_error = names({"message", "code", "status_code"});
    s.read_size = from_long(kReadSize);

    Ref bases = Ref::steal(PyTuple_Pack(1, PyExc_Exception));
    s.chat_error = m.make_class("ChatError", "LLM 聊天接口错误", error_methods, bases.get());
    m.add("ChatError", s.chat_error);
    s.chat = m.make_class("Chat", chat_doc, chat_methods);
    m.add("Chat", s.chat);

    s.stream_type = Ref::steal(PyType_FromModuleAndSpec(m.get(), &stream_spec, nullptr));
    Ref generator_abc = import_from("collections.abc", "Generator");
    call_method(generator_abc.get(), VELK_NAME("register"), s.stream_type.get());
}

}  // namespace

VELK_MODULE(chat, State, body, module_doc)
