// velk_dev_kit.panel_link: a ROS 2 node bound to one browser control panel
// over a WebSocket, with its own reconnecting connection thread.
#include <initializer_list>
#include <utility>

#include "velk/core.hpp"

namespace {

using namespace velk;

struct State {
    Ref cls;       // PanelLink, for super()
    Ref socket;    // for shutting a connection down
    auto refs() { return std::tie(cls, socket); }
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
    kSiteCount,
};

constexpr LogSite log_sites[] = {
    {kStarted, "info"},
    {kConnected, "info"},
    {kDisconnected, "info"},
    {kHandlerError, "warn", ", throttle_duration_sec=5"},
    {kFrameDecodeError, "error"},
    {kFrameError, "error"},
    {kAttemptError, "error"},
    {kReconnecting, "info"},
    {kTopicDecodeError, "error"},
    {kCallbackError, "error"},
};
static_assert(numbered(log_sites, kSiteCount), "one log site per Site, in order");

// How often, and how long in all, destroy_node looks for the socket of a
// connection that is still being opened.
constexpr double kConnectTick = 0.002;
constexpr double kConnectWait = 1.0;

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
    setattr(self, VELK_NAME("_ws_conn"), Py_None);
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

// Calls obj.method(*args), ignoring the errors of a connection or socket that
// is already shut down or closed.
template <class... A>
void quietly(PyObject* obj, PyObject* method, A... args) {
    try {
        call_method(obj, method, args...);
    } catch (const PyError&) {
        if (!pending_is_exception()) throw;
        PyErr_Clear();
    }
}

// The WebSocket object of the attempt under way, kept in `_ws_conn`. The
// connection thread alone closes it, once its attempt is over: app.close()
// drops the app's reference to it (a connection nobody holds stays open until
// a garbage collection), and a descriptor closed under another thread's poll
// can leave that thread asleep for good.
void close_connection(PyObject* self) {
    Ref conn = getattr(self, VELK_NAME("_ws_conn"));
    setattr(self, VELK_NAME("_ws_conn"), Py_None);
    if (conn.get() != Py_None) quietly(conn.get(), VELK_NAME("shutdown"));
}

// The app's handshake-header callable: the library calls it on the connection
// thread once it has made the attempt's WebSocket object and before it opens
// the connection. Noting the object there, then testing the stop event,
// pairs with destroy_node, which sets the event, then reads the note: either
// the attempt stops here, or destroy_node finds its connection.
Ref note_connection(const Args& a) {
    PyObject* self = a.data;
    Ref app = getattr(self, VELK_NAME("_ws"));
    Ref conn = sock_of(app.get());
    setattr(self, VELK_NAME("_ws_conn"), conn ? conn.get() : Py_None);
    if (stop_requested(self)) {
        PyErr_SetString(PyExc_ConnectionAbortedError, "PanelLink destroyed");
        throw_error();
    }
    return Ref::steal(PyList_New(0));  // no headers
}

constexpr FunctionSpec note_connection_def = {"_ws_note_connection", nullptr, {},
                                              note_connection};

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
    Ref note = bound_function<State>(a, note_connection_def, self);
    setattr(app.get(), VELK_NAME("header"), note.get());
    setattr(self, VELK_NAME("_ws"), app.get());
    if (stop_requested(self)) return;
    call_method(app.get(), VELK_NAME("run_forever"));
}

Ref ws_loop(const Args& a) {
    PyObject* self = a[0];
    for (;;) {
        if (stop_requested(self)) return none();
        try {
            attempt(a, self);
        } catch (const PyError&) {
            if (!pending_is_exception()) throw;
            log_exception(a, kAttemptError, self, "WebSocket error: ");
        }
        close_connection(self);
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
    // Tearing a link down breaks its connection on purpose.
    if (stop_requested(a[0])) return none();
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

// Waits (a little) for the connection of `conn` to exist, then shuts it
// down, which wakes every wait on it: a TCP connection still being opened
// has no socket to shut down yet.
void shut_down(const Args& a, PyObject* self, PyObject* conn) {
    Ref thread = getattr(self, VELK_NAME("_ws_thread"));
    Ref tick = from_double(kConnectTick);
    Ref raw = sock_of(conn);
    for (double waited = 0; !raw && waited < kConnectWait; waited += kConnectTick) {
        call_method(thread.get(), VELK_NAME("join"), tick.get());
        if (!is_true(call_method(thread.get(), VELK_NAME("is_alive")).get())) return;
        raw = sock_of(conn);
    }
    if (!raw) return;
    Ref how = getattr(a.state<State>().socket.get(), VELK_NAME("SHUT_RDWR"));
    quietly(raw.get(), VELK_NAME("shutdown"), how.get());
}

Ref destroy_node(const Args& a) {
    PyObject* self = a[0];
    event_call(self, VELK_NAME("_stop_event"), VELK_NAME("set"));
    Ref conn = getattr(self, VELK_NAME("_ws_conn"));
    Ref app = getattr(self, VELK_NAME("_ws"));
    if (conn.get() != Py_None) {
        // Taken from the app first, so close() below cannot close it under
        // the connection thread; the close frame is sent here instead.
        if (sock_of(app.get()).get() == conn.get()) setattr(app.get(), VELK_NAME("sock"), Py_None);
        if (is_true(getattr(conn.get(), VELK_NAME("connected")).get()))
            quietly(conn.get(), VELK_NAME("send_close"));
        shut_down(a, self, conn.get());
    }
    if (app.get() != Py_None) call_method(app.get(), VELK_NAME("close"));
    Ref base_destroy = getattr(super_of(a, self).get(), VELK_NAME("destroy_node"));
    call(base_destroy.get());
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
    Ref bases = Ref::steal(PyTuple_Pack(1, node.get()));
    s.cls = m.make_class("PanelLink", class_doc, methods, bases.get());
    m.add("PanelLink", s.cls);
}

}  // namespace

VELK_MODULE(panel_link, State, body, module_doc)
