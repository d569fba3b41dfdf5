// Python-visible functions and methods.
//
// A FunctionSpec describes one function: its parameters (all
// positional-or-keyword), their annotation texts, argument checks and default
// expressions, the result annotation and check, the documentation text and
// the C++ body; method<body>(name, params, ...) makes it from a C++ function
// with one Handle parameter per table entry, so module code calls its bodies
// directly and never restates a signature. Function objects behave like Python
// functions: they bind as methods (also on classes whose bases are Python
// classes), report a real inspect.Signature, and raise the interpreter's usual
// TypeErrors for missing, surplus or repeated arguments.
#pragma once

#include <array>
#include <cstring>
#include <utility>
#include <span>
#include <string>
#include <type_traits>

#include "errors.hpp"

namespace velk {

inline constexpr size_t kMaxParams = 12;

enum class Check : unsigned char {
    Any,    // anything goes through unchanged
    Str,    // exactly str (None too when the default is None)
    List,   // exactly list
    Dict,   // exactly dict
    Float,  // float; other numbers are converted
    Int,    // int; other numbers are converted (truncated)
};

struct Param {
    const char* name;
    const char* annotation = nullptr;  // stored as text, never evaluated
    Check check = Check::Any;
    const char* default_expr = nullptr;  // Python expression; nullptr: required
};

// What a function's body has besides its arguments: the module that defines
// it and the object bound to its function object (a callback's owner), if any.
struct Context {
    PyObject* module;
    PyObject* bound;
};

// The vectorcall side of a function: its context and one borrowed object per
// parameter, defaults filled in and checks done.
using Invoker = Ref (*)(const Context&, PyObject* const* args);

struct FunctionSpec {
    const char* name;
    const char* doc;
    std::span<const Param> params;
    Invoker impl;
    const char* returns = nullptr;  // result annotation text
    Check result = Check::Any;      // Str/List/Dict: checked, None accepted
    bool signature_in_doc = false;  // __doc__ begins with "name(params) -> returns"
};

inline constexpr Param self_only[] = {{"self"}};

namespace detail {

template <class F>
struct Declared;

// Ref f(const Ctx& c, Handle p1, Handle p2, ...): a function's body, its
// parameters as the table lists them.
template <class C, class... H>
struct Declared<Ref (*)(const C&, H...)> {
    static_assert((std::is_same_v<H, Handle> && ...), "parameters are Handles");
    using Ctx = C;
    static constexpr size_t arity = sizeof...(H);
};

template <auto F>
Ref invoke(const Context& context, PyObject* const* args) {
    using D = Declared<decltype(F)>;
    const typename D::Ctx c{context};
    return [&]<size_t... I>(std::index_sequence<I...>) {
        return F(c, Handle(args[I])...);
    }(std::make_index_sequence<D::arity>{});
}

}  // namespace detail

// The one declaration of a Python-visible function: its body F, a C++
// function whose parameters after its context are the table's, in order.
// A table of another length than F's parameters does not build.
//   method<register_sync_route>("register_sync_route", register_params, doc, "bool")
template <auto F, size_t N>
consteval FunctionSpec method(const char* name, const Param (&params)[N],
                              const char* doc = nullptr, const char* returns = nullptr,
                              Check result = Check::Any) {
    static_assert(detail::Declared<decltype(F)>::arity == N,
                  "one parameter table entry per parameter of the function");
    static_assert(N <= kMaxParams, "too many parameters");
    return {name, doc, params, detail::invoke<F>, returns, result};
}

// The same for a function without parameters (a bound callback).
template <auto F>
consteval FunctionSpec method(const char* name, const char* doc = nullptr) {
    static_assert(detail::Declared<decltype(F)>::arity == 0, "the function takes parameters");
    return {name, doc, {}, detail::invoke<F>};
}

// `declared` with its signature line first in its documentation text, as
// tools that embed signatures write it: "chat(self, messages: ...) -> str".
consteval FunctionSpec signature_in_doc(FunctionSpec declared) {
    declared.signature_in_doc = true;
    return declared;
}

// What a function object made from method<F> calls: compared to tell that
// an attribute resolves to this module's own function.
template <auto F>
inline constexpr Invoker impl_of = detail::invoke<F>;

namespace detail {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* desc;
    PyObject* module;
    PyObject* bound;
    PyObject* qualname;
    PyObject* doc;
    PyObject* dict;
    PyObject* signature;  // built on first request
    PyObject* names[kMaxParams];
    PyObject* defaults[kMaxParams];  // nullptr for required parameters
};

inline const char* check_name(Check c) {
    switch (c) {
        case Check::Str: return "str";
        case Check::List: return "list";
        case Check::Dict: return "dict";
        case Check::Float: return "float";
        case Check::Int: return "int";
        default: return "object";
    }
}

inline bool exact_type(Check c, PyObject* o) {
    switch (c) {
        case Check::Str: return PyUnicode_CheckExact(o);
        case Check::List: return PyList_CheckExact(o);
        case Check::Dict: return PyDict_CheckExact(o);
        case Check::Float: return PyFloat_CheckExact(o);
        case Check::Int: return PyLong_CheckExact(o);
        default: return true;
    }
}

inline void raise_argument_type(const char* name, Check c, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Argument '%s' has incorrect type (expected %s, got %s)",
                 name, check_name(c), type_name(got));
}

inline bool is_number(PyObject* o) {
    return !PyUnicode_Check(o) && !PyBytes_Check(o) && !PyByteArray_Check(o) &&
           PyNumber_Check(o);
}

// Returns the checked argument (possibly a converted new object), or throws.
inline Ref check_argument(const Param& p, PyObject* o) {
    if (p.check == Check::Any || exact_type(p.check, o)) return Ref::borrow(o);
    bool optional = p.default_expr && std::strcmp(p.default_expr, "None") == 0;
    if (o == Py_None && optional) return Ref::borrow(o);
    if ((p.check == Check::Float || p.check == Check::Int) && is_number(o)) {
        Ref converted = Ref::steal_or_null(p.check == Check::Float ? PyNumber_Float(o)
                                                                   : PyNumber_Long(o));
        if (converted) return converted;
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error();
        PyErr_Clear();
    }
    raise_argument_type(p.name, p.check, o);
    throw_error();
}

inline void check_result(const FunctionSpec& s, PyObject* r) {
    if (s.result == Check::Any || r == Py_None || exact_type(s.result, r)) return;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %s", check_name(s.result), type_name(r));
    throw_error();
}

inline std::string quote_list(std::span<const char* const> names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) out += (i + 1 == names.size()) ? (names.size() > 2 ? ", and " : " and ") : ", ";
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

inline const char* qualname_of(FunctionObject* f) { return PyUnicode_AsUTF8(f->qualname); }

inline void raise_too_many(FunctionObject* f, size_t n, size_t required, Py_ssize_t given) {
    std::string takes = required == n ? std::to_string(n)
                                      : "from " + std::to_string(required) + " to " +
                                            std::to_string(n);
    PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zd %s given",
                 qualname_of(f), takes.c_str(), n == 1 ? "" : "s", given,
                 given == 1 ? "was" : "were");
}

inline int keyword_index(FunctionObject* f, size_t n, PyObject* key) {
    for (size_t i = 0; i < n; ++i)
        if (f->names[i] == key) return int(i);
    for (size_t i = 0; i < n; ++i) {
        int eq = PyObject_RichCompareBool(f->names[i], key, Py_EQ);
        if (eq < 0) throw_error();
        if (eq) return int(i);
    }
    return -1;
}

// Maps positional and keyword arguments onto the parameter slots.
inline void bind_arguments(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** slots) {
    const FunctionSpec& s = *f->desc;
    const size_t n = s.params.size();
    size_t required = 0;
    while (required < n && !f->defaults[required]) ++required;
    if (size_t(nargs) > n) {
        raise_too_many(f, n, required, nargs);
        throw_error();
    }
    for (size_t i = 0; i < n; ++i) slots[i] = i < size_t(nargs) ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int i = keyword_index(f, n, key);
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         qualname_of(f), key);
            throw_error();
        }
        if (slots[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                         qualname_of(f), key);
            throw_error();
        }
        slots[i] = args[nargs + k];
    }
    const char* missing[kMaxParams];
    size_t nmissing = 0;
    for (size_t i = 0; i < n; ++i) {
        if (!slots[i]) slots[i] = f->defaults[i];
        if (!slots[i]) missing[nmissing++] = s.params[i].name;
    }
    if (nmissing) {
        std::string list = quote_list({missing, nmissing});
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                     qualname_of(f), nmissing, nmissing == 1 ? "" : "s", list.c_str());
        throw_error();
    }
}

// Not noexcept: a daemon thread ended by the interpreter at exit is unwound
// through here (a forced unwind), which noexcept would turn into an abort.
inline PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    const FunctionSpec& s = *f->desc;
    try {
        PyObject* slots[kMaxParams];
        bind_arguments(f, args, PyVectorcall_NARGS(nargsf), kwnames, slots);
        Ref converted[kMaxParams];
        for (size_t i = 0; i < s.params.size(); ++i) {
            const Param& p = s.params[i];
            if (p.check == Check::Any || exact_type(p.check, slots[i])) continue;
            converted[i] = check_argument(p, slots[i]);
            slots[i] = converted[i];
        }
        Ref result = s.impl(Context{f->module, f->bound}, slots);
        check_result(s, result);
        return result.release();
    } catch (const PyError&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// The documentation text with the signature line first:
// "name(self, code: Optional[str] = None) -> None", then a blank line and
// the text, if any.
inline Ref signed_doc(const FunctionSpec& s) {
    std::string line = std::string(s.name) + "(";
    for (size_t i = 0; i < s.params.size(); ++i) {
        const Param& p = s.params[i];
        if (i) line += ", ";
        line += p.name;
        if (p.annotation) (line += ": ") += p.annotation;
        if (p.default_expr) (line += p.annotation ? " = " : "=") += p.default_expr;
    }
    line += ")";
    if (s.returns) (line += " -> ") += s.returns;
    if (s.doc && *s.doc) (line += "\n\n") += s.doc;
    return str(line.c_str());
}

inline PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->bound);
    Py_VISIT(f->dict);
    Py_VISIT(f->signature);
    for (PyObject* d : f->defaults) Py_VISIT(d);
    return 0;
}

inline int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->bound);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->signature);
    for (PyObject*& d : f->defaults) Py_CLEAR(d);
    return 0;
}

inline void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    for (PyObject*& n : f->names) Py_CLEAR(n);
    tp->tp_free(self);
    Py_DECREF(tp);
}

inline PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

// Attribute getters: the names Python functions have and tools read.
inline PyObject* get_name(PyObject* self, void*) {
    return PyUnicode_FromString(reinterpret_cast<FunctionObject*>(self)->desc->name);
}
inline PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}
inline PyObject* get_doc(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->doc);
}
inline PyObject* get_module(PyObject* self, void*) {
    return PyModule_GetNameObject(reinterpret_cast<FunctionObject*>(self)->module);
}
inline PyObject* get_defaults(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    size_t n = f->desc->params.size(), first = n;
    while (first > 0 && f->defaults[first - 1]) --first;
    if (first == n) return Py_NewRef(Py_None);
    PyObject* t = PyTuple_New(Py_ssize_t(n - first));
    if (!t) return nullptr;
    for (size_t i = first; i < n; ++i)
        PyTuple_SET_ITEM(t, Py_ssize_t(i - first), Py_NewRef(f->defaults[i]));
    return t;
}
inline PyObject* get_kwdefaults(PyObject*, void*) { return Py_NewRef(Py_None); }

inline PyObject* get_annotations(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    try {
        Ref d = new_dict();
        for (const Param& p : f->desc->params)
            if (p.annotation) check(PyDict_SetItemString(d, p.name, str(p.annotation)));
        if (f->desc->returns) check(PyDict_SetItemString(d, "return", str(f->desc->returns)));
        return d.release();
    } catch (const PyError&) {
        return nullptr;
    }
}

// inspect.Signature([inspect.Parameter(name, POSITIONAL_OR_KEYWORD, default=...,
// annotation=...) ...], return_annotation=...)
inline Ref build_signature(FunctionObject* f) {
    Ref inspect = import("inspect");
    Ref parameter = inspect.attr("Parameter"_n);
    Ref kind = parameter.attr("POSITIONAL_OR_KEYWORD"_n);
    Ref empty = parameter.attr("empty"_n);
    auto text_or_empty = [&](const char* text) { return text ? str(text) : empty; };
    const auto& params = f->desc->params;
    Ref list = new_list();
    for (size_t i = 0; i < params.size(); ++i) {
        PyObject* default_value = f->defaults[i] ? f->defaults[i] : empty.ptr();
        Ref p = parameter(f->names[i], kind, "default"_kw = default_value,
                          "annotation"_kw = text_or_empty(params[i].annotation));
        check(PyList_Append(list, p));
    }
    return inspect.attr("Signature"_n)(
        list, "return_annotation"_kw = text_or_empty(f->desc->returns));
}

inline PyObject* get_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (!f->signature) {
        try {
            f->signature = build_signature(f).release();
        } catch (const PyError&) {
            return nullptr;
        }
    }
    return Py_NewRef(f->signature);
}

inline PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

inline PyType_Spec function_type_spec = {
    "velk_dev_kit.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

}  // namespace detail

// Makes a function object of `desc` owned by `module`, with `bound` bound to
// it. `defaults`, when given, replaces the default of each parameter whose
// entry is not nullptr.
inline Ref make_function(PyObject* function_type, PyObject* module, const FunctionSpec& desc,
                         const char* owner = nullptr, PyObject* bound = nullptr,
                         std::span<PyObject* const> defaults = {}) {
    using detail::FunctionObject;
    if (desc.params.size() > kMaxParams) {  // method<> refuses such a table when it builds
        PyErr_SetString(PyExc_SystemError, "too many parameters");
        throw_error();
    }
    auto* tp = reinterpret_cast<PyTypeObject*>(function_type);
    Ref obj = Ref::steal(tp->tp_alloc(tp, 0));
    auto* f = reinterpret_cast<FunctionObject*>(obj.ptr());
    f->vectorcall = detail::function_vectorcall;
    f->desc = &desc;
    f->module = Py_NewRef(module);
    f->bound = Py_XNewRef(bound);
    f->qualname = owner ? PyUnicode_FromFormat("%s.%s", owner, desc.name)
                        : PyUnicode_FromString(desc.name);
    if (!f->qualname) throw_error();
    f->doc = desc.signature_in_doc ? detail::signed_doc(desc).release()
             : desc.doc            ? str(desc.doc).release()
                                   : Py_NewRef(Py_None);
    for (size_t i = 0; i < desc.params.size(); ++i) {
        f->names[i] = Py_NewRef(intern(desc.params[i].name));
        if (i < defaults.size() && defaults[i])
            f->defaults[i] = Py_NewRef(defaults[i]);
        else if (desc.params[i].default_expr)
            f->defaults[i] = eval_expression(desc.params[i].default_expr).release();
    }
    return obj;
}

}  // namespace velk
