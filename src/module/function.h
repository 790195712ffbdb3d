// The one function type of the module, its binder, and the closure records.
#pragma once

#include "kit.h"

#include <initializer_list>

namespace updater {

// A body receives the bound arguments (borrowed, one per parameter) and
// returns a new reference, or throws PyError.
using Body = Ref (*)(Frame& f, PyObject* const* args);

// One row of the callable table.
struct Callable {
    const char* name;       // __name__, and the name in argument errors
    const char* qualname;   // __qualname__
    std::initializer_list<const char*> params;
    std::initializer_list<const char*> locals;  // after the parameters in co_varnames
    int line;               // definition line
    const char* tb_name;    // traceback entry name
    bool nested;            // defined inside another function
    Body body;
};

constexpr int max_params = 4;

// Readies the function and record types and builds every callable's
// name, qualified name, parameter names and code object.  Once per process.
int prepare_callables() noexcept;

// A new function object for table row `index`, holding `closure` (or null).
Ref make_function(int index, PyObject* closure = nullptr);

// A closure record: a garbage-collected object with `n` variable slots.
enum class Record { run_update, progress_callback };
Ref make_record(Record kind);
// Slot `i` of a record (borrowed; raises NameError when still unset).
PyObject* record_get(PyObject* record, int i, const char* var_name);
// Stores a new reference to `value` in slot `i`.
void record_set(PyObject* record, int i, PyObject* value);

}  // namespace updater
