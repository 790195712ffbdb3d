// Owning reference handle: each Ref owns exactly one reference or none.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace updater {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }

    // The old value is dropped only after the new one is stored: its
    // destructor may run Python code that looks at this handle again.
    Ref& operator=(Ref&& other) noexcept(false)
    {
        PyObject* old = p_;
        p_ = other.p_;
        other.p_ = nullptr;
        drop(old);
        return *this;
    }

    // Dropping a reference may run a finaliser, Python code during which
    // the thread can be ended (see attached()).  Destructors are noexcept
    // unless they say otherwise, and that unwinding would then end the whole
    // process (std::terminate) instead of the one thread.
    ~Ref() noexcept(false) { drop(p_); }

    // Takes over a new reference (may be null).
    static Ref steal(PyObject* p) noexcept
    {
        Ref r;
        r.p_ = p;
        return r;
    }

    // Adds a reference to a borrowed one (may be null).
    static Ref borrow(PyObject* p) noexcept
    {
        Py_XINCREF(p);
        return steal(p);
    }

    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

    void reset() noexcept(false) { *this = Ref(); }

    // Whether this thread may touch objects at all.  A daemon thread that
    // wakes up while the interpreter finalises is ended with pthread_exit,
    // whose unwinding runs the destructors on its stack: the thread has no
    // thread state then, and must leave every object alone.
    //
    // That unwinding is POSIX behaviour: glibc's pthread_exit unwinds the
    // stack by force, running C++ destructors, with an exception of type
    // abi::__forced_unwind.  It must never be stopped: a handler that
    // catches everything rethrows it when the thread has no thread state.
    // It is not caught by its type: libstdc++ binds the handler's reference
    // to no object for it, which UBSan reports as a null reference.
    //
    // On Windows CPython 3.12 ends the same thread in PyThread_exit_thread
    // (Python/thread_nt.h) with _endthreadex, i.e. ExitThread, called from
    // take_gil when the interpreter is finalising: nothing is unwound and no
    // destructor runs.  The thread just stops, holding no lock; the
    // references its frames held are never released, which no longer
    // matters at that point.
    static bool attached() noexcept { return _PyThreadState_UncheckedGet() != nullptr; }

private:
    static void drop(PyObject* p) noexcept(false)
    {
        if (p && attached()) Py_DECREF(p);
    }

    PyObject* p_ = nullptr;
};

}  // namespace updater
