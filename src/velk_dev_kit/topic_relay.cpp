// velk_dev_kit.topic_relay: relays messages from source topics to target topics
// or handlers, with a publishing-rate limit per route.
#include "velk/core.hpp"
#include "velk/dispatch_cache.hpp"

namespace {

using namespace velk;

struct State {
    Ref dataclass;    // dataclasses.dataclass
    Ref time_module;  // the time module as imported
    Ref sync_route;   // class SyncRoute
    Ref relay;        // class SimpleTopicRelay
    Ref zero_int;     // 0
    Ref zero_float;   // 0.0
    auto refs() {
        return std::tie(dataclass, time_module, sync_route, relay, zero_int, zero_float);
    }
};

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
    kRouteError,
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
    {kRouteError, "error"},
};
static_assert(numbered(log_sites, kSiteCount), "one log site per Site, in order");

void log_line(const Args& a, Site site, Handle node, Handle text) {
    log<State>(a, site, node, text);
}

// ---------------------------------------------------------------------------
// SyncRoute

constexpr Param self_only[] = {{"self"}};

Ref sync_route_post_init(const Args& a) {
    auto [self] = a.bind<self_only>();
    bool has_target = self.attr("target_topic"_n).truth();
    if (!has_target && !self.attr("handler"_n).truth())
        raise(PyExc_ValueError,
              fstr("Route ", self.attr("source_topic"_n), ": 必须指定 target_topic 或 handler 之一"));
    if (has_target && !self.attr("target_msg_type"_n).truth())
        self.set_attr("target_msg_type"_n, self.attr("source_msg_type"_n));
    if (!self.attr("route_id"_n).truth()) {
        Ref source = self.attr("source_topic"_n).format();
        Ref hex = module_global(a, "uuid"_n).attr("uuid4"_n)().attr("hex"_n);
        Ref first_8 = Ref::steal(PySlice_New(nullptr, from_long(8), nullptr));  // [:8]
        self.set_attr("route_id"_n, fstr(source, "_", hex.item(first_8)));
    }
    return none();
}

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

constexpr Param register_params[] = {{"self"}, {"route", "SyncRoute"}};
constexpr Param batch_params[] = {{"self"}, {"routes", "List[SyncRoute]", Check::List}};
constexpr Param source_params[] = {{"self"}, {"source_topic", "str", Check::Str}};
constexpr Param publisher_params[] = {
    {"self"}, {"route_id", "str", Check::Str}, {"route", "SyncRoute"}};
constexpr Param on_message_params[] = {
    {"self"}, {"msg", "Any"}, {"source_topic", "str", Check::Str}};
constexpr Param process_params[] = {
    {"self"}, {"msg", "Any"}, {"route_id", "str", Check::Str}, {"route", "SyncRoute"}};

Ref relay_init(const Args& a) {
    auto [self] = a.bind<self_only>();
    super(a.state<State>().relay, self).method("__init__"_n, str("topic_relay"));
    for (PyObject* table : {"routes"_n, "_source_subscriptions"_n, "_source_to_routes"_n,
                            "_route_publishers"_n, "last_publish_time"_n})
        self.set_attr(table, new_dict());
    log_line(a, kInitialized, self, str("SimpleTopicRelay initialized"));
    return none();
}

Ref register_sync_route(const Args& a) {
    auto [self, route] = a.bind<register_params>();
    return guarded([&] {
        if (!route.attr("enabled"_n).truth()) {
            log_line(a, kRouteDisabled, self,
                     fstr("Route ", route.attr("route_id"_n), " is disabled"));
            return boolean(true);
        }
        self.attr("routes"_n).set_item(route.attr("route_id"_n), route);
        if (!self.attr("_source_to_routes"_n).contains(route.attr("source_topic"_n)))
            self.attr("_source_to_routes"_n).set_item(route.attr("source_topic"_n), new_list());
        self.attr("_source_to_routes"_n).item(route.attr("source_topic"_n))
            .method("append"_n, route.attr("route_id"_n));
        Ref route_id = route.attr("route_id"_n).format();
        Ref log_msg = fstr("Registered [", route_id, "]: ", route.attr("source_topic"_n));
        if (route.attr("target_topic"_n).truth())
            log_msg = fstr(log_msg, " → ", route.attr("target_topic"_n));
        if (route.attr("handler"_n).truth()) log_msg = fstr(log_msg, " [with handler]");
        log_msg = fstr(log_msg, " @ ", route.attr("frequency"_n), " Hz");
        log_line(a, kRegistered, self, log_msg);
        return boolean(true);
    }, [&](Handle e) {
        log_line(a, kRegisterFailed, self, fstr("Register failed: ", e));
        return boolean(false);
    });
}

Ref batch_register(const Args& a) {
    auto [self, routes] = a.bind<batch_params>();
    long long success_count = 0;
    routes.for_each([&](Ref route) {
        guarded([&] { success_count += self.method("register_sync_route"_n, route).truth(); },
                [&](Handle e) { log_line(a, kRegisterError, self, fstr("Register error: ", e)); });
    });
    log_line(a, kBatchSummary, self,
             fstr("Batch registration: ", success_count, "/", routes.size(), " routes"));
    return from_long(success_count);
}

// ---------------------------------------------------------------------------
// Wiring

// a, b = pair
std::array<Ref, 2> unpack(Handle pair) {
    return {Ref::steal(PySequence_GetItem(pair, 0)), Ref::steal(PySequence_GetItem(pair, 1))};
}

Ref setup(const Args& a) {
    auto [self] = a.bind<self_only>();
    self.attr("_source_to_routes"_n).method("items"_n).for_each([&](Ref pair) {
        auto [source_topic, route_ids] = unpack(pair);
        if (route_ids.truth()) self.method("_setup_source_subscription"_n, source_topic);
    });
    self.attr("routes"_n).method("items"_n).for_each([&](Ref pair) {
        auto [route_id, route] = unpack(pair);
        if (route.attr("enabled"_n).truth())
            self.method("_setup_route_publisher"_n, route_id, route);
    });
    self.attr("routes"_n).for_each([&](Ref route_id) {
        if (!self.attr("last_publish_time"_n).contains(route_id))
            self.attr("last_publish_time"_n).set_item(route_id, a.state<State>().zero_float);
    });
    Py_ssize_t subscriptions = self.attr("_source_subscriptions"_n).size();
    log_line(a, kSetupComplete, self,
             fstr("TopicRelay setup complete: ", subscriptions, " subscriptions, ",
                  self.attr("routes"_n).size(), " routes"));
    return none();
}

Ref subscription_callback(const Args& a);  // the callback's body, with dispatch below

constexpr Param callback_params[] = {{"msg"}, {"topic"}};  // topic's default: per callback
constexpr FunctionSpec callback_spec = {"<lambda>", nullptr, callback_params,
                                        subscription_callback};
constexpr const char kCallbackOwner[] = "SimpleTopicRelay._setup_source_subscription.<locals>";

Ref setup_source_subscription(const Args& a) {
    auto [self, source_topic] = a.bind<source_params>();
    if (self.attr("_source_subscriptions"_n).contains(source_topic)) return none();
    Ref route_ids = self.attr("_source_to_routes"_n).method("get"_n, source_topic, new_list());
    if (!route_ids.truth()) return none();
    Ref msg_types = Ref::steal(PySet_New(nullptr));
    route_ids.for_each([&](Ref route_id) {
        Ref route = self.attr("routes"_n).item(route_id);
        if (route.attr("enabled"_n).truth())
            check(PySet_Add(msg_types, route.attr("source_msg_type"_n)));
    });
    if (PySet_GET_SIZE(msg_types.ptr()) > 1) {
        Ref type_names = new_list();
        msg_types.for_each([&](Ref t) { check(PyList_Append(type_names, t.attr("__name__"_n))); });
        log_line(a, kInconsistentTypes, self,
                 fstr("Inconsistent message types for ", source_topic, ": ", type_names,
                      ". All routes from the same source must use the same message type."));
        return none();
    }
    Ref first_route = self.attr("routes"_n).item(route_ids.item(a.state<State>().zero_int));
    return guarded([&] {
        // lambda msg, topic=source_topic: self._on_message(msg, topic)
        PyObject* defaults[] = {nullptr, source_topic};
        Ref callback = make_function(holder<State>(a.module).function_type, a.module,
                                     callback_spec, kCallbackOwner, self, defaults);
        Ref subscription = self.method("create_subscription"_n,
                                       first_route.attr("source_msg_type"_n), source_topic,
                                       callback, from_long(10));
        self.attr("_source_subscriptions"_n).set_item(source_topic, subscription);
        Ref type_name = first_route.attr("source_msg_type"_n).attr("__name__"_n).format();
        log_line(a, kCreatedSubscription, self,
                 fstr("Created subscription: ", source_topic, " (", type_name, ") -> ",
                      route_ids.size(), " route(s)"));
        return none();
    }, [&](Handle e) {
        log_line(a, kSubscriptionFailed, self,
                 fstr("Setup subscription failed for ", source_topic, ": ", e));
        return none();
    });
}

Ref setup_route_publisher(const Args& a) {
    auto [self, route_id, route] = a.bind<publisher_params>();
    return guarded([&] {
        if (route.attr("target_topic"_n).truth()) {
            Ref msg_type = route.attr("target_msg_type"_n);
            Ref publisher = self.method("create_publisher"_n, msg_type,
                                        route.attr("target_topic"_n), from_long(10));
            self.attr("_route_publishers"_n).set_item(route_id, publisher);
        }
        self.attr("last_publish_time"_n).set_item(route_id, a.state<State>().zero_float);
        return none();
    }, [&](Handle e) {
        log_line(a, kPublisherFailed, self, fstr("Setup publisher failed for ", route_id, ": ", e));
        return none();
    });
}

// ---------------------------------------------------------------------------
// Dispatch and rate limiting: the per-message path, through the dispatch
// caches (velk/dispatch_cache.hpp).

// What one route carries (its record, its fields, its rate check) failing:
// logged for that route, which misses this message; the routes after it
// still get it. Exceptions outside the Exception family travel on.
template <class Body>
bool route_ok(const Args& a, Handle self, Handle route_id, Body&& body) {
    return guarded([&] {
        body();
        return true;
    }, [&](Handle e) {
        log_line(a, kRouteError, self, fstr("Route error for [", route_id, "]: ", e));
        return false;
    });
}

Ref process_route(const Args& a) {
    auto [self, msg, route_id, route] = a.bind<process_params>();
    DispatchCache& fast = dispatch_cache();
    Number now = fast.time_time(a.module);
    // publish_interval = 1.0 / route.frequency if route.frequency > 0 else 0
    bool limited = false;
    Number publish_interval(0.0);  // read only when limited
    if (!route_ok(a, self, route_id, [&] {
            Ref frequency = fast.attr(route, "frequency"_n);
            limited = Number(frequency) > 0;
            if (limited)
                publish_interval = 1.0 / Number(fast.attr_again(route, "frequency"_n, frequency));
        }))
        return none();
    // A route registered after setup has no time yet: measured as if it had 0.0.
    Number last = item_or(fast.attr(self, "last_publish_time"_n), route_id,
                          a.state<State>().zero_float);
    Number time_since_last = now - last;
    // A route without a limit lets every message through, also when the
    // clock has stepped back behind its stored time.
    if (limited) {
        bool early = false;
        if (!route_ok(a, self, route_id, [&] { early = time_since_last < publish_interval; }) ||
            early)
            return none();
    }
    Ref processed_msg = Ref::borrow(msg);
    Ref handler;
    bool has_handler = false;
    if (!route_ok(a, self, route_id, [&] {
            handler = fast.attr(route, "handler"_n);
            has_handler = handler.truth();
        }))
        return none();
    if (has_handler) {
        bool failed = guarded([&] {
            processed_msg = fast.attr_again(route, "handler"_n, handler)(msg);
            return false;
        }, [&](Handle e) {
            log_line(a, kHandlerError, self, fstr("Handler error for [", route_id, "]: ", e));
            return true;
        });
        if (failed) return none();
    }
    if (processed_msg != Py_None) {
        bool has_target = false;
        if (!route_ok(a, self, route_id,
                      [&] { has_target = fast.attr(route, "target_topic"_n).truth(); }))
            return none();
        if (has_target)
            guarded([&] {
                // if route_id in self._route_publishers: self._route_publishers[route_id].publish(...)
                if (Ref publisher = item_if_in(fast.attr(self, "_route_publishers"_n), route_id))
                    publisher.method("publish"_n, processed_msg);
            }, [&](Handle e) {
                log_line(a, kPublishError, self, fstr("Publish error for [", route_id, "]: ", e));
            });
    }
    fast.attr(self, "last_publish_time"_n).set_item(route_id, now.object());
    return none();
}

Ref on_message(const Args& a) {
    auto [self, msg, source_topic] = a.bind<on_message_params>();
    DispatchCache& fast = dispatch_cache();
    Ref route_ids = get_or_else(fast.attr(self, "_source_to_routes"_n), source_topic, new_list);
    for_each_in(route_ids, [&](Ref route_id) {
        Ref route = get_or(fast.attr(self, "routes"_n), route_id, Py_None);
        bool eligible = false;
        if (!route_ok(a, self, route_id,
                      [&] { eligible = route.truth() && fast.attr(route, "enabled"_n).truth(); }) ||
            !eligible)
            return;
        // self._process_route(msg, route_id, route), called directly when it is ours
        if (!fast.is_own_method(self, "_process_route"_n, process_route)) {
            self.method("_process_route"_n, msg, route_id, route);
        } else if (PyUnicode_CheckExact(route_id)) {
            PyObject* const argv[] = {self, msg, route_id, route};
            process_route(Args{argv, a.module, nullptr, process_params});
        } else {  // refused by its argument check before its body runs
            route_ok(a, self, route_id,
                     [&] { self.method("_process_route"_n, msg, route_id, route); });
        }
    });
    return none();
}

// The subscription callback: lambda msg, topic=<source topic>: node._on_message(msg, topic)
Ref subscription_callback(const Args& a) {
    auto [msg, topic] = a.bind<callback_params>();
    Handle node = a.data;
    if (PyUnicode_CheckExact(topic) &&
        dispatch_cache().is_own_method(node, "_on_message"_n, on_message)) {
        PyObject* const argv[] = {node, msg, topic};
        return on_message(Args{argv, a.module, nullptr, on_message_params});
    }
    return node.method("_on_message"_n, msg, topic);
}

// ---------------------------------------------------------------------------
// Class and module

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
    Ref ns = new_dict(), annotations = new_dict();
    for (const Field& f : sync_route_fields) {
        annotations.set_item(str(f.name), str(f.annotation));
        if (f.default_expr) ns.set_item(str(f.name), builtin("eval"_n)(str(f.default_expr), new_dict()));
    }
    ns.set_item("__annotations__"_n, annotations);
    Ref cls = m.make_class("SyncRoute", "单条同步路由配置", sync_route_methods, nullptr, ns);
    return m.state().dataclass(cls);
}

void exec_module(Module<State>& m) {
    State& s = m.state();
    for (const char* name : {"Any", "Callable", "Dict", "List", "Optional", "Type"})
        m.import_from("typing", name);
    s.dataclass = m.import_from("dataclasses", "dataclass");
    s.time_module = m.import("time");
    m.import("uuid");
    m.import("rclpy");
    Ref node = m.import_from("rclpy.node", "Node");
    s.zero_int = from_long(0);
    s.zero_float = from_double(0.0);
    m.define_log_sites(log_sites);

    s.sync_route = make_sync_route(m);
    m.add("SyncRoute", s.sync_route);
    s.relay = m.make_class("SimpleTopicRelay", "简单的发布-订阅中转器，支持同一源话题的多条路由",
                           relay_methods, tuple(node));
    m.add("SimpleTopicRelay", s.relay);
    // the relay's attributes and methods read per message, then the route records' fields
    DispatchCache::install(m.object(), m.function_type(), s.time_module,
                           {"routes"_n, "last_publish_time"_n, "_route_publishers"_n,
                            "_source_to_routes"_n, "_process_route"_n, "_on_message"_n,
                            "enabled"_n, "frequency"_n, "handler"_n, "target_topic"_n});
}

}  // namespace

VELK_MODULE(topic_relay, State, exec_module,
            "Simple, lightweight topic relay for ROS 2.\n"
            "支持批量注册路由，每条路由包含数据源、目标和处理逻辑。\n"
            "同一个源话题可以注册多条路由。")
