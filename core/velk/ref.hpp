// Owned references and error propagation for the extension modules.
//
// Every new reference lives in a Ref, so no path (error paths included) can
// leak or double-free it. A failing C-API call throws PyError with the Python
// error already set; the boundary (function wrappers, module exec) turns it
// back into a NULL return.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <iterator>
#include <utility>

namespace velk {

// Thrown when a Python exception is set and must travel to the boundary.
struct PyError {};

[[noreturn]] inline void throw_error() { throw PyError{}; }

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

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~Ref() {
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
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Py_CLEAR(p_); }
    // For tp_traverse/tp_clear-style code that needs the slot itself.
    PyObject*& slot() noexcept { return p_; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }

// Throws if a C-API call returning -1 (or any negative) failed.
inline int check(int rc) {
    if (rc < 0) throw_error();
    return rc;
}

inline bool is_true(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }

inline Ref str(const char* utf8) { return Ref::steal(PyUnicode_FromString(utf8)); }
inline Ref str(const char* utf8, Py_ssize_t n) {
    return Ref::steal(PyUnicode_FromStringAndSize(utf8, n));
}
inline Ref to_str(PyObject* o) { return Ref::steal(PyObject_Str(o)); }
inline Ref from_long(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
inline Ref from_double(double v) { return Ref::steal(PyFloat_FromDouble(v)); }

// UTF-8 view of a str object; valid while the object lives. It may hold NUL
// bytes (never hand it on as a C string without checking the size), and the
// C API keeps this copy inside the string for the string's whole life.
inline const char* utf8(PyObject* s, Py_ssize_t* size = nullptr) {
    const char* p = PyUnicode_AsUTF8AndSize(s, size);
    if (!p) throw_error();
    return p;
}

// A process-wide interned name. The modules refuse a second interpreter, so a
// name made once stays valid for the life of the process.
inline PyObject* intern(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) throw_error();
    return o;  // kept for good on purpose
}

#define VELK_NAME(literal)                                         \
    ([]() -> PyObject* {                                           \
        static PyObject* const interned = ::velk::intern(literal); \
        return interned;                                           \
    }())

inline Ref getattr(PyObject* o, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(o, name));
}
inline Ref getattr(PyObject* o, const char* name) {
    return Ref::steal(PyObject_GetAttrString(o, name));
}
inline void setattr(PyObject* o, PyObject* name, PyObject* v) {
    check(PyObject_SetAttr(o, name, v));
}

// Calls obj(args...) with borrowed positional arguments.
template <class... A>
Ref call(PyObject* callable, A... args) {
    PyObject* argv[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(callable, argv + 1,
                                          sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          nullptr));
}

// Calls obj.name(args...) through normal attribute lookup, so overrides in
// subclasses and instance attributes are honoured.
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) {
    PyObject* argv[] = {obj, args...};
    return Ref::steal(PyObject_VectorcallMethod(
        name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*positional, **keywords) with borrowed arguments.
inline Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> positional,
                   std::initializer_list<std::pair<PyObject*, PyObject*>> keywords) {
    PyObject* argv[16];
    if (positional.size() + keywords.size() >= std::size(argv)) {
        PyErr_SetString(PyExc_SystemError, "too many arguments");
        throw_error();
    }
    size_t n = 1;
    for (PyObject* p : positional) argv[n++] = p;
    Ref kwnames = Ref::steal(PyTuple_New(Py_ssize_t(keywords.size())));
    Py_ssize_t k = 0;
    for (auto [name, value] : keywords) {
        PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(name));
        argv[n++] = value;
    }
    return Ref::steal(PyObject_Vectorcall(callable, argv + 1,
                                          positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          kwnames.get()));
}

// The same with the keyword names made beforehand: the last len(kwnames)
// entries of `argv` are the keyword values.
inline Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> argv, PyObject* kwnames) {
    size_t nkw = size_t(PyTuple_GET_SIZE(kwnames));
    return Ref::steal(PyObject_Vectorcall(callable, argv.begin(), argv.size() - nkw, kwnames));
}

inline Ref import(const char* name) { return Ref::steal(PyImport_ImportModule(name)); }
inline Ref import_from(const char* module, const char* name) {
    return getattr(import(module).get(), name);
}

inline const char* type_name(PyObject* o) {
    // Heap types report their __name__, static ones their bare name.
    const char* full = Py_TYPE(o)->tp_name;
    if (PyType_HasFeature(Py_TYPE(o), Py_TPFLAGS_HEAPTYPE)) return full;
    const char* dot = strrchr(full, '.');
    return dot ? dot + 1 : full;
}

// Saved exception state, restored (or dropped) on scope exit.
class SavedError {
public:
    SavedError() noexcept { exc_ = PyErr_GetRaisedException(); }
    ~SavedError() {
        if (exc_ && thread_attached()) Py_DECREF(exc_);
    }
    PyObject* get() const noexcept { return exc_; }
    void restore() noexcept { PyErr_SetRaisedException(std::exchange(exc_, nullptr)); }

private:
    PyObject* exc_;
};

// True if the pending exception is of the Exception family (what callback
// boundaries catch); interrupts and SystemExit travel on.
inline bool pending_is_exception() { return PyErr_ExceptionMatches(PyExc_Exception) != 0; }

}  // namespace velk
