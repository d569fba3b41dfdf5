// velk_dev_kit.panel_link: a ROS 2 node bound to one browser control panel
// over a WebSocket, with its own reconnecting connection thread.
#include <algorithm>
#include <chrono>
#include <initializer_list>
#include <utility>

#include "velk/core.hpp"

namespace {

using namespace velk;

struct State {
    Ref cls;       // PanelLink, for super()
    Ref socket;    // for shutting a stuck connection down
    Ref watchdog;  // ends a connection attempt that outlives destroy_node
    Ref live;      // weak set of the links whose connection thread was started
    template <class F>
    void visit(F&& f) {
        f(cls);
        f(socket);
        f(watchdog);
        f(live);
    }
};

// One entry per log statement; see Module::define_log_sites.
enum Site : size_t {
    kStarted,
    kConnected,
    kDisconnected,
    kHandlerError,
    kFrameDecodeError,
    kFrameError,
    kAttemptError,
    kReconnecting,
    kTopicDecodeError,
    kCallbackError,
};

constexpr LogSite log_sites[] = {
    {"info"}, {"info"}, {"info"},  {"warn", ", throttle_duration_sec=5"},
    {"error"}, {"error"}, {"error"}, {"info"},
    {"error"}, {"error"},
};

// Seconds between two checks of a connection attempt that must end.
constexpr double kWatchdogTick = 0.05;
// Seconds that interpreter exit waits, in all, for connection threads to end.
constexpr double kExitWait = 2.0;

// super(PanelLink, self)
Ref super_of(const Args& a, PyObject* self) {
    return call(reinterpret_cast<PyObject*>(&PySuper_Type), a.state<State>().cls.get(), self);
}

void log_line(const Args& a, size_t site, PyObject* self, const Ref& text) {
    log<State>(a, site, self, text.get());
}

// Logs the pending exception as "{prefix}{e}" and clears it.
void log_exception(const Args& a, size_t site, PyObject* self, const char* prefix) {
    SavedError e;
    log_line(a, site, self, Ref::steal(PyUnicode_FromFormat("%s%S", prefix, e.get())));
}

// with self._ws_lock: self._ws_connected = value
void set_connected(PyObject* self, bool value) {
    Ref lock = getattr(self, VELK_NAME("_ws_lock"));
    call_method(lock.get(), VELK_NAME("acquire"));
    int rc = PyObject_SetAttr(self, VELK_NAME("_ws_connected"), value ? Py_True : Py_False);
    SavedError failure;
    call_method(lock.get(), VELK_NAME("release"));
    if (rc < 0) {
        failure.restore();
        throw_error();
    }
}

Ref event_call(PyObject* self, PyObject* attribute, PyObject* method) {
    Ref event = getattr(self, attribute);
    return call_method(event.get(), method);
}

bool stop_requested(PyObject* self) {
    return is_true(event_call(self, VELK_NAME("_stop_event"), VELK_NAME("is_set")).get());
}

Ref env(const Args& a, const char* name, const char* fallback) {
    Ref os = module_global(a, VELK_NAME("os"));
    Ref getenv = getattr(os.get(), VELK_NAME("getenv"));
    return call(getenv.get(), str(name).get(), str(fallback).get());
}

Ref destroy_node(const Args& a);

enum class Built { Nothing, Node, Thread };

void construct(const Args& a, Built& built) {
    PyObject *self = a[0], *remote_id = a[1], *callback = a[2];
    Ref ns = env(a, "VELK_REMOTE_NS", "default");
    setattr(self, VELK_NAME("ns"), ns.get());

    Ref prefix = Ref::steal(PyUnicode_Substring(remote_id, 0, 8));
    Ref node_name = Ref::steal(PyUnicode_FromFormat("panel_link_%U", prefix.get()));
    Ref base = super_of(a, self);
    Ref base_init = getattr(base.get(), VELK_NAME("__init__"));
    Ref ns_now = getattr(self, VELK_NAME("ns"));
    call_kw(base_init.get(), {node_name.get()}, {{VELK_NAME("namespace"), ns_now.get()}});
    built = Built::Node;

    setattr(self, VELK_NAME("remote_id"), remote_id);
    setattr(self, VELK_NAME("callback"), callback);

    Ref topic = Ref::steal(PyUnicode_FromFormat("_panel_link/%U", remote_id));
    Ref depth = from_long(10);
    Ref string_type = module_global(a, VELK_NAME("String"));
    Ref publisher = call_method(self, VELK_NAME("create_publisher"), string_type.get(),
                                topic.get(), depth.get());
    setattr(self, VELK_NAME("publisher"), publisher.get());
    Ref on_message = getattr(self, VELK_NAME("_on_message"));
    call_method(self, VELK_NAME("create_subscription"), string_type.get(), topic.get(),
                on_message.get(), depth.get());

    setattr(self, VELK_NAME("_last_data"), Py_None);
    setattr(self, VELK_NAME("_ws"), Py_None);
    setattr(self, VELK_NAME("_ws_connected"), Py_False);

    Ref threading = module_global(a, VELK_NAME("threading"));
    Ref lock = call(getattr(threading.get(), VELK_NAME("Lock")).get());
    setattr(self, VELK_NAME("_ws_lock"), lock.get());
    Ref event_type = getattr(threading.get(), VELK_NAME("Event"));
    setattr(self, VELK_NAME("_ws_ready"), call(event_type.get()).get());
    setattr(self, VELK_NAME("_stop_event"), call(event_type.get()).get());

    Ref url_template = env(a, "VELK_REMOTE_WS_URL", "");
    if (!is_true(url_template.get())) {
        PyErr_SetString(PyExc_ValueError, "ws_url is required (or set VELK_REMOTE_WS_URL)");
        throw_error();
    }
    Ref placeholder = str("{remote_id}");
    Ref url = Ref::steal(PyUnicode_Replace(url_template.get(), placeholder.get(), remote_id, -1));
    setattr(self, VELK_NAME("_ws_url"),
            Ref::steal(PyUnicode_FromFormat("%U&role=container", url.get())).get());

    Ref thread_type = getattr(threading.get(), VELK_NAME("Thread"));
    Ref loop = getattr(self, VELK_NAME("_ws_loop"));
    Ref thread = call_kw(thread_type.get(), {},
                         {{VELK_NAME("target"), loop.get()}, {VELK_NAME("daemon"), Py_True}});
    setattr(self, VELK_NAME("_ws_thread"), thread.get());
    call_method(thread.get(), VELK_NAME("start"));
    built = Built::Thread;
    call_method(a.state<State>().live.get(), VELK_NAME("add"), self);

    Ref ns_text = getattr(self, VELK_NAME("ns"));
    log_line(a, kStarted, self,
             Ref::steal(PyUnicode_FromFormat("PanelLink started: /%S/_panel_link/%U",
                                             ns_text.get(), remote_id)));
}

Ref init(const Args& a) {
    Built built = Built::Nothing;
    try {
        construct(a, built);
    } catch (const PyError&) {
        if (built == Built::Nothing) throw;
        // The caller never gets the object, so a node left standing here (with
        // its topic in the ROS graph, perhaps a running thread) could never
        // be destroyed.
        SavedError failure;
        try {
            if (built == Built::Thread) {
                destroy_node(a);
            } else {
                Ref base_destroy = getattr(super_of(a, a[0]).get(), VELK_NAME("destroy_node"));
                call(base_destroy.get());
            }
        } catch (const PyError&) {
            PyErr_WriteUnraisable(a[0]);
        }
        failure.restore();
        throw;
    }
    return none();
}

// obj.sock when it is set: the WebSocket object of an app, or the network
// socket of a WebSocket object. The library replaces and clears both as it
// goes, so each is read once and used from the local reference.
Ref sock_of(PyObject* obj) {
    if (!obj || obj == Py_None) return {};
    PyObject* sock;
    if (PyObject_GetOptionalAttr(obj, VELK_NAME("sock"), &sock) < 0) {
        if (!pending_is_exception()) throw_error();
        PyErr_Clear();
        return {};
    }
    Ref s = Ref::steal_or_null(sock);
    if (s.get() == Py_None) return {};
    return s;
}

// The WebSocket object of the attempt that the connection thread is serving,
// noted by the open handler. After a close started by the peer the library
// drops its reference without closing the socket, which then stays open
// until a garbage collection; the loop closes it when the attempt ends.
thread_local Ref* opened_connection = nullptr;

void release_connection(Ref& conn) {
    if (!conn) return;
    Ref c = std::move(conn);
    Ref done = Ref::steal_or_null(PyObject_CallMethodNoArgs(c.get(), VELK_NAME("shutdown")));
    if (!done) {
        if (!pending_is_exception()) throw_error();
        PyErr_Clear();
    }
}

// One connection attempt: a new WebSocketApp, served until it ends.
void attempt(const Args& a, PyObject* self) {
    Ref ws_client = module_global(a, VELK_NAME("ws_client"));
    Ref app_type = getattr(ws_client.get(), VELK_NAME("WebSocketApp"));
    Ref url = getattr(self, VELK_NAME("_ws_url"));
    Ref on_message = getattr(self, VELK_NAME("_ws_on_message"));
    Ref on_error = getattr(self, VELK_NAME("_ws_on_error"));
    Ref on_close = getattr(self, VELK_NAME("_ws_on_close"));
    Ref on_open = getattr(self, VELK_NAME("_ws_on_open"));
    Ref app = call_kw(app_type.get(), {url.get()},
                      {{VELK_NAME("on_message"), on_message.get()},
                       {VELK_NAME("on_error"), on_error.get()},
                       {VELK_NAME("on_close"), on_close.get()},
                       {VELK_NAME("on_open"), on_open.get()}});
    setattr(self, VELK_NAME("_ws"), app.get());
    // Published before the check: a destroy_node that the check misses finds
    // this app in _ws and closes it.
    if (stop_requested(self)) return;
    call_method(app.get(), VELK_NAME("run_forever"));
}

Ref ws_loop(const Args& a) {
    PyObject* self = a[0];
    Ref conn;
    struct Noting {
        explicit Noting(Ref* r) { opened_connection = r; }
        ~Noting() { opened_connection = nullptr; }
    } noting(&conn);
    for (;;) {
        if (stop_requested(self)) return none();
        try {
            attempt(a, self);
        } catch (const PyError&) {
            if (!pending_is_exception()) throw;
            log_exception(a, kAttemptError, self, "WebSocket error: ");
        }
        release_connection(conn);
        set_connected(self, false);
        event_call(self, VELK_NAME("_ws_ready"), VELK_NAME("clear"));
        if (stop_requested(self)) return none();
        Ref interval = module_global(a, VELK_NAME("_WS_RECONNECT_INTERVAL"));
        log_line(a, kReconnecting, self,
                 Ref::steal(PyUnicode_FromFormat("WebSocket reconnecting in %Ss...",
                                                 interval.get())));
        Ref stop = getattr(self, VELK_NAME("_stop_event"));
        call_method(stop.get(), VELK_NAME("wait"), interval.get());
    }
}

Ref ws_on_open(const Args& a) {
    PyObject* self = a[0];
    if (opened_connection) *opened_connection = sock_of(a[1]);
    set_connected(self, true);
    event_call(self, VELK_NAME("_ws_ready"), VELK_NAME("set"));
    log_line(a, kConnected, self, str("WebSocket connected"));
    return none();
}

Ref json_loads(const Args& a, PyObject* text) {
    Ref json = module_global(a, VELK_NAME("json"));
    return call_method(json.get(), VELK_NAME("loads"), text);
}

bool pending_is_decode_error(const Args& a) {
    SavedError e;
    Ref json = module_global(a, VELK_NAME("json"));
    Ref decode_error = getattr(json.get(), VELK_NAME("JSONDecodeError"));
    bool match = PyObject_IsInstance(e.get(), decode_error.get()) == 1;
    e.restore();
    return match;
}

Ref ws_on_message(const Args& a) {
    PyObject *self = a[0], *message = a[2];
    size_t site = kFrameDecodeError;
    try {
        Ref data = json_loads(a, message);
        site = kFrameError;
        Ref msg = call_kw(module_global(a, VELK_NAME("String")).get(), {},
                          {{VELK_NAME("data"), message}});
        Ref publisher = getattr(self, VELK_NAME("publisher"));
        call_method(publisher.get(), VELK_NAME("publish"), msg.get());
        setattr(self, VELK_NAME("_last_data"), data.get());
    } catch (const PyError&) {
        if (!pending_is_exception()) throw;
        if (site == kFrameDecodeError && !pending_is_decode_error(a)) site = kFrameError;
        log_exception(a, site, self,
                      site == kFrameError ? "WS message error: " : "JSON decode error: ");
    }
    return none();
}

Ref ws_on_error(const Args& a) {
    log_line(a, kHandlerError, a[0],
             Ref::steal(PyUnicode_FromFormat("WebSocket error: %S", a[2])));
    return none();
}

Ref ws_on_close(const Args& a) {
    PyObject* self = a[0];
    set_connected(self, false);
    log_line(a, kDisconnected, self, str("WebSocket disconnected"));
    return none();
}

// raise RuntimeError(f"{prefix}{cause}") from cause
[[noreturn]] void raise_chained(const char* prefix, PyObject* cause) {
    Ref text = Ref::steal(PyUnicode_FromFormat("%s%S", prefix, cause));
    Ref error = call(PyExc_RuntimeError, text.get());
    PyException_SetContext(error.get(), Py_NewRef(cause));
    PyException_SetCause(error.get(), Py_NewRef(cause));
    PyErr_SetRaisedException(error.release());
    throw_error();
}

Ref send(const Args& a) {
    PyObject *self = a[0], *control_id = a[1], *value = a[2], *timeout = a[3];
    // Event.wait cannot take a time-out beyond the lock's limit (infinity
    // included); such a wait is a wait without limit.
    Ref threading = module_global(a, VELK_NAME("threading"));
    Ref limit = getattr(threading.get(), VELK_NAME("TIMEOUT_MAX"));
    int unlimited = PyObject_RichCompareBool(timeout, limit.get(), Py_GT);
    if (unlimited < 0) throw_error();
    Ref ready = getattr(self, VELK_NAME("_ws_ready"));
    Ref is_ready = call_method(ready.get(), VELK_NAME("wait"), unlimited ? Py_None : timeout);
    if (!is_true(is_ready.get())) {
        PyErr_Format(PyExc_RuntimeError, "WebSocket not connected after %Ss", timeout);
        throw_error();
    }
    Ref text;
    try {
        Ref inner = Ref::steal(PyDict_New());
        check(PyDict_SetItem(inner.get(), VELK_NAME("value"), value));
        Ref outer = Ref::steal(PyDict_New());
        check(PyDict_SetItem(outer.get(), control_id, inner.get()));
        Ref json = module_global(a, VELK_NAME("json"));
        text = call_method(json.get(), VELK_NAME("dumps"), outer.get());
    } catch (const PyError&) {
        // A value the encoder refuses says nothing about the link.
        if (!pending_is_exception()) throw;
        SavedError e;
        raise_chained("Send failed: ", e.get());
    }
    try {
        Ref ws = getattr(self, VELK_NAME("_ws"));
        call_method(ws.get(), VELK_NAME("send"), text.get());
    } catch (const PyError&) {
        if (!pending_is_exception()) throw;
        SavedError e;
        set_connected(self, false);
        raise_chained("Send failed: ", e.get());
    }
    return none();
}

Ref on_message(const Args& a) {
    PyObject *self = a[0], *msg = a[1];
    size_t site = kCallbackError;
    try {
        Ref text = getattr(msg, VELK_NAME("data"));
        site = kTopicDecodeError;
        Ref data = json_loads(a, text.get());
        site = kCallbackError;
        Ref callback = getattr(self, VELK_NAME("callback"));
        call(callback.get(), data.get());
    } catch (const PyError&) {
        if (!pending_is_exception()) throw;
        if (site == kTopicDecodeError && !pending_is_decode_error(a)) site = kCallbackError;
        log_exception(a, site, self,
                      site == kCallbackError ? "Callback error: " : "JSON decode error: ");
    }
    return none();
}

Ref get_latest(const Args& a) {
    Ref data = getattr(a[0], VELK_NAME("_last_data"));
    if (is_true(data.get())) return data;
    return Ref::steal(PyDict_New());
}

// Runs `method` on a socket, ignoring the errors of a socket that is already
// shut down or closed.
void socket_call(PyObject* sock, PyObject* method, PyObject* arg = nullptr) {
    Ref done = Ref::steal_or_null(arg ? PyObject_CallMethodOneArg(sock, method, arg)
                                      : PyObject_CallMethodNoArgs(sock, method));
    if (done) return;
    if (!pending_is_exception()) throw_error();
    PyErr_Clear();
}

void shut_down(const Args& a, PyObject* sock) {
    Ref how = getattr(a.state<State>().socket.get(), VELK_NAME("SHUT_RDWR"));
    socket_call(sock, VELK_NAME("shutdown"), how.get());
}

// Shuts down the network socket under each WebSocket object in `seen`, so a
// handshake or read blocked on it returns at once.
void shut_down_all(const Args& a, PyObject* seen) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seen); ++i) {
        Ref conn = Ref::borrow(PyList_GET_ITEM(seen, i));
        if (Ref raw = sock_of(conn.get())) shut_down(a, raw.get());
    }
}

void remember(PyObject* seen, const Ref& conn) {
    if (!conn) return;
    int found = PySequence_Contains(seen, conn.get());
    if (found < 0) throw_error();
    if (!found) check(PyList_Append(seen, conn.get()));
}

void close_all(PyObject* sockets) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sockets); ++i)
        socket_call(PyList_GET_ITEM(sockets, i), VELK_NAME("close"));
}

// Sets the stop event and ends the current attempt. close()'s failure, if
// any, is handed back in `close_error`.
struct Stopping {
    Ref seen;     // WebSocket objects of the attempt
    Ref keepers;  // duplicates of their sockets, released by watch()
    Ref close_error;
};

// A plain socket on a duplicate of the descriptor of `raw` (TLS sockets
// refuse dup()); null when the socket is already closed.
Ref duplicate(const Args& a, PyObject* raw) {
    try {
        Ref fd = call_method(raw, VELK_NAME("fileno"));
        Ref family = getattr(raw, VELK_NAME("family"));
        Ref type = getattr(raw, VELK_NAME("type"));
        return call_method(a.state<State>().socket.get(), VELK_NAME("fromfd"), fd.get(),
                           family.get(), type.get());
    } catch (const PyError&) {
        if (!pending_is_exception()) throw;
        PyErr_Clear();
        return {};
    }
}

Stopping stop_connection(const Args& a, PyObject* self) {
    event_call(self, VELK_NAME("_stop_event"), VELK_NAME("set"));
    Ref app = getattr(self, VELK_NAME("_ws"));
    Stopping st{Ref::steal(PyList_New(0)), Ref::steal(PyList_New(0)), {}};

    // close() forgets the connection while a handshake may still be blocked
    // on it, so it is taken first.
    remember(st.seen.get(), sock_of(app.get()));
    // close() shuts the socket down and closes it at once; if the descriptor
    // is gone before the connection thread collects the wake-up, its poll
    // drops the event and sleeps out its full time-out. A duplicate keeps the
    // socket registered there until the thread has left.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(st.seen.get()); ++i) {
        Ref raw = sock_of(PyList_GET_ITEM(st.seen.get(), i));
        if (!raw) continue;
        Ref dup = duplicate(a, raw.get());
        if (dup) check(PyList_Append(st.keepers.get(), dup.get()));
    }

    if (app.get() != Py_None) {
        Ref closed = Ref::steal_or_null(PyObject_CallMethodNoArgs(app.get(), VELK_NAME("close")));
        if (!closed) st.close_error = Ref::steal_or_null(PyErr_GetRaisedException());
    }
    shut_down_all(a, st.seen.get());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(st.keepers.get()); ++i)
        shut_down(a, PyList_GET_ITEM(st.keepers.get(), i));
    return st;
}

Ref connection_thread(PyObject* self) {
    Ref thread = Ref::steal_or_null(PyObject_GetAttr(self, VELK_NAME("_ws_thread")));
    if (!thread) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        return {};
    }
    if (!is_true(call_method(thread.get(), VELK_NAME("is_alive")).get())) return {};
    return thread;
}

// Waits while the connection thread lives (up to `limit` seconds, when
// given): an attempt that started while the stop was under way may have
// missed the close, so its socket is shut down as soon as it exists. Then
// releases the duplicates of stop_connection.
void watch(const Args& a, PyObject* self, PyObject* seen, PyObject* keepers, double limit) {
    try {
        Ref thread = connection_thread(self);
        Ref tick = from_double(kWatchdogTick);
        for (double waited = 0; thread && (limit < 0 || waited < limit); waited += kWatchdogTick) {
            call_method(thread.get(), VELK_NAME("join"), tick.get());
            if (!is_true(call_method(thread.get(), VELK_NAME("is_alive")).get())) break;
            Ref app = getattr(self, VELK_NAME("_ws"));
            remember(seen, sock_of(app.get()));
            shut_down_all(a, seen);
        }
    } catch (const PyError&) {
        SavedError e;
        close_all(keepers);
        e.restore();
        throw;
    }
    close_all(keepers);
}

// Target of the thread that destroy_node leaves behind.
Ref watchdog(const Args& a) {
    watch(a, a[0], a[1], a[2], -1);
    return none();
}

Ref destroy_node(const Args& a) {
    PyObject* self = a[0];
    Stopping st = stop_connection(a, self);
    if (connection_thread(self)) {
        Ref threading = module_global(a, VELK_NAME("threading"));
        Ref thread_type = getattr(threading.get(), VELK_NAME("Thread"));
        Ref args = Ref::steal(PyTuple_Pack(3, self, st.seen.get(), st.keepers.get()));
        Ref guard = call_kw(thread_type.get(), {},
                            {{VELK_NAME("target"), a.state<State>().watchdog.get()},
                             {VELK_NAME("args"), args.get()},
                             {VELK_NAME("daemon"), Py_True}});
        call_method(guard.get(), VELK_NAME("start"));
    } else {
        close_all(st.keepers.get());
    }
    if (st.close_error) {
        PyErr_SetRaisedException(st.close_error.release());
        throw_error();
    }
    Ref base_destroy = getattr(super_of(a, self).get(), VELK_NAME("destroy_node"));
    call(base_destroy.get());
    return none();
}

// At interpreter exit: ends the connections of the links still alive, so no
// connection thread is left inside this module (or holding a panel
// connection) while the interpreter finalises.
Ref stop_all(const Args& a) {
    Ref links = Ref::steal(PySequence_List(a.state<State>().live.get()));
    Ref stops = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(links.get()); ++i) {
        PyObject* link = PyList_GET_ITEM(links.get(), i);
        try {
            Stopping st = stop_connection(a, link);
            Ref entry = Ref::steal(PyTuple_Pack(3, link, st.seen.get(), st.keepers.get()));
            check(PyList_Append(stops.get(), entry.get()));
        } catch (const PyError&) {
            PyErr_WriteUnraisable(link);
        }
    }
    const auto start = std::chrono::steady_clock::now();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(stops.get()); ++i) {
        PyObject* entry = PyList_GET_ITEM(stops.get(), i);
        std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
        try {
            watch(a, PyTuple_GET_ITEM(entry, 0), PyTuple_GET_ITEM(entry, 1),
                  PyTuple_GET_ITEM(entry, 2), std::max(0.0, kExitWait - spent.count()));
        } catch (const PyError&) {
            PyErr_WriteUnraisable(PyTuple_GET_ITEM(entry, 0));
        }
    }
    return none();
}

constexpr Param init_params[] = {{"self"},
                                 {"remote_id", "str", Check::Str},
                                 {"callback", "Callable[[Dict[str, Any]], None]"}};
constexpr Param self_only[] = {{"self"}};
constexpr Param ws_params[] = {{"self"}, {"ws"}};
constexpr Param ws_message_params[] = {{"self"}, {"ws"}, {"message"}};
constexpr Param ws_error_params[] = {{"self"}, {"ws"}, {"error"}};
constexpr Param ws_close_params[] = {{"self"}, {"ws"}, {"close_status_code"}, {"close_msg"}};
constexpr Param send_params[] = {{"self"},
                                 {"control_id", "str", Check::Str},
                                 {"value", "Any"},
                                 {"timeout", "float", Check::Float, "5.0"}};
constexpr Param msg_params[] = {{"self"}, {"msg", "String"}};
constexpr Param watchdog_params[] = {{"node"}, {"seen"}, {"keepers"}};

constexpr FunctionSpec methods[] = {
    {"__init__", nullptr, init_params, init},
    {"_ws_loop", "WebSocket 连接循环，断线自动重连", self_only, ws_loop},
    {"_ws_on_open", nullptr, ws_params, ws_on_open},
    {"_ws_on_message", "WebSocket 收到消息", ws_message_params, ws_on_message},
    {"_ws_on_error", nullptr, ws_error_params, ws_on_error},
    {"_ws_on_close", nullptr, ws_close_params, ws_on_close},
    {"send",
     "通过 WebSocket 发送数据到 H5 控制面板的指定控件\n"
     "\n"
     "首次调用时会自动等待连接就绪，超时后抛出异常。\n"
     "\n"
     "Args:\n"
     "    control_id: 控件 ID，如 \"chat-1\"\n"
     "    value: 要发送的值\n"
     "    timeout: 等待连接超时时间（秒），默认 5s\n"
     "\n"
     "Raises:\n"
     "    RuntimeError: 连接超时或发送失败\n"
     "\n"
     "Example:\n"
     "    >>> rc.send(\"chat-1\", \"收到，正在执行\")",
     send_params, send},
    {"_on_message", "接收 ROS2 topic 消息并调用回调", msg_params, on_message},
    {"get_latest",
     "获取最新的控制数据（非阻塞）\n"
     "\n"
     "Returns:\n"
     "    最新的控制数据，如果没有数据则返回空字典",
     self_only, get_latest, "Dict[str, Any]", Check::Dict},
    {"destroy_node", "清理资源", self_only, destroy_node},
};

constexpr FunctionSpec watchdog_def = {"_ws_watchdog", nullptr, watchdog_params, watchdog};
constexpr FunctionSpec stop_all_def = {"_stop_all_links", nullptr, std::span<const Param>(),
                                        stop_all};

constexpr const char class_doc[] =
    "控制面板数据获取器\n"
    "\n"
    "通过 WebSocket 实现双向低延迟通信，自动重连。\n"
    "\n"
    "Args:\n"
    "    remote_id: 控制面板 ID\n"
    "    callback: 数据回调函数，接收 dict 类型的控制数据\n"
    "\n"
    "Example:\n"
    "    >>> rc = PanelLink(remote_id=\"abc123\", callback=on_control)";

constexpr const char module_doc[] =
    "\n"
    "控制面板数据获取器\n"
    "\n"
    "通过 WebSocket 获取 H5 控制面板的实时数据，并通过回调函数传递给开发者。\n"
    "支持双向通信：可通过 send() 向 H5 控制面板发送数据。\n"
    "\n"
    "环境变量:\n"
    "    VELK_REMOTE_WS_URL: WebSocket 地址（必需，支持 {remote_id} 占位符）\n"
    "    VELK_REMOTE_NS: 命名空间（可选，默认 'default'）\n"
    "\n"
    "用法:\n"
    "    import rclpy\n"
    "    from velk_dev_kit import PanelLink\n"
    "    def on_control(data):\n"
    "        # data: {'btn-forward': {'value': 'down'}, 'slider-speed': {'value': 50}, ...}\n"
    "        if data.get('btn-forward', {}).get('value') == 'down':\n"
    "            print(\"前进按钮按下!\")\n"
    "    rclpy.init()\n"
    "    rc = PanelLink(remote_id=\"your_panel_id\", callback=on_control)\n"
    "    rclpy.spin(rc)\n"
    "\n"
    "双向通信:\n"
    "    rc.send(\"chat-1\", \"收到，正在执行\")\n"
    "\n"
    "多个控制面板:\n"
    "    from rclpy.executors import MultiThreadedExecutor\n"
    "    rc1 = PanelLink(remote_id=\"panel_1\", callback=on_robot1)\n"
    "    rc2 = PanelLink(remote_id=\"panel_2\", callback=on_robot2)\n"
    "    executor = MultiThreadedExecutor()\n"
    "    executor.add_node(rc1)\n"
    "    executor.add_node(rc2)\n"
    "    executor.spin()\n";

void body(Module<State>& m) {
    State& s = m.state();
    m.import("os");
    m.import("json");
    m.import("threading");
    m.import("websocket", "ws_client");
    m.import("rclpy");
    Ref node = m.import_from("rclpy.node", "Node");
    m.import_from("std_msgs.msg", "String");
    for (const char* name : {"Any", "Callable", "Dict", "Optional"}) m.import_from("typing", name);
    m.add("_WS_RECONNECT_INTERVAL", from_long(3));
    s.socket = import("socket");
    m.define_log_sites(log_sites);
    s.watchdog = m.function(watchdog_def);
    s.live = call(import_from("weakref", "WeakSet").get());
    call(import_from("atexit", "register").get(), m.function(stop_all_def).get());
    Ref bases = Ref::steal(PyTuple_Pack(1, node.get()));
    s.cls = m.make_class("PanelLink", class_doc, methods, bases.get());
    m.add("PanelLink", s.cls);
}

}  // namespace

VELK_MODULE(panel_link, State, body, module_doc)
