#include "kit.h"

#include <frameobject.h>

#include <map>
#include <new>
#include <utility>

namespace updater {

ModuleState state;

namespace {

// Code objects behind traceback entries, one per (name, line), kept for the
// process.  Names are the static C strings of the callable table.  The table
// is never destroyed: a destructor run at exit, after the interpreter has
// finished, would only drop the last pointers to the code objects.
using EntryCodes = std::map<std::pair<const char*, int>, PyCodeObject*>;

EntryCodes& entry_codes()
{
    static EntryCodes* codes = new EntryCodes;
    return *codes;
}

// Null when there is no memory for it (an exception may then be set).
PyCodeObject* entry_code(const char* tb_name, int line)
{
    auto key = std::make_pair(tb_name, line);
    try {
        auto it = entry_codes().find(key);
        if (it != entry_codes().end()) return it->second;
    } catch (const std::bad_alloc&) {  // the table itself
        return nullptr;
    }
    // The code object's first line is the line the traceback shows.
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("updater.py", tb_name, line)));
    if (!code) return nullptr;
    try {
        // Making the code object may run a collection, and with it another
        // thread that adds the same entry first.
        auto [slot, inserted] =
            entry_codes().emplace(key, reinterpret_cast<PyCodeObject*>(code.get()));
        if (inserted) (void)code.release();
        return slot->second;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

void add_traceback(const char* tb_name, int line, PyObject* globals)
{
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    PyFrameObject* frame = nullptr;
    Ref fallback;
    if (!globals) {
        fallback = Ref::steal(PyDict_New());
        globals = fallback.get();
    }
    if (PyCodeObject* code = globals ? entry_code(tb_name, line) : nullptr) {
        frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    }
    // A failure to build the entry must not replace the exception itself.
    if (!frame) PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

void set_error_from_current_exception(Frame& f)
{
    try {
        throw;
    } catch (const PyError& e) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "updater: error reported without an exception set");
            add_traceback(f);
        } else if (!e.traced) {
            add_traceback(f);
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        add_traceback(f);
    } catch (...) {
        // Without a thread state this is the unwinding of pthread_exit: it
        // must go on, and nothing may be touched.  POSIX only: on Windows
        // the thread is ended by ExitThread without any unwinding.
        if (!Ref::attached()) throw;
        PyErr_SetString(PyExc_SystemError, "updater: unexpected C++ exception");
        add_traceback(f);
    }
}

Ref attr_or(PyObject* obj, PyObject* name, PyObject* fallback)
{
    Ref value = Ref::steal(PyObject_GetAttr(obj, name));
    if (value) return value;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError{};
    PyErr_Clear();
    return Ref::borrow(fallback);
}

Ref global(const Frame& f, PyObject* name)
{
    PyObject* value = PyDict_GetItemWithError(f.globals, name);
    if (!value) {
        if (PyErr_Occurred()) throw PyError{};
        PyObject* builtins = PyModule_GetDict(state.builtins);
        value = builtins ? PyDict_GetItemWithError(builtins, name) : nullptr;
        if (!value) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            throw PyError{};
        }
    }
    return Ref::borrow(value);
}

namespace {

constexpr size_t max_args = 15;

void check_arg_count(size_t n)
{
    if (n > max_args) {
        PyErr_SetString(PyExc_SystemError, "updater: too many call arguments");
        throw PyError{};
    }
}

}  // namespace

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames)
{
    // One spare slot in front lets the callee prepend a bound `self`.
    check_arg_count(args.size());
    PyObject* argv[max_args + 1];
    size_t n = 0;
    for (PyObject* a : args) argv[1 + n++] = a;
    size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return own(PyObject_Vectorcall(callable, argv + 1, (n - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args, PyObject* kwnames)
{
    check_arg_count(args.size());
    PyObject* argv[max_args + 1];
    argv[0] = obj;
    size_t n = 1;
    for (PyObject* a : args) argv[n++] = a;
    size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return own(PyObject_VectorcallMethod(name, argv, (n - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref join_text(std::initializer_list<PyObject*> pieces)
{
    Ref tuple = own(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
    Py_ssize_t i = 0;
    for (PyObject* p : pieces) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(p));
    return own(PyUnicode_Join(lit::empty, tuple));
}

Ref special_method(PyObject* obj, PyObject* name)
{
    PyTypeObject* type = Py_TYPE(obj);
    Ref found = Ref::borrow(_PyType_Lookup(type, name));
    if (!found) {
        if (PyErr_Occurred()) throw PyError{};
        return found;
    }
    descrgetfunc bind = Py_TYPE(found.get())->tp_descr_get;
    if (!bind) return found;
    return own(bind(found, obj, reinterpret_cast<PyObject*>(type)));
}

void throw_not_a_context_manager(PyObject* manager, const char* missed)
{
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s",
                     Py_TYPE(manager)->tp_name, missed);
    throw PyError{};
}

void raise(PyObject* exc)
{
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    throw PyError{};
}

}  // namespace updater
