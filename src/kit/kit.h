// The kit every body is written with: the error rule, statement lines,
// global lookup, calls and the two flow constructs (try/except, with).
#pragma once

#include "literals.h"
#include "ref.h"

#include <initializer_list>
#include <new>

namespace updater {

// check(int) and check(Py_ssize_t) are two functions only where the types differ.
static_assert(sizeof(Py_ssize_t) == 8 && sizeof(int) == 4, "the module is built for 64-bit targets only");

// Thrown when a C API call failed: the interpreter's error indicator is set.
// `traced` says that the running callable's traceback entry is already on it.
struct PyError {
    bool traced = false;
};

inline PyObject* check(PyObject* p)
{
    if (!p) throw PyError{};
    return p;
}

inline int check(int r)
{
    if (r < 0) throw PyError{};
    return r;
}

inline Py_ssize_t check(Py_ssize_t r)
{
    if (r < 0) throw PyError{};
    return r;
}

// A new reference from a C API call, or PyError.
inline Ref own(PyObject* p) { return Ref::steal(check(p)); }

// Process-wide records, set by the exec step and kept for the process.
struct ModuleState {
    PyObject* module = nullptr;    // set while executing and once ready
    PyObject* globals = nullptr;   // the module's dictionary, as long as `module` is set
    PyObject* builtins = nullptr;  // the builtins module
    PyObject* open = nullptr;      // early-bound builtins
    PyObject* runtime_error = nullptr;
    PyObject* print = nullptr;
};
extern ModuleState state;

struct Callable;

// The running callable: its traceback name, the current statement's line,
// the closure record it was created with, its row of the callable table
// (none for a module body) and its globals: the namespace its function was
// made with, which it keeps whatever becomes of the module afterwards.
struct Frame {
    const char* tb_name;
    int line;
    PyObject* closure = nullptr;
    const Callable* code = nullptr;
    PyObject* globals = nullptr;

    void at(int l) noexcept { line = l; }
};

// Adds the entry ("updater.py", tb_name, line), whose frame has `globals`,
// to the pending exception.  When the entry cannot be made (no memory), it is
// left out and the pending exception is kept as it is.  Not noexcept: the
// frame it makes may run a collection, and with it Python code during which
// the thread can be ended, whose unwinding has to pass (see Ref::attached).
void add_traceback(const char* tb_name, int line, PyObject* globals);
inline void add_traceback(const Frame& f) { add_traceback(f.tb_name, f.line, f.globals); }

// Turns the C++ exception being handled into the interpreter's error and
// adds f's traceback entry, unless the error already carries it.  Called from
// the catch (...) of each entry point (a function call, the module's exec
// step) and by `failed`:
// - PyError: the indicator is set already.  One thrown without it is a fault
//   of the module: it becomes a SystemError.
// - std::bad_alloc: MemoryError.
// - anything else: SystemError, except for the forced unwinding of a thread
//   that the interpreter ends (no thread state, see Ref::attached): that is
//   rethrown and must go on, touching nothing.  This is why the entry points
//   and this function are not noexcept.
void set_error_from_current_exception(Frame& f);

// A global name at the moment of use: the running function's namespace, then builtins.
Ref global(const Frame& f, PyObject* name);

inline Ref attr(PyObject* obj, PyObject* name) { return own(PyObject_GetAttr(obj, name)); }
// getattr(obj, name, fallback): only an AttributeError gives the fallback.
Ref attr_or(PyObject* obj, PyObject* name, PyObject* fallback);
inline void set_attr(PyObject* obj, PyObject* name, PyObject* value)
{
    check(PyObject_SetAttr(obj, name, value));
}
inline bool truthy(PyObject* obj) { return check(PyObject_IsTrue(obj)) != 0; }
// a == b.  An exact int or float against an exact int that a double holds
// exactly is compared directly, as the interpreter's specialised comparison
// does; everything else goes through the rich comparison.
inline bool equal(PyObject* a, PyObject* b)
{
    constexpr long long exact_in_double = 1LL << 52;
    if (PyLong_CheckExact(b) && (PyFloat_CheckExact(a) || PyLong_CheckExact(a))) {
        int overflow = 0;
        long long vb = PyLong_AsLongLongAndOverflow(b, &overflow);
        if (!overflow && vb > -exact_in_double && vb < exact_in_double) {
            if (PyFloat_CheckExact(a)) return PyFloat_AS_DOUBLE(a) == static_cast<double>(vb);
            long long va = PyLong_AsLongLongAndOverflow(a, &overflow);
            return !overflow && va == vb;
        }
    }
    return check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
}
inline Ref none() { return Ref::borrow(Py_None); }
// a > b, as the comparison's own result object
inline Ref greater(PyObject* a, PyObject* b) { return own(PyObject_RichCompare(a, b, Py_GT)); }

// callable(*args) and callable(*args, **dict(zip(kwnames, kwvalues))):
// `args` holds the positional values followed by one value per kwname.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);
// obj.name(*args), looked up like a method call.
Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args,
                PyObject* kwnames = nullptr);

// The pieces of an f-string, joined: each must already be text.
Ref join_text(std::initializer_list<PyObject*> pieces);

// raise exc  (an exception instance; the handled exception becomes its context)
[[noreturn]] void raise(PyObject* exc);

// raise  (bare, in a handler: the caught `exc` goes on unchanged; its
// traceback already has the running callable's entry)
[[noreturn]] inline void reraise(PyObject* exc)
{
    PyErr_SetRaisedException(Py_NewRef(exc));
    throw PyError{true};
}

// TypeError "'X' object does not support the context manager protocol" + `missed`.
[[noreturn]] void throw_not_a_context_manager(PyObject* manager, const char* missed);

// Makes `exc` the exception being handled (sys.exception()) for the
// lifetime of the guard, as an except clause does: at the current level of
// the thread's handled-exception stack (a generator or coroutine has a level
// of its own), which gets back exactly the value it had.  PyErr_Get- and
// PyErr_SetHandledException cannot do that: the first reads the innermost
// level that has an exception, often a caller's, and the second writes the
// current one, which would then keep the caller's exception.
class Handling {
public:
    explicit Handling(PyObject* exc) noexcept
        : level_(PyThreadState_Get()->exc_info), previous_(Ref::borrow(level_->exc_value))
    {
        PyErr_SetHandledException(exc);
    }
    // Not noexcept: see Ref::~Ref.
    ~Handling() noexcept(false)
    {
        if (Ref::attached()) Py_XSETREF(level_->exc_value, previous_.release());
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    _PyErr_StackItem* level_;
    Ref previous_;
};

// Runs `body`; returns true if it raised (the exception is then pending and
// carries the frame's traceback entry).  A C++ allocation failure is the
// MemoryError it would be in Python; any other C++ exception goes on to the
// entry point.
template <class Body>
bool failed(Frame& f, Body&& body)
{
    try {
        body();
        return false;
    } catch (const PyError&) {
        set_error_from_current_exception(f);
    } catch (const std::bad_alloc&) {
        set_error_from_current_exception(f);
    }
    return true;
}

// A block is a C++ lambda: `return` in it leaves the block, not the function
// around it.  To leave the function, set a variable in the block and return
// after it (see download_new_exe_with_progress).
//
// try: body()
// except caught as e: handler(e)
// Anything not derived from `caught` passes through unchanged.
template <class Body, class Handler>
void try_except(Frame& f, PyObject* caught, Body&& body, Handler&& handler)
{
    if (!failed(f, body)) return;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!PyErr_GivenExceptionMatches(exc, caught)) {
        PyErr_SetRaisedException(exc.release());
        throw PyError{true};
    }
    Handling handling(exc);
    handler(exc.get());
}

// try: body()
// except Exception as e: handler(e)
template <class Body, class Handler>
void try_except(Frame& f, Body&& body, Handler&& handler)
{
    try_except(f, PyExc_Exception, body, handler);
}

// try: body()
// finally: cleanup()
// `cleanup` runs while the body's error is being handled, so an error of its
// own replaces that one and carries it as its context.
template <class Body, class Cleanup>
void try_finally(Frame& f, Body&& body, Cleanup&& cleanup)
{
    if (!failed(f, body)) {
        cleanup();
        return;
    }
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    {
        Handling handling(exc);
        cleanup();
    }
    PyErr_SetRaisedException(exc.release());
    throw PyError{true};
}

// type(obj).name bound to obj, the way the interpreter finds a special
// method: on the type only, never on the instance.  Null when the type has none.
Ref special_method(PyObject* obj, PyObject* name);

// with manager as value: body(value)
// `line` is the with statement's own line: entering and leaving report it.
template <class Body>
void with(Frame& f, int line, PyObject* manager, Body&& body)
{
    f.at(line);
    Ref enter = special_method(manager, lit::dunder_enter);
    if (!enter) throw_not_a_context_manager(manager, "");
    Ref exit = special_method(manager, lit::dunder_exit);
    if (!exit) throw_not_a_context_manager(manager, " (missed __exit__ method)");
    Ref value = call(enter, {});
    if (!failed(f, [&] { body(value.get()); })) {
        f.at(line);
        call(exit, {Py_None, Py_None, Py_None});
        return;
    }
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    bool suppress;
    {
        Handling handling(exc);
        f.at(line);
        Ref tb = Ref::steal(PyException_GetTraceback(exc));
        Ref result = call(exit, {reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc, tb ? tb.get() : Py_None});
        suppress = truthy(result);
    }
    if (suppress) return;
    PyErr_SetRaisedException(exc.release());
    throw PyError{true};
}

}  // namespace updater
