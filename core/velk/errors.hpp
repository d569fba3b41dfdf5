// Python's error statements: raise, raise ... from, try/except Exception,
// try/finally. Each is written once here; module code uses these forms only.
#pragma once

#include <exception>
#include <functional>
#include <new>
#include <type_traits>
#include <utility>

#include "object.hpp"

namespace velk {

// The pending exception, taken out; restored (or dropped) later.
class SavedError {
public:
    SavedError() noexcept : exc_(PyErr_GetRaisedException()) {}
    ~SavedError() {
        if (exc_ && thread_attached()) Py_DECREF(exc_);
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    PyObject* get() const noexcept { return exc_; }
    explicit operator bool() const noexcept { return exc_ != nullptr; }
    void restore() noexcept { PyErr_SetRaisedException(std::exchange(exc_, nullptr)); }
    Ref take() noexcept { return Ref::steal_or_null(std::exchange(exc_, nullptr)); }
    [[noreturn]] void raise() noexcept(false) {
        PyErr_SetRaisedException(std::exchange(exc_, nullptr));
        throw_error();
    }

private:
    PyObject* exc_;
};

// raise Type(message)
[[noreturn]] inline void raise(PyObject* type, Handle message) {
    PyErr_SetObject(type, message);
    throw_error();
}
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw_error();
}

// raise error: chained, as Python chains it, to the exception being handled.
[[noreturn]] inline void raise(Handle error) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(error.type()), error);
    throw_error();
}

// raise error from cause, inside the handler of cause.
[[noreturn]] inline void raise_from(Handle error, Handle cause) {
    PyException_SetCause(error, Py_NewRef(cause));  // also suppresses the context
    PyException_SetContext(error, Py_NewRef(cause));
    PyErr_SetRaisedException(Py_NewRef(error));
    throw_error();
}

// While it lives, `e` is the exception being handled (sys.exception()), as
// inside `except ... as e:`, so an error raised meanwhile is chained to it.
class Handling {
public:
    explicit Handling(PyObject* e) : prev_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(e);
    }
    ~Handling() {
        if (!thread_attached()) return;
        PyErr_SetHandledException(prev_);
        Py_XDECREF(prev_);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* prev_;
};

// try: return body()
// except types as e: return handler(e)
// `types` is an exception class or a tuple of them, as in an except clause.
template <class Body, class Handler>
auto guarded(Handle types, Body&& body, Handler&& handler) -> decltype(body()) {
    Ref caught;
    try {
        return body();
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(types)) throw;
        caught = Ref::steal_or_null(PyErr_GetRaisedException());
    }
    Handling handling(caught);
    return handler(Handle(caught));
}

// try: return body()
// except Exception as e: return handler(e)
// Anything outside the Exception family (an interrupt, SystemExit) travels on.
template <class Body, class Handler>
auto guarded(Body&& body, Handler&& handler) -> decltype(body()) {
    return guarded(PyExc_Exception, std::forward<Body>(body), std::forward<Handler>(handler));
}

// The same for a pending exception left by a call that reports failure by
// its result: except Exception as e: return handler(e).
template <class Handler>
auto handle_pending(Handler&& handler) {
    return guarded([]() -> decltype(handler(Handle())) { throw_error(); }, handler);
}

// The rollback of a construction that fails part-way: it holds the undo of
// what has been built so far, replaced as each further step succeeds, and
// runs it when an error leaves its scope before dismiss(). That error stays
// the one that travels on; the undo's own failure is reported as
// unraisable, on `owner`.
//   Rollback rollback(self);
//   build_node();  rollback.set([&] { destroy_node(); });
//   start_thread();  rollback.set([&] { stop_all(); });
//   rollback.dismiss();
class Rollback {
public:
    explicit Rollback(Handle owner) : owner_(owner) {}
    Rollback(const Rollback&) = delete;
    Rollback& operator=(const Rollback&) = delete;
    ~Rollback() {
        if (!undo_ || std::uncaught_exceptions() == unwinding_ || !thread_attached()) return;
        SavedError failure;
        try {
            undo_();
        } catch (const PyError&) {
            PyErr_WriteUnraisable(owner_);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            PyErr_WriteUnraisable(owner_);
        }
        failure.restore();
    }

    template <class Undo>
    void set(Undo&& undo) {
        undo_ = std::forward<Undo>(undo);
    }
    void dismiss() { undo_ = nullptr; }

private:
    Handle owner_;
    std::function<void()> undo_;
    int unwinding_ = std::uncaught_exceptions();  // the errors in flight when it began
};

// try: body() finally: cleanup()
// When both fail, cleanup's error travels on with body's as its context.
template <class Body, class Cleanup>
auto try_finally(Body&& body, Cleanup&& cleanup) -> decltype(body()) {
    auto on_failure = [&]() {
        SavedError pending;
        try {
            cleanup();
        } catch (const PyError&) {
            PyObject* cleanup_error = PyErr_GetRaisedException();
            PyException_SetContext(cleanup_error, pending.take().release());
            PyErr_SetRaisedException(cleanup_error);
            throw;
        }
        pending.raise();
    };
    if constexpr (std::is_void_v<decltype(body())>) {
        try {
            body();
        } catch (const PyError&) {
            on_failure();
        }
        cleanup();
    } else {
        auto result = [&]() -> decltype(body()) {
            try {
                return body();
            } catch (const PyError&) {
                on_failure();
                throw;  // not reached: on_failure always throws
            }
        }();
        cleanup();
        return result;
    }
}

}  // namespace velk
