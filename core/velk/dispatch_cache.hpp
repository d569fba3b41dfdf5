// Caches for a per-message dispatch path.
//
// They buy skipping the interpreter's generic machinery where its answer is
// already known, and must always equal the Python they stand for: `o.name`
// (fast.attr), `o.name if test(o.name)` reading o.name twice (fast.attr_if),
// `self.name(...)` resolving to this module's own function
// (fast.is_own_method), `time.time()` as the module's code finds it
// (fast.time_time), and the float arithmetic and comparisons of a rate check
// (Number). What a type says is
// kept with its version tag, which the interpreter changes on every change
// of the type or its bases; an object's entries of the watched names, and
// the clock's two names, are kept until a dictionary watcher (run before
// each change, on the changing thread) bumps the generation. Everything
// cached is per thread and owns its references: threads running at once
// without the GIL never read another's half-written entry, nor an object
// that a dictionary update on another thread has freed. The thread state
// owns a thread's caches and releases them with it (dispatch_cache()).
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>

#include "module.hpp"

namespace velk {

namespace dispatch_detail {

inline constexpr size_t kMaxNames = 12;
inline constexpr size_t kNameSlots = 32;

// The process-wide part: written once while the module executes, then only
// read, except the generation, which the watcher bumps.
struct Shared {
    std::atomic<uint64_t> generation{1};
    int watcher = -1;
    PyObject* names[kMaxNames] = {};  // watched names: the module's and "time"
    size_t name_count = 0;
    std::pair<PyObject*, int> name_table[kNameSlots] = {};  // see name_index
    PyTypeObject* function_type = nullptr;
    PyObject* module_dict = nullptr;  // where the module's code finds `time`
    PyObject* time_module = nullptr;  // what it must be for the direct clock
    PyObject* time_dict = nullptr;
    PyObject* builtin_time = nullptr;
    PyObject* thread_key = nullptr;  // the caches' key in each thread state's dictionary
};
inline Shared shared;

// The interpreter's private API, in one place: the lookup through the type's
// method resolution order that attribute access itself makes, and where an
// object keeps its instance dictionary (read for its identity only).
inline PyObject* instance_dict_identity(PyObject* o) {
    PyObject** dp = _PyObject_GetDictPtr(o);
    return dp ? std::atomic_ref(*dp).load(std::memory_order_acquire) : nullptr;
}

inline Ref type_lookup(PyTypeObject* tp, PyObject* name) {
    Ref r = Ref::steal_or_null(_PyType_LookupRef(tp, name));
    if (!r && PyErr_Occurred()) throw_error();
    return r;
}

inline bool generic_with_dict(PyTypeObject* tp) {
    return tp->tp_getattro == PyObject_GenericGetAttr &&
           ((tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) || tp->tp_dictoffset != 0);
}

// o.name reads o's instance dictionary first and falls back to nothing in
// the type that could intercept it (no data descriptor, whose type could not
// gain __set__ later either).
inline bool plain_attribute(PyTypeObject* tp, PyObject* name, Invoker) {
    if (!generic_with_dict(tp)) return false;
    Ref descr = type_lookup(tp, name);
    PyTypeObject* dt = descr ? Py_TYPE(descr.ptr()) : nullptr;
    return !dt || (PyType_HasFeature(dt, Py_TPFLAGS_IMMUTABLETYPE) && !dt->tp_descr_set);
}

// o.name resolves, in the type, to this module's function made with `impl`.
inline bool own_method(PyTypeObject* tp, PyObject* name, Invoker impl) {
    if (!generic_with_dict(tp)) return false;
    Ref descr = type_lookup(tp, name);
    return descr && Py_TYPE(descr.ptr()) == shared.function_type &&
           reinterpret_cast<detail::FunctionObject*>(descr.ptr())->desc->impl == impl;
}

// A type's answer about one name, valid while the type's version tag is.
struct TypeEntry {
    PyTypeObject* type = nullptr;
    PyObject* name = nullptr;
    unsigned version = 0;
    bool yes = false;
};

template <size_t N>
struct TypeTable {
    static_assert((N & (N - 1)) == 0, "a power of two");
    TypeEntry entries[N];

    bool says(PyTypeObject* tp, PyObject* name, bool (*ask)(PyTypeObject*, PyObject*, Invoker),
              Invoker impl = nullptr) {
        unsigned version = std::atomic_ref(tp->tp_version_tag).load(std::memory_order_acquire);
        for (size_t i = home(tp, name), end = i + N; i < end; ++i) {
            const TypeEntry& e = entries[i % N];
            if (e.type == tp && e.name == name) {
                if (version != 0 && e.version == version) [[likely]]
                    return e.yes;
                break;
            }
            if (!e.type) break;
        }
        return remember(tp, name, version, ask, impl);
    }

private:
    static size_t home(PyTypeObject* tp, PyObject* name) {
        return ((uintptr_t(tp) >> 6) * 31 + (uintptr_t(name) >> 4)) % N;
    }

    // The tag is read before the lookup: a change meanwhile leaves a tag
    // that no longer matches. 0: not cacheable, asked again next time.
    [[gnu::noinline]] bool remember(PyTypeObject* tp, PyObject* name, unsigned version,
                                    bool (*ask)(PyTypeObject*, PyObject*, Invoker), Invoker impl) {
        size_t slot = home(tp, name);
        for (size_t i = slot; i < slot + N; ++i) {  // the first free or same entry, else home
            const TypeEntry& e = entries[i % N];
            if (!e.type || (e.type == tp && e.name == name)) {
                slot = i % N;
                break;
            }
        }
        bool yes = ask(tp, name, impl);
        entries[slot] = TypeEntry{tp, name, version, yes};
        return yes;
    }
};

inline bool key_is(PyObject* key, PyObject* name) {
    if (key == name) return true;
    if (!key || !PyUnicode_Check(key)) return true;  // cannot tell: assume it is
    return PyUnicode_Compare(key, name) == 0;
}

inline int on_dict_event(PyDict_WatchEvent event, PyObject*, PyObject* key, PyObject*) {
    bool one_key = event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED ||
                   event == PyDict_EVENT_DELETED;
    bool affected = !one_key;
    for (size_t i = 0; i < shared.name_count && !affected; ++i)
        affected = key_is(key, shared.names[i]);
    if (affected) shared.generation.fetch_add(1);
    return 0;
}

// The names' places in shared.names, by a table on the name's address.
inline size_t name_slot(PyObject* name) { return (uintptr_t(name) >> 4) % kNameSlots; }

inline int name_index(PyObject* name) {
    for (size_t i = name_slot(name);; i = (i + 1) % kNameSlots) {
        const auto& [key, index] = shared.name_table[i];
        if (key == name || !key) return key ? index : -1;
    }
}

}  // namespace dispatch_detail

// A number of a rate check: a C double while the Python value is a float
// (where Python's own arithmetic is plain double arithmetic), the object
// otherwise; the float object is made only when asked for.
class Number {
public:
    Number(double v) : d_(v), is_float_(true) {}
    Number(int v) : obj_(from_long(v)) {}
    Number(Ref o) : obj_(std::move(o)) {
        is_float_ = PyFloat_CheckExact(obj_.ptr());
        if (is_float_) d_ = PyFloat_AS_DOUBLE(obj_.ptr());
    }
    Handle object() const {
        if (!obj_) obj_ = from_double(d_);
        return obj_;
    }

    friend Number operator-(const Number& a, const Number& b) {
        double x, y;
        if (a.is_float_ && b.as_double(&y)) return a.d_ - y;
        if (b.is_float_ && a.as_double(&x)) return x - b.d_;
        return Ref::steal(PyNumber_Subtract(a.object(), b.object()));
    }
    friend Number operator/(const Number& a, const Number& b) {
        double x, y;
        if (a.as_double(&x) && b.as_double(&y) && y != 0.0) return x / y;
        return Ref::steal(PyNumber_TrueDivide(a.object(), b.object()));
    }
    friend bool operator<(const Number& a, const Number& b) { return compare(a, b, Py_LT); }
    friend bool operator>(const Number& a, const Number& b) { return compare(a, b, Py_GT); }

private:
    static bool compare(const Number& a, const Number& b, int op) {
        double x, y;
        if (a.as_exact_double(&x) && b.as_exact_double(&y)) return op == Py_LT ? x < y : x > y;
        return check(PyObject_RichCompareBool(a.object(), b.object(), op)) != 0;
    }
    // Python converts an int operand of float arithmetic with PyLong_AsDouble
    // (OverflowError "int too large to convert to float" when it cannot).
    bool as_double(double* out) const {
        if (is_float_) return *out = d_, true;
        if (!PyLong_CheckExact(obj_.ptr())) return false;
        *out = PyLong_AsDouble(obj_);
        if (*out == -1.0 && PyErr_Occurred()) throw_error();
        return true;
    }
    // A float, or an int of one digit, which a double holds exactly (so
    // comparing is exact).
    bool as_exact_double(double* out) const {
        if (is_float_) return *out = d_, true;
        if (!PyLong_CheckExact(obj_.ptr()) || !PyUnstable_Long_IsCompact(
                                                   reinterpret_cast<PyLongObject*>(obj_.ptr())))
            return false;
        *out = double(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj_.ptr())));
        return true;
    }

    mutable Ref obj_;
    double d_ = 0.0;
    bool is_float_ = false;
};

// The view of one object's instance dictionary: its entries of the watched
// names (owned; nullptr: not there) and what its type says of them.
struct InstanceView {
    PyObject* dict = nullptr;  // identity only; its freeing bumps the generation
    uint64_t generation = 0;
    PyTypeObject* type = nullptr;  // identity only, as the dictionary
    unsigned version = 0;
    uint32_t plain = 0;  // bit i: names[i] is a plain attribute of the type
    PyObject* values[dispatch_detail::kMaxNames] = {};

    bool shows(PyTypeObject* tp, PyObject* d) const {
        return d && d == dict &&
               generation == dispatch_detail::shared.generation.load(std::memory_order_acquire) &&
               tp == type && version != 0 &&
               version == std::atomic_ref(tp->tp_version_tag).load(std::memory_order_acquire);
    }
};

// The per-thread caches of a dispatch path; dispatch_cache() gives the
// calling thread's.
class DispatchCache {
public:
    DispatchCache() = default;
    DispatchCache(const DispatchCache&) = delete;
    // Run when the thread state that owns the caches is cleared (see
    // dispatch_cache()), attached: on the owning thread at its end, or on
    // the thread that finalises the interpreter or survives a fork.
    ~DispatchCache() {
        for (InstanceView& view : views_)
            for (PyObject*& v : view.values) Py_CLEAR(v);
    }

    // Watches the module's globals and the time module, and names the
    // instance attributes that attr and is_own_method serve from views.
    static void install(PyObject* module, PyObject* function_type, PyObject* time_module,
                        std::initializer_list<PyObject*> names) {
        using dispatch_detail::shared;
        for (PyObject* name : names)
            if (shared.name_count + 1 < dispatch_detail::kMaxNames)
                shared.names[shared.name_count++] = name;
        shared.names[shared.name_count++] = interned<"time">();
        for (size_t n = 0; n < shared.name_count; ++n) {
            size_t i = dispatch_detail::name_slot(shared.names[n]);
            while (shared.name_table[i].first) i = (i + 1) % dispatch_detail::kNameSlots;
            shared.name_table[i] = {shared.names[n], int(n)};
        }
        shared.thread_key = PyUnicode_FromFormat("%U dispatch caches", Ref::steal(
                                                     PyModule_GetNameObject(module)).ptr());
        if (!shared.thread_key) throw_error();
        shared.function_type = reinterpret_cast<PyTypeObject*>(function_type);
        shared.time_module = Py_NewRef(time_module);  // both kept for good, as names are
        shared.builtin_time = PyObject_GetAttr(time_module, interned<"time">());
        if (!shared.builtin_time) throw_error();
        shared.watcher = PyDict_AddWatcher(dispatch_detail::on_dict_event);
        if (shared.watcher < 0) {  // none free: everything is looked up every time
            PyErr_Clear();
            return;
        }
        shared.module_dict = PyModule_GetDict(module);
        shared.time_dict = PyModule_GetDict(time_module);
        check(PyDict_Watch(shared.watcher, shared.module_dict));
        check(PyDict_Watch(shared.watcher, shared.time_dict));
    }

    // o.name
    Ref attr(Handle o, Handle name) {
        last_served_ = nullptr;
        int i = dispatch_detail::name_index(name);
        if (i >= 0)
            if (const InstanceView* view = view_of(o);
                view && (view->plain >> i & 1) && view->values[i]) {
                last_served_ = view->values[i];
                last_generation_ = view->generation;
                return Ref::borrow(view->values[i]);
            }
        return o.attr(name);
    }

    // o.name put to a test now and read again for its use, as
    // `if test(o.name): use(o.name)` reads it twice.
    class Tested {
    public:
        Tested() = default;
        explicit operator bool() const { return passed_; }
        // o.name again: the object tested, when nothing can have changed it since.
        Ref read_again() const { return cache_->attr_again(o_, name_, first_); }

    private:
        friend class DispatchCache;
        DispatchCache* cache_ = nullptr;
        Handle o_, name_;
        Ref first_;
        bool passed_ = false;
    };

    // `test` is a truth test (the default) or a comparison with a number.
    template <class Test>
    Tested attr_tested(Handle o, Handle name, Test&& test) {
        Tested t;
        t.first_ = attr(o, name);
        t.passed_ = test(t.first_);
        t.cache_ = this, t.o_ = o, t.name_ = name;
        return t;
    }
    Tested attr_tested(Handle o, Handle name) {
        return attr_tested(o, name, [](const Ref& v) { return v.truth(); });
    }

    // True if node.name is this module's function made with `impl` (no
    // override in the type, no instance attribute of that name): what
    // node.method(name, ...) would call, with node in front.
    bool is_own_method(Handle node, Handle name, Invoker impl) {
        if (!own_.says(node.type(), name, dispatch_detail::own_method, impl)) return false;
        int i = dispatch_detail::name_index(name);
        if (const InstanceView* view = i >= 0 ? view_of(node) : nullptr) return !view->values[i];
        Ref dict = Ref::steal_or_null(PyObject_GenericGetDict(node, nullptr));
        if (!dict) return PyErr_Clear(), true;
        PyObject* v;
        bool shadowed = check(PyDict_GetItemRef(dict, name, &v));
        Py_XDECREF(v);
        return !shadowed;
    }

    // time.time(), the module global `time` and its attribute looked up as
    // the module's code would.
    Number time_time(Handle module) {
        using dispatch_detail::shared;
        if (clock_generation_ == shared.generation.load(std::memory_order_acquire) &&
            Py_IS_TYPE(shared.time_module, &PyModule_Type))
            return builtin_clock();
        if (confirm_builtin_clock()) return builtin_clock();
        Ref time_module = velk::module_global(module, interned<"time">());
        Ref fn;
        if (PyModule_CheckExact(time_module)) {  // a plain module's attribute is its entry
            PyObject* f;
            if (check(PyDict_GetItemRef(PyModule_GetDict(time_module), interned<"time">(), &f)))
                fn = Ref::steal(f);
        }
        if (!fn) fn = time_module.attr(interned<"time">());
        if (fn == shared.builtin_time) return builtin_clock();
        return fn();
    }

private:
    static constexpr size_t kViews = 32;

    // The view of o's instance dictionary as it is now, filled anew when
    // needed; nullptr when o has none or no watcher could be had.
    const InstanceView* view_of(Handle o) {
        PyObject* dict = dispatch_detail::instance_dict_identity(o);
        size_t slot = (uintptr_t(dict) >> 4) * 0x9E3779B97F4A7C15ull >> 59;  // 0..31
        for (size_t way = 0; way < 2; ++way)
            if (views_[(slot + way) % kViews].shows(o.type(), dict)) [[likely]]
                return &views_[(slot + way) % kViews];
        if (!dict || dispatch_detail::shared.watcher < 0) return nullptr;
        // Two ways, taken in turn: two dictionaries of one slot do not push
        // each other out.
        size_t way = next_way_[slot];
        next_way_[slot] = !way;
        return fill(o, views_[(slot + way) % kViews]);
    }

    [[gnu::noinline]] const InstanceView* fill(Handle o, InstanceView& view) {
        using dispatch_detail::shared;
        Ref dict = Ref::steal_or_null(PyObject_GenericGetDict(o, nullptr));
        if (!dict) return PyErr_Clear(), nullptr;
        // What the type says first, its tag read before (see TypeTable).
        PyTypeObject* tp = o.type();
        unsigned version = std::atomic_ref(tp->tp_version_tag).load(std::memory_order_acquire);
        uint32_t plain = 0;
        for (size_t i = 0; i < shared.name_count; ++i)
            plain |= uint32_t(dispatch_detail::plain_attribute(tp, shared.names[i], nullptr)) << i;
        PyObject* fresh[dispatch_detail::kMaxNames] = {};
        uint64_t generation = 0;
        bool failed = false;
        // Under the dictionary's lock, which a change holds from its watcher
        // call to its end: the generation read goes with the entries read.
        Py_BEGIN_CRITICAL_SECTION(dict);
        generation = shared.generation.load(std::memory_order_acquire);
        failed = PyDict_Watch(shared.watcher, dict) < 0;
        for (size_t i = 0; i < shared.name_count && !failed; ++i)
            failed = PyDict_GetItemRef(dict, shared.names[i], &fresh[i]) < 0;
        Py_END_CRITICAL_SECTION();
        PyObject* old[dispatch_detail::kMaxNames];
        std::copy(std::begin(view.values), std::end(view.values), old);
        std::copy(std::begin(fresh), std::end(fresh), view.values);
        view.dict = failed ? nullptr : dict.ptr();
        view.generation = generation;
        view.type = tp;
        view.version = version;
        view.plain = plain;
        for (PyObject* v : old) Py_XDECREF(v);  // may run code, even a nested dispatch
        if (failed) throw_error();
        return view.shows(tp, dict) ? &view : nullptr;
    }

    // True if the module global `time` is the time module imported at load
    // and its `time` the built-in, as read together with the generation.
    bool confirm_builtin_clock() {
        using dispatch_detail::shared;
        if (shared.watcher < 0) return false;
        PyObject *module = nullptr, *fn = nullptr;
        uint64_t generation = 0;
        int found = 0;
        Py_BEGIN_CRITICAL_SECTION2(shared.module_dict, shared.time_dict);
        generation = shared.generation.load(std::memory_order_acquire);
        found = PyDict_GetItemRef(shared.module_dict, interned<"time">(), &module);
        if (found > 0 && module == shared.time_module)
            found = PyDict_GetItemRef(shared.time_dict, interned<"time">(), &fn);
        Py_END_CRITICAL_SECTION2();
        if (found < 0) PyErr_Clear();  // the full lookup that follows raises it again
        bool builtin = fn && fn == shared.builtin_time && Py_IS_TYPE(module, &PyModule_Type);
        Py_XDECREF(module);
        Py_XDECREF(fn);
        if (builtin) clock_generation_ = generation;
        return builtin;
    }

    // What the built-in time.time() computes, without the call and the float:
    // PyTime_Time, then PyTime_AsSecondsDouble inlined.
    static Number builtin_clock() {
        PyTime_t t;
        if (PyTime_Time(&t) < 0) throw_error();
        constexpr PyTime_t ns_per_s = 1000000000;
        return t % ns_per_s == 0 ? double(t / ns_per_s) : double(t) / 1e9;
    }

    // o.name read again right after `first = attr(o, name)` and a test of
    // `first` (a truth test, a comparison with a number): the same object
    // when that read came from the instance dictionary and the test could
    // run no Python code, so nothing can have changed the entry since.
    Ref attr_again(Handle o, Handle name, Handle first) {
        if (first == last_served_ && runs_no_code(first) &&
            last_generation_ == dispatch_detail::shared.generation.load(std::memory_order_acquire))
            return Ref::borrow(first);
        return attr(o, name);
    }

    // True if testing o (its truth, a comparison with a number) runs no
    // Python code: a float, an int, a singleton, or a type without the
    // slots a truth test calls (a function, say).
    static bool runs_no_code(Handle o) {
        if (PyFloat_CheckExact(o) || PyLong_CheckExact(o)) return true;
        if (o == Py_True || o == Py_False || o == Py_None) return true;
        PyTypeObject* tp = o.type();
        return !(tp->tp_as_number && tp->tp_as_number->nb_bool) &&
               !(tp->tp_as_mapping && tp->tp_as_mapping->mp_length) &&
               !(tp->tp_as_sequence && tp->tp_as_sequence->sq_length) &&
               tp->tp_richcompare == PyBaseObject_Type.tp_richcompare;
    }

    PyObject* last_served_ = nullptr;  // what the last attr gave from a view (identity only)
    uint64_t last_generation_ = 0;
    dispatch_detail::TypeTable<4> own_;
    InstanceView views_[kViews];
    bool next_way_[kViews] = {};
    uint64_t clock_generation_ = 0;
};

namespace dispatch_detail {

// The calling thread's caches, for the per-message path. Not the owner:
// the thread state's dictionary (PyThreadState_GetDict) holds them in a
// capsule, so they are released, references and all, when the interpreter
// clears that thread state: at the thread's end (also a thread that only
// borrowed a thread state, PyGILState_Release), at exit, after a fork.
[[gnu::tls_model("initial-exec")]] inline thread_local DispatchCache* thread_cache = nullptr;

inline constexpr char kCapsuleName[] = "velk.dispatch_cache";

inline void release_thread_cache(PyObject* capsule) noexcept {
    auto* cache = static_cast<DispatchCache*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (!cache) return PyErr_Clear();
    // Forgotten first: releasing may run code, even a dispatch, which then
    // makes caches of its own. Only the owning thread can hold this one, so
    // another thread clearing it leaves its own pointer alone.
    if (thread_cache == cache) thread_cache = nullptr;
    delete cache;
}

// The caches the thread state's dictionary holds, or new ones put there.
[[gnu::noinline]] inline DispatchCache& attach_thread_cache() {
    PyObject* thread_dict = PyThreadState_GetDict();  // borrowed
    if (!thread_dict) {
        PyErr_SetString(PyExc_RuntimeError, "no thread state to keep the dispatch caches in");
        throw_error();
    }
    PyObject* found;
    if (check(PyDict_GetItemRef(thread_dict, shared.thread_key, &found))) {
        Ref capsule = Ref::steal(found);
        if (PyCapsule_IsValid(capsule, kCapsuleName))
            return *(thread_cache = static_cast<DispatchCache*>(
                          PyCapsule_GetPointer(capsule, kCapsuleName)));
    }
    auto cache = std::make_unique<DispatchCache>();
    Ref capsule = Ref::steal(PyCapsule_New(cache.get(), kCapsuleName, release_thread_cache));
    DispatchCache* made = cache.release();  // the capsule's now
    check(PyDict_SetItem(thread_dict, shared.thread_key, capsule));
    return *(thread_cache = made);
}

}  // namespace dispatch_detail

inline DispatchCache& dispatch_cache() {
    if (dispatch_detail::thread_cache) [[likely]]
        return *dispatch_detail::thread_cache;
    return dispatch_detail::attach_thread_cache();
}

}  // namespace velk
