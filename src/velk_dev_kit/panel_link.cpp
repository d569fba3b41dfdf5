// velk_dev_kit.panel_link: a ROS 2 node bound to one browser control panel
// over a WebSocket, with its own reconnecting connection thread.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <initializer_list>

#include "velk/core.hpp"

namespace {

using namespace velk;

struct State {
    Ref cls;       // PanelLink, for super()
    Ref socket;    // for shutting a connection down
    Ref stopped;   // raised by the handlers of a destroyed link, see link_stopped
    auto refs() { return std::tie(cls, socket, stopped); }
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

using Ctx = velk::Ctx<State>;

constexpr Param init_params[] = {{"self"},
                                 {"remote_id", "str", Check::Str},
                                 {"callback", "Callable[[Dict[str, Any]], None]"}};
constexpr Param ws_params[] = {{"self"}, {"ws"}};
constexpr Param ws_message_params[] = {{"self"}, {"ws"}, {"message"}};
constexpr Param ws_error_params[] = {{"self"}, {"ws"}, {"error"}};
constexpr Param ws_close_params[] = {{"self"}, {"ws"}, {"close_status_code"}, {"close_msg"}};
constexpr Param send_params[] = {{"self"},
                                 {"control_id", "str", Check::Str},
                                 {"value", "Any"},
                                 {"timeout", "float", Check::Float, "5.0"}};
constexpr Param msg_params[] = {{"self"}, {"msg", "String"}};

// How often destroy_node looks for the socket of a connection that is still
// being opened, and how long in all it waits for the connection thread
// before it breaks the connection off (a write that the panel does not read
// holds that thread up).
constexpr double kConnectTick = 0.002;
constexpr double kStopWait = 1.0;
// The longest a blocked send sleeps before it looks again at the link.
constexpr int kWriteTickMs = 20;

// super(PanelLink, self)
Ref base(const Ctx& c, Handle self) { return super(c.state().cls, self); }

bool stop_requested(Handle self) { return self.attr("_stop_event"_n).method("is_set"_n).truth(); }

// with lock: body()
template <class Body>
void with_lock(Handle lock, Body&& body) {
    lock.method("acquire"_n);
    try_finally(body, [&] { lock.method("release"_n); });
}

// with self._ws_lock: self._ws_connected = value
void set_connected(Handle self, bool value) {
    with_lock(self.attr("_ws_lock"_n), [&] { self.set_attr("_ws_connected"_n, boolean(value)); });
}

// Wakes every send waiting for the link (see wait_for_link).
void wake_senders(Handle self) {
    Ref wake = self.attr("_ws_wake"_n);
    with_lock(wake, [&] { wake.method("notify_all"_n); });
}

// Raised by the handlers of a destroyed link. Being no Exception, it passes
// the library's guards around the handlers and the error lines it logs after
// them, and ends run_forever, whose teardown then closes the connection on
// the connection thread: with a close frame when it was open.
[[noreturn]] void link_stopped(const Ctx& c) {
    raise(c.state().stopped, "PanelLink destroyed");
}

// ------------------------------------------------------------ construction

Ref destroy_node(const Ctx& c, Handle self);

Ref init(const Ctx& c, Handle self, Handle remote_id, Handle callback) {
    // The caller never gets the object, so a node left standing by a failure
    // here (its topic in the ROS graph, perhaps a running thread) could never
    // be destroyed.
    Rollback rollback(self);
    Ref ns = getenv("VELK_REMOTE_NS", str("default"));
    self.set_attr("ns"_n, ns);
    Ref prefix = Ref::steal(PyUnicode_Substring(remote_id, 0, 8));
    base(c, self).method("__init__"_n, fstr("panel_link_", prefix), "namespace"_kw = ns);
    rollback.set([&] { base(c, self).method("destroy_node"_n); });
    self.set_attr("remote_id"_n, remote_id);
    self.set_attr("callback"_n, callback);
    Ref topic = fstr("_panel_link/", remote_id), depth = from_long(10), type = c.global("String"_n);
    self.set_attr("publisher"_n, self.method("create_publisher"_n, type, topic, depth));
    self.method("create_subscription"_n, type, topic, self.attr("_on_message"_n), depth);
    for (Handle name : {"_last_data"_n, "_ws"_n, "_ws_conn"_n}) self.set_attr(name, Py_None);
    self.set_attr("_ws_connected"_n, Py_False);
    Ref threading = c.global("threading"_n);
    self.set_attr("_ws_lock"_n, threading.attr("Lock"_n)());
    self.set_attr("_ws_ready"_n, threading.attr("Event"_n)());
    self.set_attr("_stop_event"_n, threading.attr("Event"_n)());
    self.set_attr("_ws_wake"_n, threading.attr("Condition"_n)());
    Ref url = getenv("VELK_REMOTE_WS_URL", str(""));
    if (!url.truth()) raise(PyExc_ValueError, "ws_url is required (or set VELK_REMOTE_WS_URL)");
    url = Ref::steal(PyUnicode_Replace(url, "{remote_id}"_n, remote_id, -1));
    self.set_attr("_ws_url"_n, fstr(url, "&role=container"));
    Ref thread = threading.attr("Thread"_n)("target"_kw = self.attr("_ws_loop"_n),
                                            "daemon"_kw = Py_True);
    self.set_attr("_ws_thread"_n, thread);
    thread.method("start"_n);
    rollback.set([&] { destroy_node(c, self); });
    c.log(kStarted, self,
          fstr("PanelLink started: /", self.attr("ns"_n), "/_panel_link/", remote_id));
    rollback.dismiss();
    return none();
}

// ------------------------------------------------------------ connection

// obj.sock, or None: the WebSocket object of an app, or the network socket
// of a WebSocket object. The library replaces and clears both as it goes, so
// each is read once and used from the local reference.
Ref sock_of(Handle obj) {
    if (obj == Py_None) return none();
    return guarded([&] { return obj.attr("sock"_n); }, [](Handle) { return none(); });
}

// obj.name(*args), ignoring the errors of a connection or socket that is
// already shut down or closed.
template <class... A>
void quietly(Handle obj, Handle name, const A&... args) {
    guarded([&] { obj.method(name, args...); }, [](Handle) {});
}

// The WebSocket object of the attempt under way, kept in `_ws_conn`. The
// connection thread alone closes it (the library's teardown, then this, once
// the attempt is over): app.close() drops the app's reference to it (a
// connection nobody holds stays open until a garbage collection), a
// descriptor closed under another thread's poll can leave that thread asleep
// for good, and a socket closed under the library's run loop makes it log
// errors and lose the close frame.
void close_connection(Handle self) {
    Ref conn = self.attr("_ws_conn"_n);
    self.set_attr("_ws_conn"_n, Py_None);
    if (conn == Py_None) return;
    if (conn.attr("connected"_n).truth()) quietly(conn, "send_close"_n);
    quietly(conn, "shutdown"_n);
}

// The app's handshake-header callable: the library calls it on the connection
// thread once it has made the attempt's WebSocket object and before it opens
// the connection. Noting the object there, then testing the stop event,
// pairs with destroy_node, which sets the event, then reads the note: either
// the attempt stops here, or destroy_node finds its connection.
Ref note_connection(const Ctx& c) {
    Handle self = c.bound;
    self.set_attr("_ws_conn"_n, sock_of(self.attr("_ws"_n)));
    if (stop_requested(self)) link_stopped(c);
    return new_list();  // no headers
}

constexpr FunctionSpec note_connection_def = method<note_connection>("_ws_note_connection");

// One connection attempt: a new WebSocketApp, served until it ends.
void attempt(const Ctx& c, Handle self) {
    Ref app = c.global("ws_client"_n)
                  .attr("WebSocketApp"_n)(self.attr("_ws_url"_n),
                                          "on_message"_kw = self.attr("_ws_on_message"_n),
                                          "on_error"_kw = self.attr("_ws_on_error"_n),
                                          "on_close"_kw = self.attr("_ws_on_close"_n),
                                          "on_open"_kw = self.attr("_ws_on_open"_n));
    app.set_attr("header"_n, c.function(note_connection_def, self));
    self.set_attr("_ws"_n, app);
    if (stop_requested(self)) return;
    // How a destroyed link's run_forever ends; not a failure.
    guarded(c.state().stopped, [&] { app.method("run_forever"_n); }, [](Handle) {});
}

Ref ws_loop(const Ctx& c, Handle self) {
    while (!stop_requested(self)) {
        guarded([&] { attempt(c, self); }, [&](Handle e) {
            c.log(kAttemptError, self, fstr("WebSocket error: ", e));
        });
        close_connection(self);
        set_connected(self, false);
        self.attr("_ws_ready"_n).method("clear"_n);
        if (stop_requested(self)) break;
        Ref interval = c.global("_WS_RECONNECT_INTERVAL"_n);
        c.log(kReconnecting, self, fstr("WebSocket reconnecting in ", interval, "s..."));
        self.attr("_stop_event"_n).method("wait"_n, interval);
    }
    return none();
}

// ------------------------------------------------------------ WebSocket callbacks

Ref ws_on_open(const Ctx& c, Handle self, Handle /*ws*/) {
    if (stop_requested(self)) link_stopped(c);
    set_connected(self, true);
    self.attr("_ws_ready"_n).method("set"_n);
    wake_senders(self);
    c.log(kConnected, self, "WebSocket connected"_n);
    return none();
}

// json.loads(text); a text that is no JSON is logged at `site` and gives null.
// Only the decoding's own error counts as such: the same error raised later
// (by a callback, say) is that step's failure.
// The error class is looked up only once there is an error, as `except` does.
Ref loads_or_log(const Ctx& c, Handle self, Handle text, Site site) {
    Ref json = c.global("json"_n);
    return guarded([&] { return json.method("loads"_n, text); }, [&](Handle e) {
        if (!check(PyObject_IsInstance(e, json.attr("JSONDecodeError"_n)))) raise(e);
        c.log(site, self, fstr("JSON decode error: ", e));
        return Ref();
    });
}

Ref ws_on_message(const Ctx& c, Handle self, Handle /*ws*/, Handle message) {
    if (stop_requested(self)) link_stopped(c);  // its node is going or gone
    guarded([&] {
        Ref data = loads_or_log(c, self, message, kFrameDecodeError);
        if (!data) return;
        self.attr("publisher"_n).method("publish"_n, c.global("String"_n)("data"_kw = message));
        self.set_attr("_last_data"_n, data);
    }, [&](Handle e) { c.log(kFrameError, self, fstr("WS message error: ", e)); });
    return none();
}

Ref ws_on_error(const Ctx& c, Handle self, Handle /*ws*/, Handle error) {
    // Tearing a link down breaks its connection on purpose.
    if (stop_requested(self)) link_stopped(c);
    c.log(kHandlerError, self, fstr("WebSocket error: ", error));
    return none();
}

Ref ws_on_close(const Ctx& c, Handle self, Handle /*ws*/, Handle /*close_status_code*/,
                Handle /*close_msg*/) {
    set_connected(self, false);
    c.log(kDisconnected, self, "WebSocket disconnected"_n);
    return none();
}

// ------------------------------------------------------------ node side

// raise RuntimeError(f"Send failed: {e}") from e
[[noreturn]] void send_failed(Handle e) {
    raise_from(Handle(PyExc_RuntimeError)(fstr("Send failed: ", e)), e);
}

double monotonic() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// When a send must be over: `timeout` seconds after the call. A timeout
// beyond the lock's limit (infinity included) is no limit; zero, less or NaN
// allows no waiting, only what can be done at once.
struct Deadline {
    double at;  // monotonic(); infinite for no limit

    Deadline(const Ctx& c, double timeout) {
        double limit = PyFloat_AsDouble(c.global("threading"_n).attr("TIMEOUT_MAX"_n));
        at = timeout > limit ? HUGE_VAL : monotonic() + (timeout > 0 ? timeout : 0);
    }
    // A limit of the module's own, never unlimited.
    static Deadline in(double seconds) { return Deadline(monotonic() + seconds); }
    bool unlimited() const { return std::isinf(at); }
    double left() const { return at - monotonic(); }

private:
    explicit Deadline(double at) : at(at) {}
};

// Waits for the link to be open, or for the node to be destroyed (which
// wakes every waiting sender); true if the link is open.
bool wait_for_link(Handle self, const Deadline& deadline) {
    Ref ready = self.attr("_ws_ready"_n), wake = self.attr("_ws_wake"_n);
    auto open = [&] { return ready.method("is_set"_n).truth(); };
    if (open()) return true;
    with_lock(wake, [&] {
        while (!open() && !stop_requested(self)) {
            if (deadline.unlimited()) {
                wake.method("wait"_n);
                continue;
            }
            double left = deadline.left();
            if (left <= 0) break;
            wake.method("wait"_n, from_double(left));
        }
    });
    return open();
}

// raise ws_client.WebSocketConnectionClosedException(message), as the
// library raises it for a connection that is gone.
[[noreturn]] void connection_closed(const Ctx& c, const char* message) {
    raise(c.global("ws_client"_n).attr("WebSocketConnectionClosedException"_n)(str(message)));
}

// A connection with part of a frame on the wire is of no further use: the
// panel would read what comes next as the rest of that frame. No close frame
// may follow it, and the connection thread is woken to start a new one.
void break_off(const Ctx& c, Handle conn, Handle raw) {
    conn.set_attr("connected"_n, Py_False);
    quietly(raw, "shutdown"_n, c.state().socket.attr("SHUT_RDWR"_n));
}

// Writes one frame whole to the plain TCP socket `raw` of the WebSocket
// `conn`, under the library's own send lock, so that it never interleaves
// with the library's frames. The socket stays blocking for the connection
// thread's reads; the writes here do not block and the waits between them
// sleep without the interpreter's lock, by the deadline, and end early when
// the node is destroyed.
void write_frame(const Ctx& c, Handle self, Handle conn, Handle raw, Handle frame,
                 const Deadline& deadline) {
    Ref lock = conn.attr("lock"_n);
    bool locked = deadline.unlimited()
        ? lock.method("acquire"_n).truth()
        : lock.method("acquire"_n, Py_True, from_double(std::max(deadline.left(), 0.0))).truth();
    if (!locked) raise(PyExc_TimeoutError, "timed out");
    char* data;
    Py_ssize_t size, sent = 0;
    check(PyBytes_AsStringAndSize(frame, &data, &size));
    try_finally([&] {
        while (sent < size) {
            // Read, and written to, with the interpreter's lock held: a socket
            // closed meanwhile shows as -1, its number never reused under us.
            int fd = int(PyLong_AsLong(raw.method("fileno"_n)));
            if (fd < 0) connection_closed(c, "socket is already closed.");
            ssize_t n = ::send(fd, data + sent, size_t(size - sent), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n >= 0) {
                sent += n;
                continue;
            }
            if (errno == EINTR) {
                check(PyErr_CheckSignals());
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                PyErr_SetFromErrno(PyExc_OSError);
                throw_error();
            }
            if (stop_requested(self)) raise(PyExc_ConnectionAbortedError, "PanelLink destroyed");
            int wait_ms = kWriteTickMs;
            if (!deadline.unlimited()) {
                double left = deadline.left();
                if (left <= 0) raise(PyExc_TimeoutError, "timed out");
                wait_ms = std::min(wait_ms, int(std::ceil(left * 1000)));
            }
            pollfd wanted = {fd, POLLOUT, 0};
            int rc;
            Py_BEGIN_ALLOW_THREADS
            rc = ::poll(&wanted, 1, wait_ms);
            Py_END_ALLOW_THREADS
            if (rc < 0 && errno == EINTR) check(PyErr_CheckSignals());
        }
    }, [&] {
        if (sent > 0 && sent < size) break_off(c, conn, raw);
        lock.method("release"_n);
    });
}

// The text as one text frame on the link, by the deadline.
void send_text(const Ctx& c, Handle self, Handle text, const Deadline& deadline) {
    Ref app = self.attr("_ws"_n), conn = sock_of(app);
    if (conn == Py_None) connection_closed(c, "Connection is already closed.");
    Ref raw = sock_of(conn);
    if (raw == Py_None) connection_closed(c, "socket is already closed.");
    if (Py_TYPE(raw.ptr()) != reinterpret_cast<PyTypeObject*>(c.state().socket.attr("socket"_n).ptr())) {
        // TLS: its records cannot be written piecewise beside the library;
        // the library's own blocking write (which destroy_node breaks off).
        app.method("send"_n, text);
        return;
    }
    // The frame as the library's send makes it.
    Ref abnf = c.global("ws_client"_n).attr("ABNF"_n);
    Ref frame = abnf.method("create_frame"_n, text, abnf.attr("OPCODE_TEXT"_n));
    Ref mask_key = conn.attr("get_mask_key"_n);
    if (mask_key.truth()) frame.set_attr("get_mask_key"_n, mask_key);
    write_frame(c, self, conn, raw, frame.method("format"_n), deadline);
}

Ref send(const Ctx& c, Handle self, Handle control_id, Handle value, Handle timeout) {
    // The time-out bounds the whole call: the wait for the link and the write.
    Deadline deadline(c, PyFloat_AsDouble(timeout));
    if (!wait_for_link(self, deadline))
        raise(PyExc_RuntimeError, fstr("WebSocket not connected after ", timeout, "s"));
    // A value the encoder refuses says nothing about the link.
    Ref text = guarded([&] {
        Ref frame = dict_of(control_id, dict_of("value"_n, value));
        return c.global("json"_n).method("dumps"_n, frame);
    }, [](Handle e) -> Ref { send_failed(e); });
    guarded([&] { send_text(c, self, text, deadline); }, [&](Handle e) {
        set_connected(self, false);
        send_failed(e);
    });
    return none();
}

Ref on_message(const Ctx& c, Handle self, Handle msg) {
    guarded([&] {
        Ref data = loads_or_log(c, self, msg.attr("data"_n), kTopicDecodeError);
        if (data) self.attr("callback"_n)(data);
    }, [&](Handle e) { c.log(kCallbackError, self, fstr("Callback error: ", e)); });
    return none();
}

Ref get_latest(const Ctx&, Handle self) {
    Ref data = self.attr("_last_data"_n);
    return data.truth() ? data : new_dict();
}

// Ends the connection thread's attempt without closing anything under it:
// the app is told to stop and the connection's reads are woken (its socket
// shut for reading once the TCP connection exists), so the thread closes the
// connection itself, with a close frame when it was open. A thread still
// there after kStopWait (a close frame the panel does not take) gets its
// connection broken off. From the connection thread itself (a handler),
// telling the app to stop is all: the library's loop ends when it returns.
void stop_attempt(const Ctx& c, Handle self) {
    Ref conn = self.attr("_ws_conn"_n), app = self.attr("_ws"_n);
    if (app != Py_None) app.set_attr("keep_running"_n, Py_False);
    Ref thread = self.attr("_ws_thread"_n);
    if (c.global("threading"_n).method("current_thread"_n) == thread) return;
    Handle socket = c.state().socket;
    Ref tick = from_double(kConnectTick);
    const Deadline stop_by = Deadline::in(kStopWait);
    bool woken = false;
    while (thread.method("is_alive"_n).truth()) {
        double left = stop_by.left();
        if (left <= 0) break;
        if (!woken) {
            Ref raw = sock_of(conn);
            woken = raw != Py_None;
            if (woken) quietly(raw, "shutdown"_n, socket.attr("SHUT_RD"_n));
        }
        thread.method("join"_n, woken ? from_double(left) : tick);
    }
    if (!thread.method("is_alive"_n).truth()) return;
    Ref raw = sock_of(conn);
    if (raw != Py_None) quietly(raw, "shutdown"_n, socket.attr("SHUT_RDWR"_n));
}

Ref destroy_node(const Ctx& c, Handle self) {
    self.attr("_stop_event"_n).method("set"_n);
    wake_senders(self);
    stop_attempt(c, self);
    base(c, self).method("destroy_node"_n);
    return none();
}

constexpr FunctionSpec methods[] = {
    method<init>("__init__", init_params),
    method<ws_loop>("_ws_loop", self_only, "WebSocket 连接循环，断线自动重连"),
    method<ws_on_open>("_ws_on_open", ws_params),
    method<ws_on_message>("_ws_on_message", ws_message_params, "WebSocket 收到消息"),
    method<ws_on_error>("_ws_on_error", ws_error_params),
    method<ws_on_close>("_ws_on_close", ws_close_params),
    method<send>("send", send_params,
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
                 "    >>> rc.send(\"chat-1\", \"收到，正在执行\")"),
    method<on_message>("_on_message", msg_params, "接收 ROS2 topic 消息并调用回调"),
    method<get_latest>("get_latest", self_only,
                       "获取最新的控制数据（非阻塞）\n"
                       "\n"
                       "Returns:\n"
                       "    最新的控制数据，如果没有数据则返回空字典",
                       "Dict[str, Any]", Check::Dict),
    method<destroy_node>("destroy_node", self_only, "清理资源"),
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

void exec_module(Module<State>& m) {
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
    s.stopped = Ref::steal(
        PyErr_NewException("velk_dev_kit.panel_link._LinkStopped", PyExc_BaseException, nullptr));
    m.define_log_sites(log_sites);
    s.cls = m.make_class("PanelLink", class_doc, methods, tuple(node));
    m.add("PanelLink", s.cls);
}

}  // namespace

VELK_MODULE(panel_link, State, exec_module, module_doc)
