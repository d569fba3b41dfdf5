// Caches for a per-message dispatch path.
//
// They buy skipping the interpreter's generic machinery where its answer is
// known, and must always equal the Python they stand for: `o.name`
// (fast.attr, fast.node_attr), `self.method(...)` resolving to this module's
// own function (fast.is_own_method), `time.time()` as the module's code finds
// it (fast.time_time), and the float arithmetic and comparisons of a rate
// check (Number). A type's answer is kept with its version tag, which the
// interpreter changes on every modification of the type or its bases; a
// node's instance attributes and the clock's two names are kept while a
// dictionary watcher, which runs before each change on the changing thread,
// has not bumped the generation. Everything cached is per thread and holds
// its own references, so threads running at once without the GIL never see
// another thread's half-written entry or an object freed under them.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>

#include "function.hpp"

namespace velk {

namespace dispatch_detail {

inline constexpr size_t kMaxNames = 8;

// The process-wide part: written once while the module executes, then only
// read, except the generation, which the watcher bumps.
struct Shared {
    std::atomic<uint64_t> generation{1};
    int watcher = -1;
    PyObject* names[kMaxNames] = {};  // watched names: the node's and "time"
    size_t name_count = 0;
    PyTypeObject* function_type = nullptr;
    PyObject* module_dict = nullptr;  // where the module's code finds `time`
    PyObject* time_module = nullptr;  // what it must be for the direct clock
    PyObject* time_dict = nullptr;
    PyObject* builtin_time = nullptr;
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
inline bool plain_attribute(PyTypeObject* tp, PyObject* name, Impl) {
    if (!generic_with_dict(tp)) return false;
    Ref descr = type_lookup(tp, name);
    PyTypeObject* dt = descr ? Py_TYPE(descr.ptr()) : nullptr;
    return !dt || (PyType_HasFeature(dt, Py_TPFLAGS_IMMUTABLETYPE) && !dt->tp_descr_set);
}

// o.name resolves, in the type, to this module's function made with `impl`.
inline bool own_method(PyTypeObject* tp, PyObject* name, Impl impl) {
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

    bool says(PyTypeObject* tp, PyObject* name, bool (*ask)(PyTypeObject*, PyObject*, Impl),
              Impl impl = nullptr) {
        unsigned version = std::atomic_ref(tp->tp_version_tag).load(std::memory_order_acquire);
        size_t home = ((uintptr_t(tp) >> 6) * 31 + (uintptr_t(name) >> 4)) % N;
        for (size_t i = home; i < home + N; ++i) {
            TypeEntry& e = entries[i % N];
            if (e.type == tp && e.name == name) {
                if (version != 0 && e.version == version) return e.yes;
                return e = remember(tp, name, version, ask, impl), e.yes;
            }
            if (!e.type) return e = remember(tp, name, version, ask, impl), e.yes;
        }
        TypeEntry& e = entries[home];  // full: the home entry goes
        return e = remember(tp, name, version, ask, impl), e.yes;
    }

    // The tag is read before the lookup: a change meanwhile leaves a tag
    // that no longer matches. 0: not cacheable, asked again next time.
    static TypeEntry remember(PyTypeObject* tp, PyObject* name, unsigned version,
                              bool (*ask)(PyTypeObject*, PyObject*, Impl), Impl impl) {
        return TypeEntry{tp, name, version, ask(tp, name, impl)};
    }
};

// True if o's truth test and its comparison with a number run no Python
// code: a float, an int, a singleton, or a type with neither truth slots nor
// a comparison of its own (a function, a method).
inline bool tests_run_no_code(PyObject* o) {
    if (PyFloat_CheckExact(o) || PyLong_CheckExact(o) || o == Py_None || PyBool_Check(o))
        return true;
    PyTypeObject* tp = Py_TYPE(o);
    return !(tp->tp_as_number && tp->tp_as_number->nb_bool) &&
           !(tp->tp_as_mapping && tp->tp_as_mapping->mp_length) &&
           !(tp->tp_as_sequence && tp->tp_as_sequence->sq_length) &&
           tp->tp_richcompare == PyBaseObject_Type.tp_richcompare;
}

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

inline int name_index(PyObject* name) {
    for (size_t i = 0; i < shared.name_count; ++i)
        if (shared.names[i] == name) return int(i);
    return -1;
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

// The per-thread caches of a dispatch path; dispatch_cache() gives the
// calling thread's.
class DispatchCache {
public:
    DispatchCache() = default;
    DispatchCache(const DispatchCache&) = delete;
    ~DispatchCache() {
        // At a thread's end its thread state is gone: the references are
        // left as they are rather than released into no thread.
        if (!PyThreadState_GetUnchecked() || !thread_attached()) return;
        for (PyObject*& v : values_) Py_CLEAR(v);
    }

    // Watches the module's globals and the time module, and names the node
    // attributes and methods that node_attr and is_own_method serve.
    static void install(PyObject* module, PyObject* function_type, PyObject* time_module,
                        std::initializer_list<PyObject*> node_names) {
        using dispatch_detail::shared;
        static_assert(dispatch_detail::kMaxNames >= 2);
        for (PyObject* name : node_names)
            if (shared.name_count + 1 < dispatch_detail::kMaxNames)
                shared.names[shared.name_count++] = name;
        shared.names[shared.name_count++] = interned<"time">();
        shared.function_type = reinterpret_cast<PyTypeObject*>(function_type);
        shared.time_module = Py_NewRef(time_module);  // both kept for good, as names are
        shared.builtin_time = Ref::steal(PyObject_GetAttr(time_module, interned<"time">())).release();
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
        if (plain_.says(o.type(), name, dispatch_detail::plain_attribute)) {
            Ref dict = instance_dict(o);
            PyObject* v;
            if (dict && check(PyDict_GetItemRef(dict, name, &v))) {
                last_entry_ = {o, name, v};
                return Ref::steal(v);
            }
        }
        return o.attr(name);
    }

    // o.name read again right after a read that gave `previous`, with only
    // a test of `previous` in between: that read finds the same object when
    // the first was o's instance-dictionary entry and the test ran no code.
    Ref attr_again(Handle o, Handle name, Handle previous) {
        if (last_entry_.o == o && last_entry_.name == name && last_entry_.value == previous &&
            dispatch_detail::tests_run_no_code(previous))
            return Ref::borrow(previous);
        return attr(o, name);
    }

    // node.name, for the node attributes named at install.
    Ref node_attr(Handle node, Handle name) {
        int i = dispatch_detail::name_index(name);
        if (i >= 0 && plain_.says(node.type(), name, dispatch_detail::plain_attribute) &&
            view_of(node) && values_[i])
            return Ref::borrow(values_[i]);
        return node.attr(name);
    }

    // True if node.name is this module's function made with `impl` (no
    // override in the type, no instance attribute of that name): what
    // node.method(name, ...) would call, with node in front.
    bool is_own_method(Handle node, Handle name, Impl impl) {
        if (!own_.says(node.type(), name, dispatch_detail::own_method, impl)) return false;
        int i = dispatch_detail::name_index(name);
        if (i >= 0 && view_of(node)) return values_[i] == nullptr;
        Ref dict = instance_dict(node);
        if (!dict) return true;
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
        Ref time_module = module_global(module, interned<"time">());
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
    // o's instance dictionary (None-free: nullptr when o has none).
    static Ref instance_dict(Handle o) {
        Ref dict = Ref::steal_or_null(PyObject_GenericGetDict(o, nullptr));
        if (!dict) PyErr_Clear();
        return dict;
    }

    // True if values_ is the view of node's instance dictionary as it is
    // now; fills it anew when it was not.
    bool view_of(Handle node) {
        using dispatch_detail::shared;
        if (view_dict_ && view_dict_ == dispatch_detail::instance_dict_identity(node) &&
            view_generation_ == shared.generation.load(std::memory_order_acquire))
            return true;
        if (shared.watcher < 0) return false;
        Ref dict = instance_dict(node);
        if (!dict) return false;
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
        std::copy(std::begin(values_), std::end(values_), old);
        std::copy(std::begin(fresh), std::end(fresh), values_);
        view_dict_ = failed ? nullptr : dict.ptr();
        view_generation_ = generation;
        for (PyObject* v : old) Py_XDECREF(v);  // may run code, even a nested dispatch
        if (failed) throw_error();
        return view_dict_ == dict && view_generation_ == generation;
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

    static Ref module_global(Handle module, PyObject* name) {
        PyObject* value;
        if (check(PyDict_GetItemRef(PyModule_GetDict(module), name, &value)) == 0) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            throw_error();
        }
        return Ref::steal(value);
    }

    struct Entry {
        PyObject *o, *name, *value;  // identity only
    } last_entry_ = {};
    dispatch_detail::TypeTable<16> plain_;
    dispatch_detail::TypeTable<4> own_;
    PyObject* view_dict_ = nullptr;  // identity only; its freeing bumps the generation
    uint64_t view_generation_ = 0;
    PyObject* values_[dispatch_detail::kMaxNames] = {};  // owned; nullptr: not in the dictionary
    uint64_t clock_generation_ = 0;
};

namespace dispatch_detail {

// The thread's caches, made at its first dispatch and freed at its end.
[[gnu::tls_model("initial-exec")]] inline thread_local DispatchCache* thread_cache = nullptr;

struct ThreadCacheOwner {
    ~ThreadCacheOwner() { delete std::exchange(thread_cache, nullptr); }
};

}  // namespace dispatch_detail

inline DispatchCache& dispatch_cache() {
    if (dispatch_detail::thread_cache) [[likely]]
        return *dispatch_detail::thread_cache;
    static thread_local dispatch_detail::ThreadCacheOwner owner;
    return *(dispatch_detail::thread_cache = new DispatchCache);
}

// mapping.get(key, fallback)
inline Ref get_or(Handle mapping, Handle key, Handle fallback) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* v;
        return check(PyDict_GetItemRef(mapping, key, &v)) ? Ref::steal(v) : Ref::borrow(fallback);
    }
    return mapping.method(interned<"get">(), key, fallback);
}

// mapping[key] if key in mapping, else nothing (an empty Ref).
inline Ref item_if_in(Handle mapping, Handle key) {
    PyObject* v = nullptr;
    if (PyDict_CheckExact(mapping)) check(PyDict_GetItemRef(mapping, key, &v));
    else if (mapping.contains(key)) return mapping.item(key);
    return Ref::steal_or_null(v);
}

// mapping[key], or fallback where it raises KeyError.
inline Ref item_or(Handle mapping, Handle key, Handle fallback) {
    if (PyDict_CheckExact(mapping)) return get_or(mapping, key, fallback);
    Ref v = Ref::steal_or_null(PyObject_GetItem(mapping, key));
    if (v) return v;
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw_error();
    PyErr_Clear();
    return Ref::borrow(fallback);
}

}  // namespace velk
