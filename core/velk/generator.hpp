// A generator object whose body is C++: the module gives the steps, this
// gives Python's generator protocol (iteration, send, throw, close, the
// cleanup of an abandoned generator, gi_running and re-entrance errors).
//
// A body is a class with
//   using ModuleState = State;            // the module state its steps read
//   static constexpr const char* type_name, *name, *qualname;
//   Ref next(ModuleState&);               // runs to the next yield; empty: returned
//   bool catches(Handle exc, ModuleState&);  // its handler at the yield: true goes on
//   void release();                       // its finally block
//   template <class F> void visit(F&& f);  // f(ref) for every Ref it holds
// and Generator<Body>::make_type / make create the type and its objects.
#pragma once

#include <type_traits>

#include <atomic>
#include <new>
#include <utility>

#include "module.hpp"

namespace velk {

template <class Body>
class Generator {
public:
    using State = typename Body::ModuleState;

    // The type, registered as a collections.abc.Generator.
    static Ref make_type(Module<State>& module) {
        Ref type = Ref::steal(PyType_FromMetaclass(nullptr, module.object(), &definition, nullptr));
        import_from("collections.abc", "Generator").method(interned<"register">(), type);
        return type;
    }

    // A new generator of `type` whose body is Body(args...); nothing runs yet.
    template <class... A>
    static Ref make(Handle type, A&&... args) {
        auto* tp = reinterpret_cast<PyTypeObject*>(type.ptr());
        Ref obj = Ref::steal(tp->tp_alloc(tp, 0));
        new (&object(obj)->frame) Frame{{kCreated}, Body(std::forward<A>(args)...)};
        object(obj)->live = true;
        return obj;
    }

private:
    enum : int { kCreated, kSuspended, kRunning, kFinished };

    struct Frame {
        std::atomic<int> state;
        Body body;
    };
    struct Object {
        PyObject_HEAD
        bool live;  // frame constructed (the memory starts zeroed)
        union {
            Frame frame;
        };
    };

    static Object* object(PyObject* o) { return reinterpret_cast<Object*>(o); }
    static Frame& frame(PyObject* o) { return object(o)->frame; }

    // The state before this call took the generator over (a finished one is
    // left as it is); ValueError while it runs.
    static int enter(Frame& f) {
        int s = f.state.load();
        for (;;) {
            if (s == kRunning) raise(PyExc_ValueError, "generator already executing");
            if (s == kFinished || f.state.compare_exchange_weak(s, kRunning)) return s;
        }
    }

    // raise exc, as it is: a thrown exception arrives with no context added.
    [[noreturn]] static void reraise(Handle exc) {
        PyErr_SetRaisedException(Py_NewRef(exc));
        throw_error();
    }

    // The body's code between two yields. A StopIteration out of it is an
    // error, as in a Python generator.
    template <class Code>
    static Ref run_body(Code&& code) {
        try {
            return code();
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            throw_error();
        } catch (const PyError&) {
            if (!PyErr_ExceptionMatches(PyExc_StopIteration)) throw;
            SavedError stop;
            raise_from(Handle(PyExc_RuntimeError)(interned<"generator raised StopIteration">()),
                       stop.get());
        }
    }

    // Runs the body from where it stopped (raising `thrown` there, if any) to
    // its next yield; empty when it has returned. Its finally block runs
    // once it has ended, by returning or by an error.
    static Ref step(PyObject* self, Frame& f, int previous, Ref thrown) {
        State& s = holder<State>(PyType_GetModule(Py_TYPE(self))).s;
        bool ended = true;
        Ref item = try_finally(
            [&] {
                if (thrown && previous == kCreated) reraise(thrown);  // raised before the body
                Ref next = run_body([&] {
                    if (thrown && !f.body.catches(thrown, s)) reraise(thrown);
                    return f.body.next(s);
                });
                ended = !next;
                return next;
            },
            [&] {
                if (!ended) return;
                f.state.store(kFinished);
                f.body.release();
            });
        f.state.store(ended ? kFinished : kSuspended);
        return item;
    }

    // One resumption: the next item (new reference), or NULL with
    // StopIteration set when raise_stop and the body has ended, or NULL with
    // no error when not (the end of iteration by tp_iternext).
    static PyObject* resume(PyObject* self, Ref thrown, bool raise_stop) {
        Frame& f = frame(self);
        try {
            int previous = enter(f);
            if (previous == kFinished && thrown) reraise(thrown);
            Ref item = previous == kFinished ? Ref() : step(self, f, previous, std::move(thrown));
            if (item) return item.release();
            if (raise_stop) PyErr_SetNone(PyExc_StopIteration);
            return nullptr;
        } catch (const PyError&) {
            return nullptr;
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
    }

    static PyObject* iternext(PyObject* self) { return resume(self, {}, false); }

    static PyObject* send(PyObject* self, PyObject* value) {
        if (value != Py_None && frame(self).state.load() == kCreated) {
            PyErr_SetString(PyExc_TypeError,
                            "can't send non-None value to a just-started generator");
            return nullptr;
        }
        return resume(self, {}, true);
    }

    // The exception that throw(type[, value[, traceback]]) raises.
    static Ref thrown_exception(PyObject* type, PyObject* value) {
        if (PyExceptionInstance_Check(type)) {
            if (value != Py_None)
                raise(PyExc_TypeError, "instance exception may not have a separate value");
            return Ref::borrow(type);
        }
        if (!PyExceptionClass_Check(type)) {
            PyErr_Format(PyExc_TypeError,
                         "exceptions must be classes or instances deriving from "
                         "BaseException, not %s",
                         Py_TYPE(type)->tp_name);
            throw_error();
        }
        if (value != Py_None && check(PyObject_IsInstance(value, type)))
            return Ref::borrow(value);
        Ref exc = value == Py_None      ? Handle(type)()
                  : PyTuple_Check(value) ? Ref::steal(PyObject_Call(type, value, nullptr))
                                         : Handle(type)(value);
        if (!PyExceptionInstance_Check(exc)) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         type, Py_TYPE(exc.ptr())->tp_name);
            throw_error();
        }
        return exc;
    }

    // throw(value), or the older throw(type[, value[, traceback]]).
    static PyObject* throw_in(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
        try {
            if (nargs < 1 || nargs > 3) {
                PyErr_Format(PyExc_TypeError, "throw expected at %s, got %zd",
                             nargs < 1 ? "least 1 argument" : "most 3 arguments", nargs);
                throw_error();
            }
            if (nargs > 1)
                check(PyErr_WarnEx(PyExc_DeprecationWarning,
                                   "the (type, exc, tb) signature of throw() is deprecated, "
                                   "use the single-arg signature instead.",
                                   1));
            PyObject* traceback = nargs > 2 ? args[2] : Py_None;
            if (traceback != Py_None && !PyTraceBack_Check(traceback))
                raise(PyExc_TypeError, "throw() third argument must be a traceback object");
            Ref exc = thrown_exception(args[0], nargs > 1 ? args[1] : Py_None);
            if (traceback != Py_None) check(PyException_SetTraceback(exc, traceback));
            return resume(self, std::move(exc), true);
        } catch (const PyError&) {
            return nullptr;
        }
    }

    static PyObject* close(PyObject* self, PyObject*) {
        Frame& f = frame(self);
        try {
            if (enter(f) != kFinished) {
                f.state.store(kFinished);
                f.body.release();
            }
            Py_RETURN_NONE;
        } catch (const PyError&) {
            return nullptr;
        }
    }

    // An abandoned generator runs its finally block, as a Python one does.
    static void finalize(PyObject* self) {
        if (!object(self)->live) return;
        Frame& f = frame(self);
        int expected = kSuspended;
        if (!f.state.compare_exchange_strong(expected, kFinished)) {
            expected = kCreated;
            f.state.compare_exchange_strong(expected, kFinished);
            return;
        }
        SavedError pending;
        try {
            f.body.release();
        } catch (const PyError&) {
            PyErr_WriteUnraisable(self);
        }
        pending.restore();
    }

    static int traverse(PyObject* self, visitproc visit, void* arg) {
        Py_VISIT(Py_TYPE(self));
        if (!object(self)->live) return 0;
        int rc = 0;
        frame(self).body.visit([&](Ref& r) {
            if (!rc && r) rc = visit(r, arg);
        });
        return rc;
    }

    static int clear(PyObject* self) {
        if (object(self)->live) frame(self).body.visit([](Ref& r) { r.reset(); });
        return 0;
    }

    static void dealloc(PyObject* self) {
        PyTypeObject* tp = Py_TYPE(self);
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
        PyObject_GC_UnTrack(self);
        if (object(self)->live) {
            frame(self).~Frame();
            object(self)->live = false;
        }
        tp->tp_free(self);
        Py_DECREF(tp);
    }

    static PyObject* repr(PyObject* self) {
        return PyUnicode_FromFormat("<generator object %s at %p>", Body::qualname, self);
    }
    static PyObject* get_name(PyObject*, void*) { return PyUnicode_FromString(Body::name); }
    static PyObject* get_qualname(PyObject*, void*) {
        return PyUnicode_FromString(Body::qualname);
    }
    static PyObject* get_running(PyObject* self, void*) {
        return PyBool_FromLong(frame(self).state.load() == kRunning);
    }
    static PyObject* get_suspended(PyObject* self, void*) {
        return PyBool_FromLong(frame(self).state.load() == kSuspended);
    }

    static inline PyMethodDef methods[] = {
        {"send", send, METH_O,
         "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise "
         "StopIteration."},
        {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(throw_in)),
         METH_FASTCALL,
         "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next "
         "yielded value or raise\nStopIteration."},
        {"close", close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
        {nullptr, nullptr, 0, nullptr},
    };

    static inline PyGetSetDef getset[] = {
        {"__name__", get_name, nullptr, nullptr, nullptr},
        {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
        {"gi_running", get_running, nullptr, nullptr, nullptr},
        {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };

    static inline PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_finalize, reinterpret_cast<void*>(finalize)},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(clear)},
        {Py_tp_repr, reinterpret_cast<void*>(repr)},
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(iternext)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {0, nullptr},
    };

    static inline PyType_Spec definition = {
        Body::type_name,
        sizeof(Object),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
            Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_MANAGED_WEAKREF,
        slots,
    };
};

}  // namespace velk
