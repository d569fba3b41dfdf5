// velk_dev_kit.topic_relay: relays messages from source topics to target topics
// or handlers, with a publishing-rate limit per route.
#include <cstring>

#include "velk/core.hpp"

namespace {

using namespace velk;

struct State {
    Ref dataclass;     // dataclasses.dataclass
    Ref time_module;   // the time module as imported
    Ref builtin_time;  // its time(); a patched one is called instead
    Ref sync_route;    // class SyncRoute
    Ref relay;         // class SimpleTopicRelay
    Ref zero_int;      // 0
    Ref zero_float;    // 0.0
    Ref one_float;     // 1.0
    auto refs() {
        return std::tie(dataclass, time_module, builtin_time, sync_route, relay, zero_int,
                        zero_float, one_float);
    }
};

// The module's holder, for the dispatch path (the module is loaded once per
// process, into one interpreter).
ModuleHolder<State>* g_state_holder = nullptr;

// Log statements, one call site each (the rclpy logger keeps its filter
// state, and its fixed severity, per calling frame).
enum Site : size_t {
    kInitialized,
    kRouteDisabled,
    kRegistered,
    kRegisterFailed,
    kRegisterError,
    kBatchSummary,
    kSetupComplete,
    kInconsistentTypes,
    kCreatedSubscription,
    kSubscriptionFailed,
    kPublisherFailed,
    kHandlerError,
    kPublishError,
    kSiteCount,
};

constexpr LogSite log_sites[] = {
    {kInitialized, "info"},
    {kRouteDisabled, "info"},
    {kRegistered, "info"},
    {kRegisterFailed, "error"},
    {kRegisterError, "error"},
    {kBatchSummary, "info"},
    {kSetupComplete, "info"},
    {kInconsistentTypes, "error"},
    {kCreatedSubscription, "info"},
    {kSubscriptionFailed, "error"},
    {kPublisherFailed, "error"},
    {kHandlerError, "error"},
    {kPublishError, "error"},
};
static_assert(numbered(log_sites, kSiteCount), "one log site per Site, in order");

void log_line(const Args& a, Site site, PyObject* node, const Ref& text) {
    log<State>(a, site, node, text.get());
}

// PyUnicode_FromFormat: the format is ASCII, UTF-8 text goes in through %s.
template <class... A>
Ref ftext(const char* format, A... args) {
    return Ref::steal(PyUnicode_FromFormat(format, args...));
}

// format(o, ""): what an f-string placeholder inserts.
Ref fmt(PyObject* o) { return Ref::steal(PyObject_Format(o, nullptr)); }

// An `except Exception as e:` block: the caught exception is the one being
// handled while the block runs, so an error raised inside it is chained to it.
class Handling {
public:
    explicit Handling(PyObject* e) : prev_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(e);
    }
    ~Handling() {
        if (!thread_attached()) return;
        PyErr_SetHandledException(prev_);
        Py_XDECREF(prev_);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* prev_;
};

// The truth of o, without the call for the three singletons.
bool truth(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False || o == Py_None) return false;
    return is_true(o);
}

// True if the truth test of o cannot run Python code: a singleton, or a type
// without the slots that the test would call (a function, a method).
bool truth_runs_no_code(PyObject* o) {
    if (o == Py_True || o == Py_False || o == Py_None) return true;
    PyTypeObject* tp = Py_TYPE(o);
    return !(tp->tp_as_number && tp->tp_as_number->nb_bool) &&
           !(tp->tp_as_mapping && tp->tp_as_mapping->mp_length) &&
           !(tp->tp_as_sequence && tp->tp_as_sequence->sq_length);
}

// Takes the pending exception if it belongs to the Exception family;
// anything else (an interrupt, SystemExit) travels on.
Ref catch_exception() {
    if (!pending_is_exception()) throw_error();
    return Ref::steal_or_null(PyErr_GetRaisedException());
}

// ---------------------------------------------------------------------------
// SyncRoute

Ref sync_route_post_init(const Args& a) {
    PyObject* self = a[0];
    Ref target_topic = getattr(self, VELK_NAME("target_topic"));
    bool has_target = is_true(target_topic.get());
    if (!has_target) {
        Ref handler = getattr(self, VELK_NAME("handler"));
        if (!is_true(handler.get())) {
            Ref source = fmt(getattr(self, VELK_NAME("source_topic")).get());
            Ref text = ftext(
                "Route %U: %s", source.get(), "必须指定 target_topic 或 handler 之一");
            PyErr_SetObject(PyExc_ValueError, text.get());
            throw_error();
        }
    }
    if (has_target) {
        Ref target_type = getattr(self, VELK_NAME("target_msg_type"));
        if (!is_true(target_type.get()))
            setattr(self, VELK_NAME("target_msg_type"),
                    getattr(self, VELK_NAME("source_msg_type")).get());
    }
    Ref route_id = getattr(self, VELK_NAME("route_id"));
    if (!is_true(route_id.get())) {
        Ref source = fmt(getattr(self, VELK_NAME("source_topic")).get());
        Ref uuid_module = module_global(a, VELK_NAME("uuid"));
        Ref id = call(getattr(uuid_module.get(), VELK_NAME("uuid4")).get());
        Ref hex = getattr(id.get(), VELK_NAME("hex"));
        Ref slice = Ref::steal(PySlice_New(nullptr, from_long(8).get(), nullptr));
        Ref hex8 = fmt(Ref::steal(PyObject_GetItem(hex.get(), slice.get())).get());
        setattr(self, VELK_NAME("route_id"),
                ftext("%U_%U", source.get(), hex8.get()).get());
    }
    return none();
}

constexpr Param self_only[] = {{"self"}};

constexpr FunctionSpec sync_route_methods[] = {
    {"__post_init__", "验证配置并生成唯一 ID", self_only, sync_route_post_init},
};

struct Field {
    const char* name;
    const char* annotation;
    const char* default_expr;  // nullptr: required
};

constexpr Field sync_route_fields[] = {
    {"source_topic", "str", nullptr},
    {"source_msg_type", "Type", nullptr},
    {"target_topic", "Optional[str]", "None"},
    {"target_msg_type", "Optional[Type]", "None"},
    {"frequency", "float", "10.0"},
    {"handler", "Optional[Callable]", "None"},
    {"enabled", "bool", "True"},
    {"route_id", "Optional[str]", "None"},
};

// ---------------------------------------------------------------------------
// SimpleTopicRelay: constructor and registration

Ref relay_init(const Args& a) {
    PyObject* self = a[0];
    State& s = a.state<State>();
    // super().__init__("topic_relay")
    Ref super = call(reinterpret_cast<PyObject*>(&PySuper_Type), s.relay.get(), self);
    call_method(super.get(), VELK_NAME("__init__"), str("topic_relay").get());
    PyObject* const tables[] = {VELK_NAME("routes"), VELK_NAME("_source_subscriptions"),
                                VELK_NAME("_source_to_routes"), VELK_NAME("_route_publishers"),
                                VELK_NAME("last_publish_time")};
    for (PyObject* table : tables) setattr(self, table, Ref::steal(PyDict_New()).get());
    log_line(a, kInitialized, self, str("SimpleTopicRelay initialized"));
    return none();
}

Ref register_sync_route(const Args& a) {
    PyObject *self = a[0], *route = a[1];
    Ref caught;
    try {
        if (!is_true(getattr(route, VELK_NAME("enabled")).get())) {
            Ref id = fmt(getattr(route, VELK_NAME("route_id")).get());
            log_line(a, kRouteDisabled, self,
                     ftext("Route %U is disabled", id.get()));
            return boolean(true);
        }
        // self.routes[route.route_id] = route
        {
            Ref routes = getattr(self, VELK_NAME("routes"));
            Ref id = getattr(route, VELK_NAME("route_id"));
            check(PyObject_SetItem(routes.get(), id.get(), route));
        }
        // if route.source_topic not in self._source_to_routes: ... = []
        {
            Ref table = getattr(self, VELK_NAME("_source_to_routes"));
            Ref source = getattr(route, VELK_NAME("source_topic"));
            if (!check(PySequence_Contains(table.get(), source.get()))) {
                Ref empty = Ref::steal(PyList_New(0));
                Ref table2 = getattr(self, VELK_NAME("_source_to_routes"));
                Ref source2 = getattr(route, VELK_NAME("source_topic"));
                check(PyObject_SetItem(table2.get(), source2.get(), empty.get()));
            }
        }
        // self._source_to_routes[route.source_topic].append(route.route_id)
        {
            Ref table = getattr(self, VELK_NAME("_source_to_routes"));
            Ref source = getattr(route, VELK_NAME("source_topic"));
            Ref ids = Ref::steal(PyObject_GetItem(table.get(), source.get()));
            Ref id = getattr(route, VELK_NAME("route_id"));
            call_method(ids.get(), VELK_NAME("append"), id.get());
        }
        Ref id = fmt(getattr(route, VELK_NAME("route_id")).get());
        Ref source = fmt(getattr(route, VELK_NAME("source_topic")).get());
        Ref text = ftext("Registered [%U]: %U", id.get(), source.get());
        Ref target = getattr(route, VELK_NAME("target_topic"));
        if (is_true(target.get())) {
            Ref target_text = fmt(getattr(route, VELK_NAME("target_topic")).get());
            text = ftext("%U %s %U", text.get(), "→", target_text.get());
        }
        if (is_true(getattr(route, VELK_NAME("handler")).get()))
            text = ftext("%U [with handler]", text.get());
        Ref frequency = fmt(getattr(route, VELK_NAME("frequency")).get());
        text = ftext("%U @ %U Hz", text.get(), frequency.get());
        log_line(a, kRegistered, self, text);
        return boolean(true);
    } catch (const PyError&) {
        caught = catch_exception();
    }
    Handling handling(caught.get());
    Ref e = fmt(caught.get());
    log_line(a, kRegisterFailed, self, ftext("Register failed: %U", e.get()));
    return boolean(false);
}

Ref batch_register(const Args& a) {
    PyObject *self = a[0], *routes = a[1];  // exactly a list
    long long success_count = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(routes); ++i) {
#if PY_VERSION_HEX >= 0x030D0000
        Ref route = Ref::steal(PyList_GetItemRef(routes, i));
#else
        Ref route = Ref::borrow(PyList_GET_ITEM(routes, i));
#endif
        Ref caught;
        try {
            Ref ok = call_method(self, VELK_NAME("register_sync_route"), route.get());
            if (is_true(ok.get())) ++success_count;
            continue;
        } catch (const PyError&) {
            caught = catch_exception();
        }
        Handling handling(caught.get());
        Ref e = fmt(caught.get());
        log_line(a, kRegisterError, self,
                 ftext("Register error: %U", e.get()));
    }
    log_line(a, kBatchSummary, self,
             ftext("Batch registration: %lld/%zd routes", success_count,
                                             PyList_GET_SIZE(routes)));
    return from_long(success_count);
}

// ---------------------------------------------------------------------------
// Wiring

Ref subscription_callback(const Args& a);  // the callback's body, with dispatch below

constexpr Param callback_params[] = {{"msg"}, {"topic"}};  // topic's default: per callback
constexpr FunctionSpec callback_spec = {"<lambda>", nullptr, callback_params,
                                        subscription_callback};
constexpr const char kCallbackOwner[] = "SimpleTopicRelay._setup_source_subscription.<locals>";

// Iterates `iterable`, calling f with each item (a new reference).
template <class F>
void for_each(PyObject* iterable, F&& f) {
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    while (PyObject* item = PyIter_Next(it.get())) f(Ref::steal(item));
    if (PyErr_Occurred()) throw_error();
}

Ref setup(const Args& a) {
    PyObject* self = a[0];
    // 1. one subscription per source topic with routes
    {
        Ref table = getattr(self, VELK_NAME("_source_to_routes"));
        Ref items = call_method(table.get(), VELK_NAME("items"));
        for_each(items.get(), [&](Ref pair) {
            Ref source = Ref::steal(PySequence_GetItem(pair.get(), 0));
            Ref ids = Ref::steal(PySequence_GetItem(pair.get(), 1));
            if (is_true(ids.get()))
                call_method(self, VELK_NAME("_setup_source_subscription"), source.get());
        });
    }
    // 2. one publisher per enabled route
    {
        Ref items = call_method(getattr(self, VELK_NAME("routes")).get(), VELK_NAME("items"));
        for_each(items.get(), [&](Ref pair) {
            Ref id = Ref::steal(PySequence_GetItem(pair.get(), 0));
            Ref route = Ref::steal(PySequence_GetItem(pair.get(), 1));
            if (is_true(getattr(route.get(), VELK_NAME("enabled")).get()))
                call_method(self, VELK_NAME("_setup_route_publisher"), id.get(), route.get());
        });
    }
    // 3. the missing time entries
    {
        Ref routes = getattr(self, VELK_NAME("routes"));
        for_each(routes.get(), [&](Ref id) {
            Ref times = getattr(self, VELK_NAME("last_publish_time"));
            if (!check(PySequence_Contains(times.get(), id.get()))) {
                Ref times2 = getattr(self, VELK_NAME("last_publish_time"));
                check(PyObject_SetItem(times2.get(), id.get(), a.state<State>().zero_float.get()));
            }
        });
    }
    Py_ssize_t subscriptions =
        PyObject_Size(getattr(self, VELK_NAME("_source_subscriptions")).get());
    if (subscriptions < 0) throw_error();
    Py_ssize_t routes = PyObject_Size(getattr(self, VELK_NAME("routes")).get());
    if (routes < 0) throw_error();
    log_line(a, kSetupComplete, self,
             ftext("TopicRelay setup complete: %zd subscriptions, %zd routes",
                                             subscriptions, routes));
    return none();
}

Ref setup_source_subscription(const Args& a) {
    PyObject *self = a[0], *source_topic = a[1];
    if (check(PySequence_Contains(getattr(self, VELK_NAME("_source_subscriptions")).get(),
                                  source_topic)))
        return none();
    Ref ids = call_method(getattr(self, VELK_NAME("_source_to_routes")).get(), VELK_NAME("get"),
                          source_topic, Ref::steal(PyList_New(0)).get());
    if (!is_true(ids.get())) return none();

    Ref msg_types = Ref::steal(PySet_New(nullptr));
    for_each(ids.get(), [&](Ref id) {
        Ref routes = getattr(self, VELK_NAME("routes"));
        Ref route = Ref::steal(PyObject_GetItem(routes.get(), id.get()));
        if (is_true(getattr(route.get(), VELK_NAME("enabled")).get()))
            check(PySet_Add(msg_types.get(),
                            getattr(route.get(), VELK_NAME("source_msg_type")).get()));
    });
    if (PySet_GET_SIZE(msg_types.get()) > 1) {
        Ref names = Ref::steal(PyList_New(0));
        for_each(msg_types.get(), [&](Ref t) {
            check(PyList_Append(names.get(), getattr(t.get(), VELK_NAME("__name__")).get()));
        });
        Ref topic = fmt(source_topic);
        Ref names_text = fmt(names.get());
        log_line(a, kInconsistentTypes, self,
                 ftext(
                     "Inconsistent message types for %U: %U. All routes from the same source "
                     "must use the same message type.",
                     topic.get(), names_text.get()));
        return none();
    }
    Ref first_id = Ref::steal(PySequence_GetItem(ids.get(), 0));
    Ref first_route =
        Ref::steal(PyObject_GetItem(getattr(self, VELK_NAME("routes")).get(), first_id.get()));

    Ref caught;
    try {
        // lambda msg, topic=source_topic: self._on_message(msg, topic)
        PyObject* defaults[] = {nullptr, source_topic};
        Ref callback = make_function(holder<State>(a.module).function_type.get(), a.module,
                                     callback_spec, kCallbackOwner, self, defaults);
        Ref msg_type = getattr(first_route.get(), VELK_NAME("source_msg_type"));
        Ref depth = from_long(10);
        Ref subscription = call_method(self, VELK_NAME("create_subscription"), msg_type.get(),
                                       source_topic, callback.get(), depth.get());
        check(PyObject_SetItem(getattr(self, VELK_NAME("_source_subscriptions")).get(),
                               source_topic, subscription.get()));
        Ref topic = fmt(source_topic);
        Ref type_name = fmt(getattr(getattr(first_route.get(), VELK_NAME("source_msg_type")).get(),
                                    VELK_NAME("__name__")).get());
        Py_ssize_t count = PyObject_Size(ids.get());
        if (count < 0) throw_error();
        log_line(a, kCreatedSubscription, self,
                 ftext("Created subscription: %U (%U) -> %zd route(s)",
                                                 topic.get(), type_name.get(), count));
        return none();
    } catch (const PyError&) {
        caught = catch_exception();
    }
    Handling handling(caught.get());
    Ref topic = fmt(source_topic);
    Ref e = fmt(caught.get());
    log_line(a, kSubscriptionFailed, self,
             ftext("Setup subscription failed for %U: %U", topic.get(),
                                             e.get()));
    return none();
}

Ref setup_route_publisher(const Args& a) {
    PyObject *self = a[0], *route_id = a[1], *route = a[2];
    Ref caught;
    try {
        if (is_true(getattr(route, VELK_NAME("target_topic")).get())) {
            Ref msg_type = getattr(route, VELK_NAME("target_msg_type"));
            Ref topic = getattr(route, VELK_NAME("target_topic"));
            Ref depth = from_long(10);
            Ref publisher = call_method(self, VELK_NAME("create_publisher"), msg_type.get(),
                                        topic.get(), depth.get());
            check(PyObject_SetItem(getattr(self, VELK_NAME("_route_publishers")).get(), route_id,
                                   publisher.get()));
        }
        check(PyObject_SetItem(getattr(self, VELK_NAME("last_publish_time")).get(), route_id,
                               a.state<State>().zero_float.get()));
        return none();
    } catch (const PyError&) {
        caught = catch_exception();
    }
    Handling handling(caught.get());
    Ref e = fmt(caught.get());
    log_line(a, kPublisherFailed, self,
             ftext("Setup publisher failed for %U: %U", route_id, e.get()));
    return none();
}

// ---------------------------------------------------------------------------
// Dispatch and rate limiting
//
// The per-message path does what the Python text does, lookup for lookup, but
// skips the interpreter's generic machinery where the result is known to be
// the same:
// - attribute reads of plain instance attributes go straight to the instance
//   dictionary once the object's type (checked by its version tag, which the
//   interpreter changes on every modification of the type or its bases) is
//   known to have no data descriptor of that name;
// - self._process_route / self._on_message are resolved the same way and,
//   when they are this module's own methods (no override in a subclass, no
//   instance attribute of that name), called without the generic call;
// - time.time() is computed directly while dictionary watchers confirm that
//   the module global `time` is the time module and its `time` the built-in.

// What a type says about one attribute name, valid while its version tag is.
struct TypeCache {
    PyTypeObject* type = nullptr;
    unsigned version = 0;
    bool plain = false;  // instance dictionary first, nothing in the type can intercept
};

Ref type_lookup(PyTypeObject* tp, PyObject* name) {
#if PY_VERSION_HEX >= 0x030E0000
    Ref r = Ref::steal_or_null(_PyType_LookupRef(tp, name));
#else
    Ref r = Ref::borrow(_PyType_Lookup(tp, name));
#endif
    if (!r && PyErr_Occurred()) throw_error();
    return r;
}

bool generic_with_dict(PyTypeObject* tp) {
    return tp->tp_getattro == PyObject_GenericGetAttr &&
           ((tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) || tp->tp_dictoffset != 0);
}

// o.name reads o's instance dictionary first and falls back to nothing in the
// type that could intercept it (no data descriptor, whose type could not
// gain __set__ later either).
bool plain_attribute(PyTypeObject* tp, PyObject* name) {
    if (!generic_with_dict(tp)) return false;
    Ref descr = type_lookup(tp, name);
    PyTypeObject* dt = descr ? Py_TYPE(descr.get()) : nullptr;
    return !dt || (PyType_HasFeature(dt, Py_TPFLAGS_IMMUTABLETYPE) && !dt->tp_descr_set);
}

// o.name resolves, in the type, to this module's function made with `impl`.
bool own_method(PyTypeObject* tp, PyObject* name, Impl impl) {
    if (!generic_with_dict(tp)) return false;
    Ref descr = type_lookup(tp, name);
    auto* function_type = reinterpret_cast<PyTypeObject*>(g_state_holder->function_type.get());
    return descr && Py_TYPE(descr.get()) == function_type &&
           reinterpret_cast<detail::FunctionObject*>(descr.get())->desc->impl == impl;
}

bool type_matches(PyTypeObject* tp, PyTypeObject* cached, unsigned version) {
    return tp == cached && version != 0 && tp->tp_version_tag == version;
}

// Looks `name` up in o's instance dictionary: 1 found, 0 not there.
int instance_lookup(PyObject* o, PyObject* name, Ref& out) {
    PyObject** dp = _PyObject_GetDictPtr(o);
    if (!dp || !*dp) return 0;
    PyObject* v;
    int found = check(PyDict_GetItemRef(*dp, name, &v));
    if (found) out = Ref::steal(v);
    return found;
}

// o.name, as PyObject_GetAttr gives it; for the fields of route records.
// *from_dict tells whether it was the plain instance-dictionary entry.
Ref attr(PyObject* o, PyObject* name, TypeCache& c, bool* from_dict = nullptr) {
    PyTypeObject* tp = Py_TYPE(o);
    if (!type_matches(tp, c.type, c.version)) {
        c.plain = plain_attribute(tp, name);
        c.type = tp;
        c.version = tp->tp_version_tag;  // 0: not cacheable, looked at again next time
    }
    if (c.plain) {
        Ref v;
        if (instance_lookup(o, name, v)) {
            if (from_dict) *from_dict = true;
            return v;
        }
    }
    if (from_dict) *from_dict = false;
    return getattr(o, name);
}

// The relay node's own attributes on the dispatch path.
enum NodeName : int {
    kRoutesName,
    kLastPublishTimeName,
    kRoutePublishersName,
    kSourceToRoutesName,
    kProcessRouteName,  // the two methods: called directly when not overridden
    kOnMessageName,
    kNodeNameCount,
};

PyObject* node_name(int i) {
    static PyObject* const names[kNodeNameCount] = {
        intern("routes"),        intern("last_publish_time"), intern("_route_publishers"),
        intern("_source_to_routes"), intern("_process_route"), intern("_on_message"),
    };
    return names[i];
}

Ref process_route(const Args& a);
Ref on_message(const Args& a);

// What the node's type says about those names.
struct NodeTypeInfo {
    PyTypeObject* type = nullptr;
    unsigned version = 0;
    bool plain[kNodeNameCount] = {};  // for the tables
    bool own[kNodeNameCount] = {};    // for the methods
} g_node_type;

const NodeTypeInfo& node_type_info(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    if (type_matches(tp, g_node_type.type, g_node_type.version)) return g_node_type;
    NodeTypeInfo t;
    for (int i = kRoutesName; i <= kSourceToRoutesName; ++i)
        t.plain[i] = plain_attribute(tp, node_name(i));
    t.own[kProcessRouteName] = own_method(tp, node_name(kProcessRouteName), process_route);
    t.own[kOnMessageName] = own_method(tp, node_name(kOnMessageName), on_message);
    t.type = tp;
    t.version = tp->tp_version_tag;
    g_node_type = t;
    return g_node_type;
}

// The entries of those names in one node's instance dictionary, borrowed.
// A dictionary watcher drops the view before the dictionary changes any of
// them (or is cleared or freed), so the view always equals the dictionary.
struct NodeView {
    PyObject* dict = nullptr;
    PyObject* value[kNodeNameCount] = {};  // nullptr: not in the dictionary
} g_view;

int g_watcher = -1;

// The view of self's instance dictionary; nullptr when there is none or no
// watcher could be had.
const NodeView* node_view(PyObject* self) {
    PyObject** dp = _PyObject_GetDictPtr(self);
    if (!dp || !*dp || g_watcher < 0) return nullptr;
    PyObject* dict = *dp;
    if (g_view.dict == dict) return &g_view;
    // Watched from before the first lookup: a change while filling (a key's
    // __eq__ can run code) drops the view at once.
    g_view = NodeView{};
    check(PyDict_Watch(g_watcher, dict));
    g_view.dict = dict;
    for (int i = 0; i < kNodeNameCount; ++i) {
        PyObject* v;
        int found = PyDict_GetItemRef(dict, node_name(i), &v);
        if (found < 0) {
            g_view.dict = nullptr;
            throw_error();
        }
        if (found) {
            g_view.value[i] = v;  // the dictionary keeps it alive
            Py_DECREF(v);
        }
    }
    return g_view.dict == dict ? &g_view : nullptr;
}

// self.<table>, as PyObject_GetAttr gives it.
Ref node_attr(PyObject* self, NodeName i) {
    if (node_type_info(self).plain[i])
        if (const NodeView* v = node_view(self))
            if (v->value[i]) return Ref::borrow(v->value[i]);
    return getattr(self, node_name(i));
}

// True if self.<method> is this module's method (no override in the type,
// no instance attribute of that name): what PyObject_VectorcallMethod would
// call, with self in front.
bool node_method_is_own(PyObject* self, NodeName i) {
    if (!node_type_info(self).own[i]) return false;
    if (const NodeView* v = node_view(self)) return v->value[i] == nullptr;
    Ref shadow;
    return !instance_lookup(self, node_name(i), shadow);
}

// The cached time.time resolution: true while the module global `time` is
// the time module imported at load and its `time` the built-in function.
bool g_clock_builtin = false;
PyObject* g_module_dict = nullptr;
PyObject* g_time_dict = nullptr;

bool key_is(PyObject* key, PyObject* name) {
    if (key == name) return true;
    if (!key || !PyUnicode_Check(key)) return true;  // cannot tell: assume it is
    return PyUnicode_Compare(key, name) == 0;
}

int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) {
    const bool one_key = event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED ||
                         event == PyDict_EVENT_DELETED;
    if (dict == g_view.dict) {
        bool affected = !one_key;
        for (int i = 0; i < kNodeNameCount && !affected; ++i) affected = key_is(key, node_name(i));
        if (affected) g_view.dict = nullptr;
    }
    if (dict == g_module_dict || dict == g_time_dict) {
        if (!one_key || key_is(key, VELK_NAME("time"))) g_clock_builtin = false;
    }
    return 0;
}

void watch_dicts(PyObject* module, PyObject* time_module) {
    g_watcher = PyDict_AddWatcher(on_dict_event);
    if (g_watcher < 0) {  // none free: everything is looked up every time
        PyErr_Clear();
        return;
    }
    g_module_dict = PyModule_GetDict(module);
    g_time_dict = PyModule_GetDict(time_module);
    check(PyDict_Watch(g_watcher, g_module_dict));
    check(PyDict_Watch(g_watcher, g_time_dict));
}

// A number on the rate-limit path: a C double when the Python value is a
// float (where Python's own arithmetic is plain double arithmetic), the
// object otherwise; `obj` is made lazily from the double when needed.
struct Number {
    Ref obj;
    double d = 0.0;
    bool is_float = false;

    void set(Ref o) {
        obj = std::move(o);
        is_float = PyFloat_CheckExact(obj.get());
        if (is_float) d = PyFloat_AS_DOUBLE(obj.get());
    }
    void set_double(double v) {
        d = v;
        is_float = true;
        obj.reset();
    }
    PyObject* object() {
        if (!obj) obj = from_double(d);
        return obj.get();
    }
};

// Python converts an int operand of float arithmetic with PyLong_AsDouble
// (OverflowError "int too large to convert to float" when it cannot).
bool as_double_operand(PyObject* o, double* out) {
    if (PyFloat_CheckExact(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (PyLong_CheckExact(o)) {
        double v = PyLong_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) throw_error();
        *out = v;
        return true;
    }
    return false;
}

void builtin_clock(Number& now) {
    // What the built-in time.time() computes, without the call and the float:
    // PyTime_Time, then PyTime_AsSecondsDouble inlined.
    PyTime_t t;
    if (PyTime_Time(&t) < 0) throw_error();
    constexpr PyTime_t ns_per_s = 1000000000;
    now.set_double(t % ns_per_s == 0 ? double(t / ns_per_s) : double(t) / 1e9);
}

// now = time.time(): the module global `time`, its attribute `time`, called.
void read_clock(const Args& a, Number& now) {
    const State& s = g_state_holder->s;
    if (g_clock_builtin && Py_IS_TYPE(s.time_module.get(), &PyModule_Type))
        return builtin_clock(now);
    Ref time_module = module_global(a, VELK_NAME("time"));
    Ref fn;
    if (PyModule_CheckExact(time_module.get())) {
        // a plain module's attribute is its dictionary entry
        PyObject* f;
        if (check(PyDict_GetItemRef(PyModule_GetDict(time_module.get()), VELK_NAME("time"), &f)))
            fn = Ref::steal(f);
    }
    if (!fn) fn = getattr(time_module.get(), VELK_NAME("time"));
    if (fn.get() == s.builtin_time.get()) {
        g_clock_builtin = g_watcher >= 0 && time_module.get() == s.time_module.get();
        return builtin_clock(now);
    }
    now.set(call(fn.get()));
}

// route.frequency > 0
bool frequency_positive(PyObject* f, const State& s) {
    if (PyFloat_CheckExact(f)) return PyFloat_AS_DOUBLE(f) > 0.0;
    if (PyLong_CheckExact(f)) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(f, &overflow);
        if (v == -1 && !overflow && PyErr_Occurred()) throw_error();
        return overflow ? overflow > 0 : v > 0;
    }
    return is_true(Ref::steal(PyObject_RichCompare(f, s.zero_int.get(), Py_GT)).get());
}

// 1.0 / route.frequency
void interval_of(PyObject* f, const State& s, Number& interval) {
    double v;
    if (as_double_operand(f, &v) && v != 0.0) {
        interval.set_double(1.0 / v);
        return;
    }
    interval.set(Ref::steal(PyNumber_TrueDivide(s.one_float.get(), f)));
}

// a - b
void subtract(Number& a, Number& b, Number& out) {
    double x, y;
    if (a.is_float && as_double_operand(b.object(), &y)) return out.set_double(a.d - y);
    if (b.is_float && as_double_operand(a.object(), &x)) return out.set_double(x - b.d);
    out.set(Ref::steal(PyNumber_Subtract(a.object(), b.object())));
}

bool is_int_zero(PyObject* o) {
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(o, &overflow);
    return !overflow && v == 0;
}

// a < b
bool less(Number& a, Number& b) {
    if (a.is_float && b.is_float) return a.d < b.d;
    // float < 0 (the unlimited interval): exact in C as in Python
    if (a.is_float && b.obj && PyLong_CheckExact(b.obj.get()) && is_int_zero(b.obj.get()))
        return a.d < 0.0;
    return is_true(Ref::steal(PyObject_RichCompare(a.object(), b.object(), Py_LT)).get());
}

TypeCache c_frequency, c_frequency2, c_handler, c_handler2, c_target_topic, c_enabled;

// self.last_publish_time[route_id]; a route registered after setup has no
// entry yet and is measured as if it had 0.0 (its first message passes).
void last_time(PyObject* self, PyObject* route_id, const State& s, Number& last) {
    Ref times = node_attr(self, kLastPublishTimeName);
    if (PyDict_CheckExact(times.get())) {
        PyObject* v;
        if (check(PyDict_GetItemRef(times.get(), route_id, &v)))
            last.set(Ref::steal(v));
        else
            last.set(s.zero_float);
        return;
    }
    Ref v = Ref::steal_or_null(PyObject_GetItem(times.get(), route_id));
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw_error();
        PyErr_Clear();
        v = s.zero_float;
    }
    last.set(std::move(v));
}

Ref process_route(const Args& a) {
    PyObject *self = a[0], *msg = a[1], *route_id = a[2], *route = a[3];
    const State& s = g_state_holder->s;

    Number now;
    read_clock(a, now);

    // publish_interval = 1.0 / route.frequency if route.frequency > 0 else 0
    Number interval;
    bool from_dict = false;
    Ref frequency = attr(route, VELK_NAME("frequency"), c_frequency, &from_dict);
    if (frequency_positive(frequency.get(), s)) {
        // The second read: when the first was a plain dictionary entry and
        // the comparison ran no Python code (a float or an int), it would
        // find the same object.
        PyObject* f = frequency.get();
        if (!(from_dict && (PyFloat_CheckExact(f) || PyLong_CheckExact(f))))
            frequency = attr(route, VELK_NAME("frequency"), c_frequency2);
        interval_of(frequency.get(), s, interval);
    } else {
        interval.set(s.zero_int);
    }

    Number last, since;
    last_time(self, route_id, s, last);
    subtract(now, last, since);
    if (less(since, interval)) return none();

    // if route.handler: processed_msg = route.handler(msg)
    Ref processed = Ref::borrow(msg);
    Ref handler = attr(route, VELK_NAME("handler"), c_handler, &from_dict);
    if (truth(handler.get())) {
        // The second read, unless it would find the same object (as above).
        if (!(from_dict && truth_runs_no_code(handler.get())))
            handler = attr(route, VELK_NAME("handler"), c_handler2);
        processed = Ref::steal_or_null(PyObject_CallOneArg(handler.get(), msg));
        if (!processed) {
            Ref caught = catch_exception();
            Handling handling(caught.get());
            Ref e = fmt(caught.get());
            log_line(a, kHandlerError, self,
                     ftext("Handler error for [%U]: %U", route_id, e.get()));
            return none();
        }
    }

    if (processed.get() != Py_None &&
        is_true(attr(route, VELK_NAME("target_topic"), c_target_topic).get())) {
        Ref caught;
        try {
            Ref publishers = node_attr(self, kRoutePublishersName);
            Ref publisher;
            if (PyDict_CheckExact(publishers.get())) {
                PyObject* p;
                if (check(PyDict_GetItemRef(publishers.get(), route_id, &p)))
                    publisher = Ref::steal(p);
            } else if (check(PySequence_Contains(publishers.get(), route_id))) {
                publisher = Ref::steal(PyObject_GetItem(
                    getattr(self, VELK_NAME("_route_publishers")).get(), route_id));
            }
            if (publisher) call_method(publisher.get(), VELK_NAME("publish"), processed.get());
        } catch (const PyError&) {
            caught = catch_exception();
        }
        if (caught) {
            Handling handling(caught.get());
            Ref e = fmt(caught.get());
            log_line(a, kPublishError, self,
                     ftext("Publish error for [%U]: %U", route_id, e.get()));
        }
    }

    Ref times = node_attr(self, kLastPublishTimeName);
    if (PyDict_CheckExact(times.get()))
        check(PyDict_SetItem(times.get(), route_id, now.object()));
    else
        check(PyObject_SetItem(times.get(), route_id, now.object()));
    return none();
}

// One route of _on_message's loop: skip it when missing, false or disabled,
// else self._process_route(msg, route_id, route).
void dispatch(const Args& a, PyObject* self, PyObject* msg, PyObject* route_id) {
    Ref routes = node_attr(self, kRoutesName);
    Ref route;
    if (PyDict_CheckExact(routes.get())) {
        PyObject* r;
        if (!check(PyDict_GetItemRef(routes.get(), route_id, &r))) return;
        route = Ref::steal(r);
    } else {
        route = call_method(routes.get(), VELK_NAME("get"), route_id);
    }
    if (!truth(route.get())) return;
    if (!truth(attr(route.get(), VELK_NAME("enabled"), c_enabled).get())) return;
    if (PyUnicode_CheckExact(route_id) &&
        node_method_is_own(self, kProcessRouteName)) {
        PyObject* const args[] = {self, msg, route_id, route.get()};
        process_route(Args{args, a.module, nullptr});
        return;
    }
    call_method(self, VELK_NAME("_process_route"), msg, route_id, route.get());
}

Ref on_message(const Args& a) {
    PyObject *self = a[0], *msg = a[1], *source_topic = a[2];
    Ref table = node_attr(self, kSourceToRoutesName);
    Ref ids;
    if (PyDict_CheckExact(table.get())) {
        PyObject* v;
        if (!check(PyDict_GetItemRef(table.get(), source_topic, &v))) return none();
        ids = Ref::steal(v);
    } else {
        ids = call_method(table.get(), VELK_NAME("get"), source_topic,
                          Ref::steal(PyList_New(0)).get());
    }
    if (PyList_CheckExact(ids.get())) {
        // By index, as Python's list iterator goes: routes appended meanwhile
        // are reached too.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids.get()); ++i) {
#if PY_VERSION_HEX >= 0x030D0000
            Ref id = Ref::steal(PyList_GetItemRef(ids.get(), i));
#else
            Ref id = Ref::borrow(PyList_GET_ITEM(ids.get(), i));
#endif
            dispatch(a, self, msg, id.get());
        }
    } else {
        for_each(ids.get(), [&](Ref id) { dispatch(a, self, msg, id.get()); });
    }
    return none();
}

// The subscription callback: lambda msg, topic=<source topic>: node._on_message(msg, topic)
Ref subscription_callback(const Args& a) {
    PyObject* node = a.data;
    if (PyUnicode_CheckExact(a[1]) &&
        node_method_is_own(node, kOnMessageName)) {
        PyObject* const args[] = {node, a[0], a[1]};
        return on_message(Args{args, a.module, nullptr});
    }
    return call_method(node, VELK_NAME("_on_message"), a[0], a[1]);
}

// ---------------------------------------------------------------------------
// Class and module

constexpr Param register_params[] = {{"self"}, {"route", "SyncRoute"}};
constexpr Param batch_params[] = {{"self"}, {"routes", "List[SyncRoute]", Check::List}};
constexpr Param source_params[] = {{"self"}, {"source_topic", "str", Check::Str}};
constexpr Param publisher_params[] = {
    {"self"}, {"route_id", "str", Check::Str}, {"route", "SyncRoute"}};
constexpr Param on_message_params[] = {
    {"self"}, {"msg", "Any"}, {"source_topic", "str", Check::Str}};
constexpr Param process_params[] = {
    {"self"}, {"msg", "Any"}, {"route_id", "str", Check::Str}, {"route", "SyncRoute"}};

constexpr FunctionSpec relay_methods[] = {
    {"__init__", nullptr, self_only, relay_init},
    {"register_sync_route",
     "\n        注册一条同步路由（支持相同源话题的重复注册）\n"
     "\n        Args:\n            route: SyncRoute 对象\n"
     "\n        Returns:\n            True 如果成功，False 如果失败\n        ",
     register_params, register_sync_route, "bool"},
    {"batch_register",
     "\n        批量注册同步路由\n"
     "\n        Args:\n            routes: SyncRoute 列表\n"
     "\n        Returns:\n            成功注册的路由数\n        ",
     batch_params, batch_register, "int"},
    {"setup", "启动所有订阅", self_only, setup},
    {"_setup_source_subscription", "为源话题创建订阅器（每个源话题只创建一次）", source_params,
     setup_source_subscription},
    {"_setup_route_publisher", "为单条路由设置发布器", publisher_params, setup_route_publisher},
    {"_on_message",
     "\n        接收消息回调（会触发该源话题的所有路由）\n"
     "\n        Args:\n            msg: 接收到的消息\n            source_topic: 源话题名称\n        ",
     on_message_params, on_message},
    {"_process_route",
     "\n        处理单条路由的消息\n"
     "\n        Args:\n            msg: 接收到的消息\n            route_id: 路由 ID\n"
     "            route: 路由配置\n        ",
     process_params, process_route},
};

Ref make_sync_route(Module<State>& m) {
    Ref ns = Ref::steal(PyDict_New());
    Ref annotations = Ref::steal(PyDict_New());
    for (const Field& f : sync_route_fields)
        check(PyDict_SetItemString(annotations.get(), f.name, str(f.annotation).get()));
    check(PyDict_SetItemString(ns.get(), "__annotations__", annotations.get()));
    for (const Field& f : sync_route_fields)
        if (f.default_expr)
            check(PyDict_SetItemString(ns.get(), f.name,
                                       detail::eval_expression(f.default_expr).get()));
    Ref cls = m.make_class("SyncRoute", "单条同步路由配置", sync_route_methods, nullptr, ns.get());
    return call(m.state().dataclass.get(), cls.get());
}

void body(Module<State>& m) {
    State& s = m.state();
    g_state_holder = &holder<State>(m.get());
    for (const char* name : {"Any", "Callable", "Dict", "List", "Optional", "Type"})
        m.import_from("typing", name);
    s.dataclass = m.import_from("dataclasses", "dataclass");
    s.time_module = m.import("time");
    s.builtin_time = getattr(s.time_module.get(), "time");
    m.import("uuid");
    m.import("rclpy");
    Ref node = m.import_from("rclpy.node", "Node");
    s.zero_int = from_long(0);
    s.zero_float = from_double(0.0);
    s.one_float = from_double(1.0);
    m.define_log_sites(log_sites);

    s.sync_route = make_sync_route(m);
    m.add("SyncRoute", s.sync_route);

    Ref bases = Ref::steal(PyTuple_Pack(1, node.get()));
    s.relay = m.make_class("SimpleTopicRelay", "简单的发布-订阅中转器，支持同一源话题的多条路由",
                           relay_methods, bases.get());
    m.add("SimpleTopicRelay", s.relay);
    watch_dicts(m.get(), s.time_module.get());
}

}  // namespace

VELK_MODULE(topic_relay, State, body,
            "Simple, lightweight topic relay for ROS 2.\n"
            "支持批量注册路由，每条路由包含数据源、目标和处理逻辑。\n"
            "同一个源话题可以注册多条路由。")
