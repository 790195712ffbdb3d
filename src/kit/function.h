// The one function type of the module, its binder, and the closure records.
// A module declares its callables in a table of rows and hands the table to
// prepare_callables once; nothing here knows which callables there are.
#pragma once

#include "kit.h"

#include <initializer_list>

namespace updater {

// A body receives the bound arguments (borrowed, one per parameter) and
// returns a new reference, or throws PyError.
using Body = Ref (*)(Frame& f, PyObject* const* args);

constexpr int max_params = 4;

// What prepare_callables makes of a row, once per process.
struct CallableObjects {
    PyObject* name = nullptr;
    PyObject* qualname = nullptr;
    PyObject* params[max_params] = {};
    PyObject* code = nullptr;       // __code__
    PyTypeObject* scope = nullptr;  // the closure record type of a body with cells
};

// One row of a callable table.
struct Callable {
    const char* name;       // __name__, and the name in argument errors
    const char* qualname;   // __qualname__
    std::initializer_list<const char*> params;
    std::initializer_list<const char*> locals;  // after the parameters in co_varnames
    int line;               // definition line
    const char* tb_name;    // traceback entry name
    Body body;
    // The functions and lambdas the body defines, in the order the body
    // refers to them (as a code object keeps its inner code objects).
    std::initializer_list<Callable*> inner = {};
    // The variables of one call that inner functions read: the slots of the
    // closure record each call makes, and the record type's name.
    int cells = 0;
    const char* scope_name = nullptr;
    CallableObjects built = {};  // filled by prepare_callables
};

// Readies the function type and, for each row, its names, parameter names,
// code object and closure record type.  Once per process, from the entry
// point that imports the module; throws PyError (or std::bad_alloc) on
// failure.
void prepare_callables(Callable* table, size_t count);

// A new function object for `row` with the namespace `globals`, holding
// `closure` (or null).
Ref make_function(Callable& row, PyObject* globals, PyObject* closure = nullptr);

// The function the running body defines as its `i`-th inner function: it
// shares the body's globals, as a nested def does.  SystemError when the
// body's row lists no such function: a checked index in every build, since
// release builds compile asserts out and the list would be read past its end.
Ref make_inner(Frame& f, int i, PyObject* closure = nullptr);

// A fresh closure record for the cells of the running body's call.
Ref make_scope(Frame& f);
// Slot `i` of a record (borrowed; raises NameError when still unset).
PyObject* record_get(PyObject* record, int i, const char* var_name);
// Stores a new reference to `value` in slot `i`.
void record_set(PyObject* record, int i, PyObject* value);

}  // namespace updater
