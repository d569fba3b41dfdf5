// The C-level call forms the modules were first written in; being replaced
// by the members of Handle (object.hpp) and removed once no module uses them.
#pragma once

#include <initializer_list>
#include <iterator>

#include "errors.hpp"

namespace velk {

inline bool is_true(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }

inline Ref to_str(PyObject* o) { return Ref::steal(PyObject_Str(o)); }

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

}  // namespace velk
