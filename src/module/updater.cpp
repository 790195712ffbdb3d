// The module `updater`: its definition, the create and exec steps, and the
// module body, statement by statement with its source lines.
#include "callables.h"

#ifndef UPDATER_COMPILE_MAJOR
#define UPDATER_COMPILE_MAJOR PY_MAJOR_VERSION
#endif
#ifndef UPDATER_COMPILE_MINOR
#define UPDATER_COMPILE_MINOR PY_MINOR_VERSION
#endif

namespace updater {

namespace {

constexpr const char* init_entry = "init updater";

int64_t first_interpreter = -1;

// Set when the runtime that first created the module has been finalised.  A
// host may then start another runtime in the same process, whose main
// interpreter has the recorded identifier again; the records still point at
// the objects of the one that ended.
bool runtime_ended = false;

void note_runtime_end() noexcept { runtime_ended = true; }

// ---------------------------------------------------------------------------
// Helpers of the module body.

void bind_global(PyObject* name, PyObject* value) { check(PyDict_SetItem(state.globals, name, value)); }

// import name   (returns the top-level package, as the statement binds it)
Ref import(PyObject* name)
{
    return own(PyImport_ImportModuleLevelObject(name, state.globals, nullptr, nullptr, 0));
}

// from module import names...   binds each name
void import_from(PyObject* module_name, PyObject* names)
{
    Ref module = own(PyImport_ImportModuleLevelObject(module_name, state.globals, nullptr, names, 0));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        Ref value = Ref::steal(PyObject_GetAttr(module, name));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError{};
            PyErr_Clear();
            // A submodule that is loaded but not (yet) set as an attribute.
            Ref full = own(PyUnicode_FromFormat("%U.%U", module_name, name));
            value = Ref::borrow(PyDict_GetItemWithError(PyImport_GetModuleDict(), full));
            if (!value) {
                if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
                throw PyError{};
            }
        }
        bind_global(name, value);
    }
}

void bind_function(Frame& f, int line, PyObject* name, Fn fn)
{
    f.at(line);
    bind_global(name, make_function(callables[fn], f.globals));
}

// The statements of the module file, in source order.
void module_body(Frame& f)
{
    f.at(2); bind_global(lit::sys, import(lit::sys));
    f.at(3); bind_global(lit::os, import(lit::os));
    f.at(4); bind_global(lit::time, import(lit::time));
    f.at(5); bind_global(lit::urllib, import(lit::urllib_request));
    // from urllib.error import HTTPError, URLError
    f.at(6); import_from(lit::urllib_error, lit::from_urllib_error);
    f.at(7); bind_global(lit::threading, import(lit::threading));
    f.at(8); bind_global(lit::subprocess, import(lit::subprocess));
    f.at(9); bind_global(lit::shutil, import(lit::shutil));

    try_except(f, [&] {
        f.at(12); bind_global(lit::tk, import(lit::tkinter));
        // from tkinter import ttk, messagebox
        f.at(13); import_from(lit::tkinter, lit::from_tkinter);
        f.at(14); bind_global(lit::TK_AVAILABLE, Py_True);
    }, [&](PyObject*) {
        f.at(16); bind_global(lit::TK_AVAILABLE, Py_False);
    });

    bind_function(f, 18, lit::get_resource_path, fn_get_resource_path);

    // UPDATE_URL = "https://.../latest/main/BrivexLauncher.exe"   (its address is set by the build)
    // MAIN_EXE_NAME = "BrivexLauncher.exe"
    // TEMP_EXE_NAME = "BrivexLauncher_new.exe"
    f.at(26); bind_global(lit::UPDATE_URL, lit::url_value);
    f.at(27); bind_global(lit::MAIN_EXE_NAME, lit::main_exe_value);
    f.at(28); bind_global(lit::TEMP_EXE_NAME, lit::temp_exe_value);

    // BG_DARK = "#121212"
    // BG_CARD = "#1e1e1e"
    // ACCENT_PRIMARY = "#00bcd4"
    // ACCENT_SUCCESS = "#4caf50"
    // TEXT_PRIMARY = "#ffffff"
    // TEXT_SECONDARY = "#b0b0b0"
    // BORDER_COLOR = "#333333"
    f.at(30); bind_global(lit::BG_DARK, lit::bg_dark_value);
    f.at(31); bind_global(lit::BG_CARD, lit::bg_card_value);
    f.at(32); bind_global(lit::ACCENT_PRIMARY, lit::accent_primary_value);
    f.at(33); bind_global(lit::ACCENT_SUCCESS, lit::accent_success_value);
    f.at(34); bind_global(lit::TEXT_PRIMARY, lit::text_primary_value);
    f.at(35); bind_global(lit::TEXT_SECONDARY, lit::text_secondary_value);
    f.at(36); bind_global(lit::BORDER_COLOR, lit::border_color_value);

    bind_function(f, 39, lit::get_exe_dir, fn_get_exe_dir);
    bind_function(f, 44, lit::download_new_exe_with_progress, fn_download_new_exe_with_progress);
    bind_function(f, 78, lit::replace_and_run, fn_replace_and_run);

    // class UpdaterGUI:
    f.at(94);
    Ref ns = own(PyDict_New());
    check(PyDict_SetItem(ns, lit::dunder_module, lit::updater));
    check(PyDict_SetItem(ns, lit::dunder_qualname, lit::UpdaterGUI));
    f.at(95); check(PyDict_SetItem(ns, lit::WIDTH, lit::n400));
    f.at(96); check(PyDict_SetItem(ns, lit::HEIGHT, lit::n200));
    const struct { int line; PyObject* name; Fn fn; } methods[] = {
        {98, lit::init, fn_init},
        {136, lit::_run_update, fn_run_update},
        {154, lit::_complete_update, fn_complete_update},
        {162, lit::_on_close, fn_on_close},
        {165, lit::console_update, fn_console_update},
    };
    for (const auto& m : methods) {
        f.at(m.line);
        check(PyDict_SetItem(ns, m.name, make_function(callables[m.fn], f.globals)));
    }
    f.at(94);
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), {lit::UpdaterGUI, lit::empty_tuple, ns});
    bind_global(lit::UpdaterGUI, cls);

    // if __name__ == "__main__": UpdaterGUI()
    f.at(186);
    if (equal(global(f, lit::dunder_name), lit::dunder_main)) {
        f.at(187);
        call(global(f, lit::UpdaterGUI), {});
    }
}

// ---------------------------------------------------------------------------
// Set-up steps of the exec step that follow the literals.

// True when the entry was added here (the module was loaded under another name).
bool register_module(PyObject* module)
{
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_GetItemWithError(modules, lit::updater)) return false;
    if (PyErr_Occurred()) throw PyError{};
    check(PyDict_SetItem(modules, lit::updater, module));
    return true;
}

// A failed exec step takes back the entry it added, so that a later
// `import updater` starts afresh instead of finding the half-built module.
// Not noexcept: dropping the entry may run finalisers (see Ref::~Ref).
void unregister_module(PyObject* module)
{
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* entry = PyDict_GetItemWithError(modules, lit::updater);
    if (entry == module) PyDict_DelItem(modules, lit::updater);
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

PyObject* early_builtin(PyObject* name)
{
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(state.builtins), name);
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw PyError{};
    }
    return Py_NewRef(value);
}

void set_up_and_run(PyObject* module, Frame& f, bool& registered)
{
    registered = register_module(module);
    if (!state.open) state.open = early_builtin(lit::open);
    if (!state.runtime_error) state.runtime_error = early_builtin(lit::RuntimeError);
    if (!state.print) state.print = early_builtin(lit::print);
    prepare_callables(callables, fn_count);
    module_body(f);
}

int version_check()
{
    long major = (Py_Version >> 24) & 0xFF;
    long minor = (Py_Version >> 16) & 0xFF;
    if (major == UPDATER_COMPILE_MAJOR && minor == UPDATER_COMPILE_MINOR) return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            UPDATER_COMPILE_MAJOR, UPDATER_COMPILE_MINOR, "updater", "does not match",
                            static_cast<int>(major), static_cast<int>(minor));
}

void forget_module()
{
    Py_CLEAR(state.module);
    Py_CLEAR(state.globals);
}

// ---------------------------------------------------------------------------
// The create and exec steps.

int copy_spec_attr(PyObject* spec, const char* from, PyObject* module, PyObject* to, bool skip_none)
{
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    int rc = 0;
    if (!(skip_none && value == Py_None)) rc = PyDict_SetItem(PyModule_GetDict(module), to, value);
    Py_DECREF(value);
    return rc;
}

// The create and exec steps are not noexcept: a thread that the interpreter
// ends while it imports the module (a daemon thread at shutdown) is unwound
// through them (see Ref::attached), which noexcept would turn into
// std::terminate for the whole process.
PyObject* create(PyObject* spec, PyModuleDef*)
{
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (first_interpreter == -1) {
        first_interpreter = current;
        // -1: the host's table of exit functions is full; a later runtime
        // then cannot be told apart from this one, and nothing else changes.
        static_cast<void>(Py_AtExit(note_runtime_end));
    } else if (first_interpreter != current || runtime_ended) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (state.module) return Py_NewRef(state.module);

    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (!name) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (!module) return nullptr;
    // The dunder names are interned by the interpreter itself.
    Ref to_loader = Ref::steal(PyUnicode_InternFromString("__loader__"));
    Ref to_file = Ref::steal(PyUnicode_InternFromString("__file__"));
    Ref to_package = Ref::steal(PyUnicode_InternFromString("__package__"));
    Ref to_path = Ref::steal(PyUnicode_InternFromString("__path__"));
    if (!to_loader || !to_file || !to_package || !to_path ||
        copy_spec_attr(spec, "loader", module, to_loader, false) < 0 ||
        copy_spec_attr(spec, "origin", module, to_file, false) < 0 ||
        copy_spec_attr(spec, "parent", module, to_package, false) < 0 ||
        copy_spec_attr(spec, "submodule_search_locations", module, to_path, true) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

int exec(PyObject* module)
{
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'updater' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    state.module = Py_NewRef(module);
    state.globals = Py_NewRef(PyModule_GetDict(module));
    if (!state.builtins && !(state.builtins = PyImport_ImportModule("builtins"))) {
        forget_module();
        return -1;
    }
    if (PyDict_SetItemString(state.globals, "__builtins__", state.builtins) < 0 || version_check() < 0) {
        forget_module();
        return -1;
    }
    if (lit::create() < 0) {
        forget_module();
        return -1;
    }

    Frame f{init_entry, 1, nullptr, nullptr, state.globals};
    bool ok = false;
    bool registered = false;
    // From here on a failure carries the "init updater" entry.
    try {
        set_up_and_run(module, f, registered);
        ok = true;
    } catch (...) {
        set_error_from_current_exception(f);
    }
    if (ok) return 0;
    if (registered) unregister_module(module);
    forget_module();
    return -1;
}

PyModuleDef_Slot slots[] = {
    {.slot = Py_mod_create, .value = reinterpret_cast<void*>(create)},
    {.slot = Py_mod_exec, .value = reinterpret_cast<void*>(exec)},
    {.slot = 0, .value = nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "updater",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace updater

PyMODINIT_FUNC PyInit_updater(void) { return PyModuleDef_Init(&updater::definition); }
