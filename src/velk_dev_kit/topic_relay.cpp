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

using Ctx = velk::Ctx<State>;

// ---------------------------------------------------------------------------
// SyncRoute

Ref sync_route_post_init(const Ctx& c, Handle self) {
    bool has_target = self.attr("target_topic"_n).truth();
    if (!has_target && !self.attr("handler"_n).truth())
        raise(PyExc_ValueError,
              fstr("Route ", self.attr("source_topic"_n), ": 必须指定 target_topic 或 handler 之一"));
    if (has_target && !self.attr("target_msg_type"_n).truth())
        self.set_attr("target_msg_type"_n, self.attr("source_msg_type"_n));
    if (!self.attr("route_id"_n).truth()) {
        Ref source = self.attr("source_topic"_n).format();
        Ref hex = c.global("uuid"_n).attr("uuid4"_n)().attr("hex"_n);
        Ref first_8 = Ref::steal(PySlice_New(nullptr, from_long(8), nullptr));  // [:8]
        self.set_attr("route_id"_n, fstr(source, "_", hex.item(first_8)));
    }
    return none();
}

constexpr FunctionSpec sync_route_methods[] = {
    method<sync_route_post_init>("__post_init__", self_only, "验证配置并生成唯一 ID"),
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

Ref relay_init(const Ctx& c, Handle self) {
    super(c.state().relay, self).method("__init__"_n, str("topic_relay"));
    for (PyObject* table : {"routes"_n, "_source_subscriptions"_n, "_source_to_routes"_n,
                            "_route_publishers"_n, "last_publish_time"_n})
        self.set_attr(table, new_dict());
    c.log(kInitialized, self, str("SimpleTopicRelay initialized"));
    return none();
}

Ref register_sync_route(const Ctx& c, Handle self, Handle route) {
    return guarded([&] {
        if (!route.attr("enabled"_n).truth()) {
            c.log(kRouteDisabled, self,
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
        c.log(kRegistered, self, log_msg);
        return boolean(true);
    }, [&](Handle e) {
        c.log(kRegisterFailed, self, fstr("Register failed: ", e));
        return boolean(false);
    });
}

Ref batch_register(const Ctx& c, Handle self, Handle routes) {
    long long success_count = 0;
    routes.for_each([&](Ref route) {
        guarded([&] { success_count += self.method("register_sync_route"_n, route).truth(); },
                [&](Handle e) { c.log(kRegisterError, self, fstr("Register error: ", e)); });
    });
    c.log(kBatchSummary, self,
             fstr("Batch registration: ", success_count, "/", routes.size(), " routes"));
    return from_long(success_count);
}

// ---------------------------------------------------------------------------
// Wiring

// a, b = pair
std::array<Ref, 2> unpack(Handle pair) {
    return {Ref::steal(PySequence_GetItem(pair, 0)), Ref::steal(PySequence_GetItem(pair, 1))};
}

Ref setup(const Ctx& c, Handle self) {
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
            self.attr("last_publish_time"_n).set_item(route_id, c.state().zero_float);
    });
    Py_ssize_t subscriptions = self.attr("_source_subscriptions"_n).size();
    c.log(kSetupComplete, self,
             fstr("TopicRelay setup complete: ", subscriptions, " subscriptions, ",
                  self.attr("routes"_n).size(), " routes"));
    return none();
}

Ref subscription_callback(const Ctx& c, Handle msg, Handle topic);  // with dispatch below

constexpr Param callback_params[] = {{"msg"}, {"topic"}};  // topic's default: per callback
constexpr FunctionSpec callback_spec = method<subscription_callback>("<lambda>", callback_params);
constexpr const char kCallbackOwner[] = "SimpleTopicRelay._setup_source_subscription.<locals>";

Ref setup_source_subscription(const Ctx& c, Handle self, Handle source_topic) {
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
        c.log(kInconsistentTypes, self,
                 fstr("Inconsistent message types for ", source_topic, ": ", type_names,
                      ". All routes from the same source must use the same message type."));
        return none();
    }
    Ref first_route = self.attr("routes"_n).item(route_ids.item(c.state().zero_int));
    return guarded([&] {
        // lambda msg, topic=source_topic: self._on_message(msg, topic)
        PyObject* defaults[] = {nullptr, source_topic};
        Ref callback = c.function(callback_spec, self, kCallbackOwner, defaults);
        Ref subscription = self.method("create_subscription"_n,
                                       first_route.attr("source_msg_type"_n), source_topic,
                                       callback, from_long(10));
        self.attr("_source_subscriptions"_n).set_item(source_topic, subscription);
        Ref type_name = first_route.attr("source_msg_type"_n).attr("__name__"_n).format();
        c.log(kCreatedSubscription, self,
                 fstr("Created subscription: ", source_topic, " (", type_name, ") -> ",
                      route_ids.size(), " route(s)"));
        return none();
    }, [&](Handle e) {
        c.log(kSubscriptionFailed, self,
                 fstr("Setup subscription failed for ", source_topic, ": ", e));
        return none();
    });
}

Ref setup_route_publisher(const Ctx& c, Handle self, Handle route_id, Handle route) {
    return guarded([&] {
        if (route.attr("target_topic"_n).truth()) {
            Ref msg_type = route.attr("target_msg_type"_n);
            Ref publisher = self.method("create_publisher"_n, msg_type,
                                        route.attr("target_topic"_n), from_long(10));
            self.attr("_route_publishers"_n).set_item(route_id, publisher);
        }
        self.attr("last_publish_time"_n).set_item(route_id, c.state().zero_float);
        return none();
    }, [&](Handle e) {
        c.log(kPublisherFailed, self, fstr("Setup publisher failed for ", route_id, ": ", e));
        return none();
    });
}

// ---------------------------------------------------------------------------
// Dispatch and rate limiting: the per-message path, through the dispatch
// caches (velk/dispatch_cache.hpp).

// body() for one route; an exception of the Exception family is logged for
// the route at `site` ("Route error for [id]: e", "Handler error ...",
// "Publish error ...") and gives false. The route misses this message (its
// record, fields or rate check failing) or its publishing; the routes after
// it still get it. Exceptions outside the Exception family travel on.
template <class Body>
bool route_step(const Ctx& c, Site site, Handle self, Handle route_id, Body&& body) {
    return guarded([&] {
        body();
        return true;
    }, [&](Handle e) {
        const char* what = site == kHandlerError ? "Handler" : site == kPublishError ? "Publish"
                                                                                      : "Route";
        c.log(site, self, fstr(what, " error for [", route_id, "]: ", e));
        return false;
    });
}

// The rate check of one route: false when the message falls within the
// route's interval since its last pass (or its fields fail, logged).
bool due(const Ctx& c, DispatchCache& fast, Handle self, Handle route_id, Handle route,
         const Number& now) {
    // publish_interval = 1.0 / route.frequency if route.frequency > 0 else 0
    bool limited = false;
    Number publish_interval(0.0);  // read only when limited
    if (!route_step(c, kRouteError, self, route_id, [&] {
            auto frequency = fast.attr_tested(route, "frequency"_n,
                                              [](const Ref& f) { return Number(f) > 0; });
            limited = bool(frequency);
            if (limited) publish_interval = 1.0 / Number(frequency.read_again());
        }))
        return false;
    // A route registered after setup has no time yet: measured as if it had 0.0.
    Number last = item_or(fast.attr(self, "last_publish_time"_n), route_id, c.state().zero_float);
    Number time_since_last = now - last;
    // A route without a limit lets every message through, also when the
    // clock has stepped back behind its stored time.
    bool early = false;
    return !limited || (route_step(c, kRouteError, self, route_id,
                                   [&] { early = time_since_last < publish_interval; }) &&
                        !early);
}

Ref process_route(const Ctx& c, Handle self, Handle msg, Handle route_id, Handle route) {
    DispatchCache& fast = dispatch_cache();
    Number now = fast.time_time(c.module);
    if (!due(c, fast, self, route_id, route, now)) return none();
    Ref processed_msg = Ref::borrow(msg);
    DispatchCache::Tested handler;  // if route.handler: processed_msg = route.handler(msg)
    if (!route_step(c, kRouteError, self, route_id,
                    [&] { handler = fast.attr_tested(route, "handler"_n); }) ||
        (handler && !route_step(c, kHandlerError, self, route_id,
                                [&] { processed_msg = handler.read_again()(msg); })))
        return none();
    bool has_target = false;
    if (processed_msg != Py_None && !route_step(c, kRouteError, self, route_id, [&] {
            has_target = fast.attr(route, "target_topic"_n).truth();
        }))
        return none();
    if (has_target)
        route_step(c, kPublishError, self, route_id, [&] {
            // if route_id in self._route_publishers: self._route_publishers[route_id].publish(...)
            if (Ref publisher = item_if_in(fast.attr(self, "_route_publishers"_n), route_id))
                publisher.method("publish"_n, processed_msg);
        });
    fast.attr(self, "last_publish_time"_n).set_item(route_id, now.object());
    return none();
}

Ref on_message(const Ctx& c, Handle self, Handle msg, Handle source_topic) {
    DispatchCache& fast = dispatch_cache();
    Ref route_ids = get_or_else(fast.attr(self, "_source_to_routes"_n), source_topic, new_list);
    for_each_in(route_ids, [&](Ref route_id) {
        Ref route = get_or(fast.attr(self, "routes"_n), route_id, Py_None);
        bool eligible = false;
        if (!route_step(c, kRouteError, self, route_id,
                      [&] { eligible = route.truth() && fast.attr(route, "enabled"_n).truth(); }) ||
            !eligible)
            return;
        // self._process_route(msg, route_id, route), called directly when it is ours
        if (!fast.is_own_method(self, "_process_route"_n, impl_of<process_route>))
            self.method("_process_route"_n, msg, route_id, route);
        else if (PyUnicode_CheckExact(route_id))
            process_route(c, self, msg, route_id, route);
        else  // refused by its argument check before its body runs
            route_step(c, kRouteError, self, route_id,
                     [&] { self.method("_process_route"_n, msg, route_id, route); });
    });
    return none();
}

// The subscription callback: lambda msg, topic=<source topic>: node._on_message(msg, topic)
Ref subscription_callback(const Ctx& c, Handle msg, Handle topic) {
    Handle node = c.bound;
    if (PyUnicode_CheckExact(topic) &&
        dispatch_cache().is_own_method(node, "_on_message"_n, impl_of<on_message>))
        return on_message(c, node, msg, topic);
    return node.method("_on_message"_n, msg, topic);
}

// ---------------------------------------------------------------------------
// Class and module

constexpr FunctionSpec relay_methods[] = {
    method<relay_init>("__init__", self_only),
    method<register_sync_route>(
        "register_sync_route", register_params,
        "\n        注册一条同步路由（支持相同源话题的重复注册）\n"
        "\n        Args:\n            route: SyncRoute 对象\n"
        "\n        Returns:\n            True 如果成功，False 如果失败\n        ",
        "bool"),
    method<batch_register>(
        "batch_register", batch_params,
        "\n        批量注册同步路由\n"
        "\n        Args:\n            routes: SyncRoute 列表\n"
        "\n        Returns:\n            成功注册的路由数\n        ",
        "int"),
    method<setup>("setup", self_only, "启动所有订阅"),
    method<setup_source_subscription>("_setup_source_subscription", source_params,
                                      "为源话题创建订阅器（每个源话题只创建一次）"),
    method<setup_route_publisher>("_setup_route_publisher", publisher_params,
                                  "为单条路由设置发布器"),
    method<on_message>(
        "_on_message", on_message_params,
        "\n        接收消息回调（会触发该源话题的所有路由）\n"
        "\n        Args:\n            msg: 接收到的消息\n            source_topic: 源话题名称\n        "),
    method<process_route>(
        "_process_route", process_params,
        "\n        处理单条路由的消息\n"
        "\n        Args:\n            msg: 接收到的消息\n            route_id: 路由 ID\n"
        "            route: 路由配置\n        "),
};

Ref make_sync_route(Module<State>& m) {
    Ref ns = new_dict(), annotations = new_dict();
    for (const Field& f : sync_route_fields) {
        annotations.set_item(str(f.name), str(f.annotation));
        if (f.default_expr) ns.set_item(str(f.name), eval_expression(f.default_expr));
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
