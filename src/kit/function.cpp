#include "function.h"

#include <cstddef>
#include <new>

namespace updater {

namespace {

PyTypeObject* make_record_type(const char* name, int cells);

// ---------------------------------------------------------------------------
// Per-callable objects, built once per process from the table.

PyObject* make_code(const Callable& c, bool nested)
{
    const CallableObjects& o = c.built;
    Ref varnames = own(PyTuple_New(static_cast<Py_ssize_t>(c.params.size() + c.locals.size())));
    Py_ssize_t i = 0;
    for (const char* n : c.params) PyTuple_SET_ITEM(varnames.get(), i++, check(PyUnicode_InternFromString(n)));
    for (const char* n : c.locals) PyTuple_SET_ITEM(varnames.get(), i++, check(PyUnicode_InternFromString(n)));

    Ref empty = own(reinterpret_cast<PyObject*>(PyCode_NewEmpty("updater.py", c.name, c.line)));
    Ref replace = attr(empty, lit::replace);
    Ref kwnames = own(Py_BuildValue("(sssss)", "co_argcount", "co_nlocals", "co_varnames", "co_qualname",
                                    "co_flags"));
    Ref argcount = own(PyLong_FromSize_t(c.params.size()));
    Ref nlocals = own(PyLong_FromSsize_t(PyTuple_GET_SIZE(varnames.get())));
    Ref flags = own(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS | (nested ? CO_NESTED : 0)));
    return call(replace, {argcount, nlocals, varnames, o.qualname, flags}, kwnames).release();
}

void build_objects(Callable& c, bool nested)
{
    CallableObjects& o = c.built;
    if (!o.name) o.name = check(PyUnicode_InternFromString(c.name));
    if (!o.qualname) o.qualname = check(PyUnicode_InternFromString(c.qualname));
    int i = 0;
    for (const char* p : c.params) {
        if (!o.params[i]) o.params[i] = check(PyUnicode_InternFromString(p));
        ++i;
    }
    if (c.cells && !o.scope) o.scope = make_record_type(c.scope_name, c.cells);
    if (!o.code) o.code = make_code(c, nested);
}

// ---------------------------------------------------------------------------
// The binder: positional count, then keywords (identity, then text), then
// the check that every parameter has a value.  False with TypeError set.

bool wrong_count(const Callable& c, Py_ssize_t given)
{
    Py_ssize_t n = static_cast<Py_ssize_t>(c.params.size());
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", c.name,
                 "exactly", n, n == 1 ? "" : "s", given);
    return false;
}

Py_ssize_t find_param(const CallableObjects& o, Py_ssize_t from, Py_ssize_t to, PyObject* key)
{
    for (Py_ssize_t j = from; j < to; ++j)
        if (o.params[j] == key) return j;
    for (Py_ssize_t j = from; j < to; ++j)
        if (PyUnicode_GET_LENGTH(o.params[j]) == PyUnicode_GET_LENGTH(key) &&
            PyUnicode_Compare(o.params[j], key) == 0)
            return j;
    return -1;
}

bool bind(const Callable& c, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound)
{
    const CallableObjects& o = c.built;
    const Py_ssize_t n = static_cast<Py_ssize_t>(c.params.size());
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (n == 0) {
        if (nkw) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s", c.name, "takes no keyword arguments");
            return false;
        }
        if (nargs) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", c.name, "takes no arguments", nargs);
            return false;
        }
        return true;
    }
    if (nargs > n || (nkw == 0 && nargs != n)) return wrong_count(c, nargs);
    for (Py_ssize_t i = 0; i < n; ++i) bound[i] = i < nargs ? args[i] : nullptr;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", c.name);
            return false;
        }
        Py_ssize_t j = find_param(o, nargs, n, key);
        if (j >= 0) {
            bound[j] = args[nargs + k];
            continue;
        }
        if (find_param(o, 0, nargs, key) >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", c.name, key);
            return false;
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", c.name, key);
        return false;
    }
    for (Py_ssize_t i = nargs; i < n; ++i)
        if (!bound[i]) return wrong_count(c, i);
    return true;
}

// ---------------------------------------------------------------------------
// The function type.

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Callable* callable;
    PyObject* globals;
    PyObject* closure;  // closure record or null
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* dict;
    PyObject* annotations;
    PyObject* weakreflist;
};

PyTypeObject function_type;

Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

// Not noexcept: the unwinding of a thread ended by pthread_exit (a daemon
// thread during finalisation) has to pass through on its way out (see
// set_error_from_current_exception).
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames)
{
    Function* fn = as_function(self);
    const Callable& c = *fn->callable;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* bound[max_params];
    PyObject* const* values = args;  // the common call: every parameter by position
    if (kwnames || nargs != static_cast<Py_ssize_t>(c.params.size())) {
        if (!bind(c, args, nargs, kwnames, bound)) {
            // Callables without parameters reject their arguments before they start.
            if (c.params.size()) add_traceback(c.tb_name, c.line, fn->globals);
            return nullptr;
        }
        values = bound;
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        add_traceback(c.tb_name, c.line, fn->globals);
        return nullptr;
    }
    Frame f{c.tb_name, c.line, fn->closure, &c, fn->globals};
    PyObject* result = nullptr;
    // The one place where a body's C++ exceptions turn back into a failure.
    try {
        result = c.body(f, values).release();
    } catch (...) {
        set_error_from_current_exception(f);
    }
    Py_LeaveRecursiveCall();
    return result;
}

int function_traverse(PyObject* self, visitproc visit, void* arg)
{
    Function* fn = as_function(self);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->closure);
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->dict);
    Py_VISIT(fn->annotations);
    return 0;
}

int function_clear(PyObject* self)
{
    Function* fn = as_function(self);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->closure);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->dict);
    Py_CLEAR(fn->annotations);
    // name and qualname stay: repr and error messages may still need them.
    return 0;
}

void function_dealloc(PyObject* self)
{
    Function* fn = as_function(self);
    PyObject_GC_UnTrack(self);
    if (fn->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self)
{
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Binds as a method through an instance, like a Python function.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*)
{
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int set_text(PyObject** slot, PyObject* value, const char* what)
{
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*)
{
    return set_text(&as_function(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*)
{
    return set_text(&as_function(self)->qualname, value, "__qualname__");
}
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_function(self)->callable->built.code); }
PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(as_function(self)->globals); }
PyObject* get_closure(PyObject* self, void*)
{
    Function* fn = as_function(self);
    if (!fn->closure) Py_RETURN_NONE;
    Ref cell = Ref::steal(PyCell_New(fn->closure));
    return cell ? PyTuple_Pack(1, cell.get()) : nullptr;
}
// __module__ and __doc__ hold any value; deleted, they read as None, as a
// Python function's do.  `offset` is the field's offset in Function.
PyObject** field_at(PyObject* self, void* offset)
{
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + reinterpret_cast<size_t>(offset));
}
PyObject* get_field(PyObject* self, void* offset)
{
    PyObject* value = *field_at(self, offset);
    return Py_NewRef(value ? value : Py_None);
}
int set_field(PyObject* self, PyObject* value, void* offset)
{
    Py_XSETREF(*field_at(self, offset), Py_XNewRef(value));
    return 0;
}
PyObject* get_annotations(PyObject* self, void*)
{
    Function* fn = as_function(self);
    if (!fn->annotations && !(fn->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(fn->annotations);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__module__", get_field, set_field, nullptr, reinterpret_cast<void*>(offsetof(Function, module))},
    {"__doc__", get_field, set_field, nullptr, reinterpret_cast<void*>(offsetof(Function, doc))},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// pickle saves a function by its qualified name, found again in its module;
// copy and deepcopy then return the function itself.  A nested function's
// name has "<locals>" in it, and pickle refuses it as a local object.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Closure records: one garbage-collected type per body with cells, its
// slots trimmed to the number of cells.

struct RecordObject {
    PyObject_HEAD
    PyObject* slots[max_params];
};

int record_size(PyObject* self)
{
    return static_cast<int>((Py_TYPE(self)->tp_basicsize - offsetof(RecordObject, slots)) / sizeof(PyObject*));
}

int record_traverse(PyObject* self, visitproc visit, void* arg)
{
    auto* r = reinterpret_cast<RecordObject*>(self);
    for (int i = 0, n = record_size(self); i < n; ++i) Py_VISIT(r->slots[i]);
    return 0;
}

int record_clear(PyObject* self)
{
    auto* r = reinterpret_cast<RecordObject*>(self);
    for (int i = 0, n = record_size(self); i < n; ++i) Py_CLEAR(r->slots[i]);
    return 0;
}

void record_dealloc(PyObject* self)
{
    PyObject_GC_UnTrack(self);
    record_clear(self);
    PyObject_GC_Del(self);
}

// Type objects made here are static types: zeroed, their head set by hand,
// kept for the process.
void set_type_head(PyTypeObject& t)
{
    Py_SET_TYPE(reinterpret_cast<PyObject*>(&t), &PyType_Type);
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
}

PyTypeObject* make_record_type(const char* name, int cells)
{
    if (cells > max_params) {
        PyErr_Format(PyExc_SystemError, "updater: %s has more than %d cells", name, max_params);
        throw PyError{};
    }
    PyTypeObject* r = new PyTypeObject{};
    set_type_head(*r);
    r->tp_name = name;
    r->tp_basicsize = static_cast<Py_ssize_t>(offsetof(RecordObject, slots) + cells * sizeof(PyObject*));
    r->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    r->tp_dealloc = record_dealloc;
    r->tp_traverse = record_traverse;
    r->tp_clear = record_clear;
    if (PyType_Ready(r) < 0) {
        delete r;
        throw PyError{};
    }
    return r;
}

int ready_function_type()
{
    PyTypeObject& t = function_type;
    if (t.tp_flags & Py_TPFLAGS_READY) return 0;
    set_type_head(t);
    t.tp_name = "updater.function";
    t.tp_basicsize = sizeof(Function);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_dealloc = function_dealloc;
    t.tp_repr = function_repr;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_descr_get = function_descr_get;
    t.tp_getset = function_getset;
    t.tp_methods = function_methods;
    t.tp_dictoffset = offsetof(Function, dict);
    t.tp_weaklistoffset = offsetof(Function, weakreflist);
    return PyType_Ready(&t);
}

// Whether `row` is defined inside another callable of the table.
bool is_inner(const Callable& row, Callable* table, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        for (const Callable* inner : table[i].inner)
            if (inner == &row) return true;
    return false;
}

}  // namespace

void prepare_callables(Callable* table, size_t count)
{
    check(ready_function_type());
    for (size_t i = 0; i < count; ++i) build_objects(table[i], is_inner(table[i], table, count));
}

Ref make_function(Callable& row, PyObject* globals, PyObject* closure)
{
    Function* fn = PyObject_GC_New(Function, &function_type);
    if (!fn) throw PyError{};
    // GC_New leaves the fields uninitialised: set all before anything can fail.
    fn->vectorcall = function_vectorcall;
    fn->callable = &row;
    fn->globals = Py_NewRef(globals);
    fn->closure = Py_XNewRef(closure);
    fn->name = Py_NewRef(row.built.name);
    fn->qualname = Py_NewRef(row.built.qualname);
    fn->module = Py_NewRef(static_cast<PyObject*>(lit::updater));
    fn->doc = Py_NewRef(Py_None);
    fn->dict = nullptr;
    fn->annotations = nullptr;
    fn->weakreflist = nullptr;
    PyObject_GC_Track(fn);
    return Ref::steal(reinterpret_cast<PyObject*>(fn));
}

Ref make_inner(Frame& f, int i, PyObject* closure)
{
    if (!f.code || i < 0 || static_cast<size_t>(i) >= f.code->inner.size()) {
        PyErr_Format(PyExc_SystemError, "updater: %s defines no inner function %d", f.tb_name, i);
        throw PyError{};
    }
    return make_function(*f.code->inner.begin()[i], f.globals, closure);
}

Ref make_scope(Frame& f)
{
    PyTypeObject* type = f.code->built.scope;
    RecordObject* r = PyObject_GC_New(RecordObject, type);
    if (!r) throw PyError{};
    for (int i = 0; i < f.code->cells; ++i) r->slots[i] = nullptr;
    PyObject_GC_Track(r);
    return Ref::steal(reinterpret_cast<PyObject*>(r));
}

PyObject* record_get(PyObject* record, int i, const char* var_name)
{
    PyObject* value = reinterpret_cast<RecordObject*>(record)->slots[i];
    if (!value) {
        PyErr_Format(PyExc_NameError,
                     "cannot access free variable '%s' where it is not associated with a value in enclosing scope",
                     var_name);
        throw PyError{};
    }
    return value;
}

void record_set(PyObject* record, int i, PyObject* value)
{
    Py_XSETREF(reinterpret_cast<RecordObject*>(record)->slots[i], Py_NewRef(value));
}

}  // namespace updater
