// Objects, names and calls: the vocabulary module code is written in.
//
// A Handle is a borrowed PyObject* with members that read like the Python
// they stand for (o.attr("name"_n), o.method("append"_n, x), f(x, "timeout"_kw = t));
// a Ref is a Handle that owns its reference, so no path (error paths
// included) can leak or double-free it. A failing C-API call throws PyError
// with the Python error already set; the boundary (function wrappers, module
// exec) turns it back into a NULL return. Both convert to PyObject*, so the
// C API takes them as they are.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <type_traits>
#include <utility>

namespace velk {

// Thrown when a Python exception is set and must travel to the boundary.
struct PyError {};

[[noreturn]] inline void throw_error() { throw PyError{}; }

// Throws if a C-API call returning -1 (or any negative) failed.
inline int check(int rc) {
    if (rc < 0) throw_error();
    return rc;
}

// False while a thread that the interpreter is ending at exit unwinds: its
// thread state is gone, and a reference dropped then would reach into the
// finalising interpreter (biased reference counting hands a foreign
// object's release to its owner's queue). Destructors that touch Python
// leave everything as it is in that case; the process is about to end.
// From 3.14 on, the interpreter parks such a thread instead of unwinding it.
inline bool thread_attached() noexcept {
#if PY_VERSION_HEX < 0x030E0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return true;
#endif
}

// ------------------------------------------------------------------ names

// A string literal usable as a template argument.
template <size_t N>
struct Literal {
    char text[N];
    constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
};

// A process-wide interned name. The modules refuse a second interpreter, so a
// name made once stays valid for the life of the process.
inline PyObject* intern(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) throw_error();
    return o;  // kept for good on purpose
}

template <Literal S>
PyObject* interned() {
    static PyObject* const name = intern(S.text);
    return name;
}

// A keyword argument of a call: "timeout"_kw = value.
template <Literal S>
struct Keyword {
    PyObject* value;
    static PyObject* name() { return interned<S>(); }
};

template <Literal S>
struct KeywordName {
    Keyword<S> operator=(PyObject* value) const { return {value}; }
};

class Ref;

// ----------------------------------------------------------------- Handle

class Handle {
public:
    constexpr Handle() noexcept = default;
    constexpr Handle(PyObject* p) noexcept : p_(p) {}
    constexpr operator PyObject*() const noexcept { return p_; }
    PyObject* ptr() const noexcept { return p_; }
    PyTypeObject* type() const noexcept { return Py_TYPE(p_); }

    Ref attr(Handle name) const;                   // o.name
    void set_attr(Handle name, Handle value) const;  // o.name = value
    Ref item(Handle key) const;                    // o[key]
    void set_item(Handle key, Handle value) const;   // o[key] = value
    bool contains(Handle key) const;               // key in o
    Py_ssize_t size() const;                       // len(o)
    bool truth() const;                            // bool(o)
    Ref str() const;                               // str(o)
    Ref format() const;                            // format(o, ""): what f"{o}" inserts
    Ref iter() const;                              // iter(o)

    // o(args...): Handles, then "name"_kw = value keywords.
    template <class... A>
    Ref operator()(const A&... args) const;
    // o.name(args...) through normal attribute lookup, so overrides in
    // subclasses and instance attributes are honoured.
    template <class... A>
    Ref method(Handle name, const A&... args) const;

    // for x in o: f(x), with x a Ref.
    template <class F>
    void for_each(F&& f) const;

protected:
    PyObject* p_ = nullptr;
};

// -------------------------------------------------------------------- Ref

class Ref : public Handle {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : Handle(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : Handle(std::exchange(other.p_, nullptr)) {}
    [[gnu::always_inline]] ~Ref() {
        if (p_ && thread_attached()) Py_DECREF(p_);
    }

    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    // Takes over a new reference; throws if the call that made it failed.
    static Ref steal(PyObject* p) {
        if (!p) throw_error();
        return Ref(p);
    }
    // Takes over a new reference that may legitimately be NULL.
    static Ref steal_or_null(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Py_CLEAR(p_); }
    // For tp_traverse/tp_clear-style code that needs the slot itself.
    PyObject*& slot() noexcept { return p_; }

private:
    explicit Ref(PyObject* p) noexcept : Handle(p) {}
};

// ------------------------------------------------------------ conversions

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref str(const char* utf8) { return Ref::steal(PyUnicode_FromString(utf8)); }
inline Ref str(const char* utf8, Py_ssize_t n) {
    return Ref::steal(PyUnicode_FromStringAndSize(utf8, n));
}
inline Ref from_long(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
inline Ref from_double(double v) { return Ref::steal(PyFloat_FromDouble(v)); }
inline Ref new_dict() { return Ref::steal(PyDict_New()); }
inline Ref new_list() { return Ref::steal(PyList_New(0)); }
// {key: value, ...}, from keys and values in turn
template <class... KeysAndValues>
Ref dict_of(const KeysAndValues&... kv) {
    static_assert(sizeof...(kv) > 0 && sizeof...(kv) % 2 == 0, "keys and values in pairs");
    const Handle items[] = {Handle(kv)...};
    Ref d = new_dict();
    for (size_t i = 0; i < sizeof...(kv); i += 2) d.set_item(items[i], items[i + 1]);
    return d;
}
template <class... A>
Ref tuple(const A&... items) {
    return Ref::steal(PyTuple_Pack(sizeof...(A), static_cast<PyObject*>(Handle(items))...));
}

// UTF-8 view of a str object; valid while the object lives. It may hold NUL
// bytes (never hand it on as a C string without checking the size), and the
// C API keeps this copy inside the string for the string's whole life.
inline const char* utf8(PyObject* s, Py_ssize_t* size = nullptr) {
    const char* p = PyUnicode_AsUTF8AndSize(s, size);
    if (!p) throw_error();
    return p;
}

inline const char* type_name(PyObject* o) {
    // Heap types report their __name__, static ones their bare name.
    const char* full = Py_TYPE(o)->tp_name;
    if (PyType_HasFeature(Py_TYPE(o), Py_TPFLAGS_HEAPTYPE)) return full;
    const char* dot = std::strrchr(full, '.');
    return dot ? dot + 1 : full;
}

// f"..." with UTF-8 text pieces, objects (inserted as format(o, "")) and
// C integers: fstr("Route ", route_id, " is disabled").
template <class... P>
Ref fstr(const P&... parts) {
    auto piece = [](const auto& p) -> PyObject* {
        using T = std::decay_t<decltype(p)>;
        if constexpr (std::is_convertible_v<T, const char*>)
            return PyUnicode_FromString(p);
        else if constexpr (std::is_integral_v<T>)
            return PyUnicode_FromFormat("%lld", static_cast<long long>(p));
        else
            return PyObject_Format(Handle(p), nullptr);
    };
    PyObject* pieces[] = {piece(parts)...};
    Ref joined;
    if (std::find(std::begin(pieces), std::end(pieces), nullptr) == std::end(pieces)) {
        Ref list = Ref::steal(PyList_New(0));
        for (PyObject* p : pieces) check(PyList_Append(list, p));
        joined = Ref::steal_or_null(PyUnicode_Join(interned<"">(), list));
    }
    for (PyObject* p : pieces) Py_XDECREF(p);
    if (!joined) throw_error();
    return joined;
}

// -------------------------------------------------------------- members

inline Ref Handle::attr(Handle name) const { return Ref::steal(PyObject_GetAttr(p_, name)); }
inline void Handle::set_attr(Handle name, Handle value) const {
    check(PyObject_SetAttr(p_, name, value));
}
inline Ref Handle::item(Handle key) const { return Ref::steal(PyObject_GetItem(p_, key)); }
inline void Handle::set_item(Handle key, Handle value) const {
    check(PyObject_SetItem(p_, key, value));
}
inline bool Handle::contains(Handle key) const { return check(PySequence_Contains(p_, key)); }
inline Py_ssize_t Handle::size() const {
    Py_ssize_t n = PyObject_Size(p_);
    if (n < 0) throw_error();
    return n;
}
inline bool Handle::truth() const {
    if (p_ == Py_True) return true;
    if (p_ == Py_False || p_ == Py_None) return false;
    return check(PyObject_IsTrue(p_)) != 0;
}
inline Ref Handle::str() const { return Ref::steal(PyObject_Str(p_)); }
inline Ref Handle::format() const { return Ref::steal(PyObject_Format(p_, nullptr)); }
inline Ref Handle::iter() const { return Ref::steal(PyObject_GetIter(p_)); }

template <class F>
void Handle::for_each(F&& f) const {
    Ref it = iter();
    while (PyObject* item = PyIter_Next(it)) f(Ref::steal(item));
    if (PyErr_Occurred()) throw_error();
}

namespace call_detail {

template <class T>
struct is_keyword : std::false_type {};
template <Literal S>
struct is_keyword<Keyword<S>> : std::true_type {};

template <class... A>
constexpr size_t keyword_count = (size_t(is_keyword<A>::value) + ... + 0);

// True if no positional argument follows a keyword one.
template <class... A>
constexpr bool keywords_last() {
    bool seen = false, ok = true;
    ((is_keyword<A>::value ? void(seen = true) : void(ok = ok && !seen)), ...);
    return ok;
}

template <class A>
PyObject* value_of(const A& a) {
    if constexpr (is_keyword<A>::value)
        return a.value;
    else
        return Handle(a);
}

// The tuple of keyword names of one call signature, made once.
template <class... A>
PyObject* keyword_names() {
    if constexpr (keyword_count<A...> == 0) {
        return nullptr;
    } else {
        static PyObject* const names = [] {
            PyObject* t = PyTuple_New(keyword_count<A...>);
            if (!t) throw_error();
            Py_ssize_t i = 0;
            auto add = [&]<class T>() {
                if constexpr (is_keyword<T>::value)
                    PyTuple_SET_ITEM(t, i++, Py_NewRef(T::name()));
            };
            (add.template operator()<A>(), ...);
            return t;  // kept for good, as interned names are
        }();
        return names;
    }
}

}  // namespace call_detail

template <class... A>
Ref Handle::operator()(const A&... args) const {
    using namespace call_detail;
    static_assert(keywords_last<A...>(), "keyword arguments go after positional ones");
    PyObject* argv[] = {nullptr, value_of(args)...};
    constexpr size_t positional = sizeof...(A) - keyword_count<A...>;
    return Ref::steal(PyObject_Vectorcall(p_, argv + 1,
                                          positional | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          keyword_names<A...>()));
}

template <class... A>
Ref Handle::method(Handle name, const A&... args) const {
    using namespace call_detail;
    static_assert(keywords_last<A...>(), "keyword arguments go after positional ones");
    PyObject* argv[] = {p_, value_of(args)...};
    constexpr size_t positional = 1 + sizeof...(A) - keyword_count<A...>;
    return Ref::steal(PyObject_VectorcallMethod(
        name, argv, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, keyword_names<A...>()));
}

// ---------------------------------------------------- mappings and iteration

// for x in iterable: f(x); a list by index, as its iterator goes (items
// appended meanwhile are reached too), without the iterator.
template <class F>
void for_each_in(Handle iterable, F&& f) {
    if (!PyList_CheckExact(iterable)) return iterable.for_each(f);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable.ptr()); ++i)
        if (Ref item = Ref::steal_or_null(PyList_GetItemRef(iterable, i))) f(std::move(item));
        else return PyErr_Clear();  // shrunk meanwhile: the iterator stops too
}

// mapping.get(key, make_fallback()), the fallback made only when it is used;
// a dict is read directly, anything else answers as its own get would.
template <class MakeFallback>
Ref get_or_else(Handle mapping, Handle key, MakeFallback&& make_fallback) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* v;
        return check(PyDict_GetItemRef(mapping, key, &v)) ? Ref::steal(v) : Ref(make_fallback());
    }
    return mapping.method(interned<"get">(), key, Ref(make_fallback()));
}

// mapping.get(key, fallback)
inline Ref get_or(Handle mapping, Handle key, Handle fallback) {
    return get_or_else(mapping, key, [&] { return Ref::borrow(fallback); });
}

// mapping.get(key, make_fallback()) where only its truth and value matter:
// a dict without the key gives an empty Ref and makes no fallback.
template <class MakeFallback>
Ref get_or_absent(Handle mapping, Handle key, MakeFallback&& make_fallback) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* v;
        check(PyDict_GetItemRef(mapping, key, &v));
        return Ref::steal_or_null(v);
    }
    return mapping.method(interned<"get">(), key, Ref(make_fallback()));
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

// ---------------------------------------------------------- Python forms

inline Ref import(const char* name) { return Ref::steal(PyImport_ImportModule(name)); }
inline Ref import_from(const char* module, const char* name) {
    return Ref::steal(PyObject_GetAttrString(import(module), name));
}

// The value of `name` in a namespace dictionary, or the NameError that
// Python's own lookup of a missing name raises.
inline Ref name_in(Handle namespace_dict, Handle name) {
    PyObject* value;
    if (!check(PyDict_GetItemRef(namespace_dict, name, &value))) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        throw_error();
    }
    return Ref::steal(value);
}

// A name of the builtins module, as a module's code finds it when its own
// namespace has no such name.
inline Ref builtin(Handle name) { return name_in(PyEval_GetBuiltins(), name); }

// eval(expr) with nothing but the builtins in scope: a default value's text.
inline Ref eval_expression(const char* expr) {
    Ref globals = Ref::steal(PyDict_New());
    check(PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()));
    return Ref::steal(PyRun_String(expr, Py_eval_input, globals, globals));
}

// super(cls, self)
inline Ref super(Handle cls, Handle self) {
    return Handle(reinterpret_cast<PyObject*>(&PySuper_Type))(cls, self);
}

// os.getenv(name, fallback), looked up in the os module at each call.
inline Ref getenv(const char* name, Handle fallback = Py_None) {
    return import("os").method(interned<"getenv">(), str(name), fallback);
}

}  // namespace velk

template <velk::Literal S>
PyObject* operator""_n() {
    return velk::interned<S>();
}

// A keyword argument: f(x, "timeout"_kw = t).
template <velk::Literal S>
constexpr velk::KeywordName<S> operator""_kw() {
    return {};
}
