// Module definition with multi-phase initialisation and module state, classes
// made of FunctionSpecs, and log statements that each log from a frame of
// their own.
#pragma once

#include <atomic>
#include <new>
#include <string>
#include <tuple>
#include <utility>

#include "function.hpp"

namespace velk {

// A module's own state is a struct of Refs that lists them all in refs():
//   struct State { Ref os, cls; auto refs() { return std::tie(os, cls); } };
// One that leaves a field out of the list does not build, so garbage
// collection and module clearing always see every reference.
template <class State>
constexpr bool lists_every_ref() {
    using Listed = decltype(std::declval<State&>().refs());
    return sizeof(State) == std::tuple_size_v<Listed> * sizeof(Ref);
}

// The state every module carries besides its own.
template <class State>
struct ModuleHolder {
    static_assert(lists_every_ref<State>(), "State::refs() must list every field of State");

    bool live;  // State constructed (the memory starts zeroed)
    Ref function_type;
    Ref log_sites;  // tuple of per-statement log functions
    State s;

    template <class F>
    void visit(F&& f) {
        f(function_type);
        f(log_sites);
        std::apply([&](auto&... r) { (f(r), ...); }, s.refs());
    }
};

template <class State>
ModuleHolder<State>& holder(PyObject* module) {
    return *static_cast<ModuleHolder<State>*>(PyModule_GetState(module));
}

// A name of the module's namespace, looked up at each use as Python code
// would, so names the application rebinds in the module take effect.
inline Ref module_global(Handle module, Handle name) {
    return name_in(PyModule_GetDict(module), name);
}

// One log statement: its number in the module's enum of statements, a
// severity and the keyword options it always passes.
struct LogSite {
    size_t site;
    const char* severity;      // "info", "warn", "error", ...
    const char* options = "";  // e.g. ", throttle_duration_sec=5"
};

// True if `table` holds one entry per number below `count`, in order:
//   static_assert(numbered(log_sites, kSiteCount));
template <class T, size_t N>
constexpr bool numbered(const T (&table)[N], size_t count) {
    if (N != count) return false;
    for (size_t i = 0; i < N; ++i)
        if (table[i].site != i) return false;
    return true;
}

// Handle on the module being executed; used by module bodies.
template <class State>
class Module {
public:
    explicit Module(PyObject* m) : m_(m) {}
    Handle object() const { return m_; }
    State& state() const { return holder<State>(m_).s; }
    // The type of the function objects the module makes.
    Handle function_type() const { return holder<State>(m_).function_type; }
    const char* name() const { return PyModule_GetName(m_); }

    void add(const char* name, const Ref& value) {
        check(PyModule_AddObjectRef(m_, name, value));
    }
    // `import module` (or `import module as alias`), bound in the module.
    Ref import(const char* module, const char* alias = nullptr) {
        Ref mod = velk::import(module);
        add(alias ? alias : module, mod);
        return mod;
    }
    // `from module import name`, bound in the module under the same name.
    Ref import_from(const char* module, const char* name) {
        Ref value = velk::import_from(module, name);
        add(name, value);
        return value;
    }

    Ref function(const FunctionSpec& desc, const char* owner = nullptr, PyObject* data = nullptr,
                 std::span<PyObject* const> defaults = {}) const {
        return make_function(holder<State>(m_).function_type, m_, desc, owner, data,
                             defaults);
    }

    // class `name`(*bases) with the given methods, documentation text and any
    // further namespace entries; created through the bases' metaclass.
    Ref make_class(const char* name, const char* doc, std::span<const FunctionSpec> methods,
                   PyObject* bases = nullptr, PyObject* extra_namespace = nullptr) {
        Ref ns = new_dict();
        ns.set_item("__module__"_n, Ref::steal(PyModule_GetNameObject(m_)));
        ns.set_item("__qualname__"_n, str(name));
        if (doc) ns.set_item("__doc__"_n, str(doc));
        if (extra_namespace) check(PyDict_Update(ns, extra_namespace));
        for (const FunctionSpec& desc : methods)
            check(PyDict_SetItemString(ns, desc.name, function(desc, name)));
        Ref base_tuple = bases ? Ref::borrow(bases) : Ref::steal(PyTuple_New(0));
        Handle metaclass = reinterpret_cast<PyObject*>(&PyType_Type);
        if (PyTuple_GET_SIZE(base_tuple.ptr()) > 0)
            metaclass = reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(base_tuple.ptr(), 0)));
        return metaclass(str(name), base_tuple, ns);
    }

    // Compiles one small Python function per log statement, so that a logger
    // keeping state per calling frame sees each statement as a call site of
    // its own, whatever Python line reached it.
    void define_log_sites(std::span<const LogSite> sites) {
        std::string source;
        for (size_t i = 0; i < sites.size(); ++i) {
            source += "def _log_" + std::to_string(i) + "(node, message):\n";
            source += std::string("    return node.get_logger().") + sites[i].severity +
                      "(message" + sites[i].options + ")\n";
        }
        std::string filename = std::string("<") + name() + ">";
        Ref code = Ref::steal(Py_CompileString(source.c_str(), filename.c_str(), Py_file_input));
        Ref ns = new_dict();
        ns.set_item("__builtins__"_n, PyEval_GetBuiltins());
        ns.set_item("__name__"_n, str(name()));
        Ref done = Ref::steal(PyEval_EvalCode(code, ns, ns));
        Ref tuple = Ref::steal(PyTuple_New(Py_ssize_t(sites.size())));
        for (size_t i = 0; i < sites.size(); ++i) {
            std::string fn = "_log_" + std::to_string(i);
            PyObject* f = PyDict_GetItemString(ns, fn.c_str());  // borrowed
            PyTuple_SET_ITEM(tuple.ptr(), Py_ssize_t(i), Py_NewRef(f));
        }
        holder<State>(m_).log_sites = tuple;
    }

private:
    PyObject* m_;
};

// The context of a function of a module with state `State`; module code
// names it `Ctx` (using Ctx = velk::Ctx<State>) and its functions take it first.
template <class State>
struct Ctx : Context {
    State& state() const { return holder<State>(module).s; }
    // The module global `name`, looked up now (see module_global).
    Ref global(Handle name) const { return module_global(module, name); }
    // Logs `text` through node.get_logger() at the statement `site`.
    void log(size_t site, Handle node, Handle text) const {
        Handle fn = PyTuple_GET_ITEM(holder<State>(module).log_sites.ptr(), Py_ssize_t(site));
        fn(node, text);
    }
    // A function object of `desc` made now, with `bound` bound to it (a
    // callback that must know its owner, say), and `defaults` as make_function's.
    Ref function(const FunctionSpec& desc, PyObject* bound, const char* owner = nullptr,
                 std::span<PyObject* const> defaults = {}) const {
        return make_function(holder<State>(module).function_type, module, desc, owner, bound,
                             defaults);
    }
};

namespace detail {

template <class State>
int module_traverse(PyObject* m, visitproc visit, void* arg) {
    auto& h = holder<State>(m);
    if (!h.live) return 0;
    int rc = 0;
    h.visit([&](Ref& r) {
        if (!rc && r) rc = visit(r, arg);
    });
    return rc;
}

template <class State>
int module_clear(PyObject* m) {
    auto& h = holder<State>(m);
    if (h.live) h.visit([](Ref& r) { r.reset(); });
    return 0;
}

template <class State>
void module_free(void* m) {
    auto* state = PyModule_GetState(static_cast<PyObject*>(m));
    if (!state) return;
    auto& h = *static_cast<ModuleHolder<State>*>(state);
    if (h.live) {
        h.~ModuleHolder<State>();
        h.live = false;
    }
}

// The modules keep process-wide interned names and refuse to run twice, so
// they are bound to the first interpreter that loads them.
inline PyObject* module_create(PyObject* module_spec, PyModuleDef*) {
    static std::atomic<int64_t> owner{-1};
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    int64_t expected = -1;
    if (!owner.compare_exchange_strong(expected, current) && expected != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into "
                        "one interpreter per process.");
        return nullptr;
    }
    Ref name = Ref::steal_or_null(PyObject_GetAttrString(module_spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name);
}

inline bool warn_on_version_mismatch(const char* qualified_name) {
    const int major = int((Py_Version >> 24) & 0xff), minor = int((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s "
                            "runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, qualified_name,
                            "does not match", major, minor) == 0;
}

template <class State, void (*Body)(Module<State>&)>
int module_exec(PyObject* m) {
    static std::atomic<bool> initialised{false};
    const char* qualified = PyModule_GetName(m);
    if (!qualified) return -1;
    const char* dot = std::strrchr(qualified, '.');
    if (initialised.load()) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not "
                     "supported.",
                     dot ? dot + 1 : qualified);
        return -1;
    }
    if (!warn_on_version_mismatch(qualified)) return -1;
    auto* h = static_cast<ModuleHolder<State>*>(PyModule_GetState(m));
    try {
        new (h) ModuleHolder<State>{};
        h->live = true;
        h->function_type =
            Ref::steal(PyType_FromModuleAndSpec(m, &function_type_spec, nullptr));
        Module<State> module(m);
        Body(module);
    } catch (const PyError&) {
        return -1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    // Set only on success, so an import that failed (a missing dependency)
    // can be retried once the cause is fixed.
    initialised.store(true);
    return 0;
}

}  // namespace detail

template <class State, void (*Body)(Module<State>&)>
PyObject* module_init(const char* name, const char* doc) {
    static PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(detail::module_create)},
        {Py_mod_exec, reinterpret_cast<void*>(detail::module_exec<State, Body>)},
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
        {Py_mod_gil, Py_MOD_GIL_USED},
        {0, nullptr},
    };
    static PyModuleDef def = {
        PyModuleDef_HEAD_INIT,
        name,
        doc,
        sizeof(ModuleHolder<State>),
        nullptr,
        slots,
        detail::module_traverse<State>,
        detail::module_clear<State>,
        detail::module_free<State>,
    };
    return PyModuleDef_Init(&def);
}

}  // namespace velk

// Defines the module's entry point PyInit_<name>.
#define VELK_MODULE(NAME, STATE, BODY, DOC)                        \
    PyMODINIT_FUNC PyInit_##NAME(void) {                           \
        return ::velk::module_init<STATE, BODY>(#NAME, DOC);        \
    }
