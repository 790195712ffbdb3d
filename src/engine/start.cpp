// The start of the new launcher, clean of a one-file build's runtime.  All
// of it runs on the start's line.
#include "start.h"

#include "platform.h"

namespace updater::engine {

namespace {

// os.path.join(os.path.normcase(os.path.normpath(path)), ""): the path with
// one separator at its end, spelt as the system compares it (on Windows in
// lower case and with backslashes only).
Ref directory_key(const Frame& f, PyObject* path)
{
    Ref os_path = attr(global(f, lit::os), lit::path);
    Ref normal = call_method(os_path, lit::normpath, {path});
    Ref key = call_method(os_path, lit::normcase, {normal});
    return call_method(os_path, lit::join, {key, lit::empty});
}

// Whether `value` is a path inside the directory whose key is `base`, the
// directory itself included:
//     os.path.isabs(value) and directory_key(value).startswith(base)
// The separator at the end of both keeps "_MEI1234" out of "_MEI123", and
// ".." steps are resolved before the comparison.  Relative values (numbers,
// words, empty entries) are never inside.
bool inside(const Frame& f, PyObject* base, PyObject* value)
{
    if (!truthy(call_method(attr(global(f, lit::os), lit::path), lit::isabs, {value}))) return false;
    return truthy(call_method(directory_key(f, value), lit::startswith, {base}));
}

// The environment the launcher gets inside a one-file build:
//     env = dict(os.environ)
//     if os.name != "nt":
//         saved = env.pop("LD_LIBRARY_PATH_ORIG", None)
//         if saved is not None:
//             env["LD_LIBRARY_PATH"] = saved
//     for name in list(env):
//         if name.startswith(("_PYI_", "_MEIPASS")) or inside(env[name]):
//             del env[name]
//     for name in ("PATH", "LD_LIBRARY_PATH"):    # PATH alone on Windows
//         if name in env:
//             kept = [p for p in env[name].split(os.pathsep) if not inside(p)]
//             if kept:
//                 env[name] = os.pathsep.join(kept)
//             else:
//                 del env[name]
//     return env
// The bootloader's own variables would make a bootloader that the launcher
// starts later take itself for this application's child, and refuse to run;
// TCL_LIBRARY and the like name the unpack directory, which is gone once
// the application ends.  On POSIX the bootloader puts the unpack directory
// in front of LD_LIBRARY_PATH and keeps the value it found in
// LD_LIBRARY_PATH_ORIG: that value is the launcher's.
Ref launcher_environment(const Frame& f, PyObject* unpack_dir)
{
    Ref base = directory_key(f, unpack_dir);
    Ref env = call(reinterpret_cast<PyObject*>(&PyDict_Type), {attr(global(f, lit::os), lit::os_environ)});
    bool posix = !on_windows(f);
    if (posix) {
        Ref saved = call_method(env, lit::pop, {lit::LD_LIBRARY_PATH_ORIG, Py_None});
        if (saved.get() != Py_None) check(PyDict_SetItem(env, lit::LD_LIBRARY_PATH, saved));
    }
    Ref names = own(PySequence_List(env));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
        PyObject* name = PyList_GET_ITEM(names.get(), i);
        Ref value = own(PyObject_GetItem(env, name));
        if (truthy(call_method(name, lit::startswith, {lit::runtime_prefixes})) || inside(f, base, value)) {
            check(PyObject_DelItem(env, name));
        }
    }
    Ref pathsep = attr(global(f, lit::os), lit::pathsep);
    auto drop_entries = [&](PyObject* name) {
        if (!check(PySequence_Contains(env, name))) return;
        Ref value = own(PyObject_GetItem(env, name));
        Ref entries = own(PySequence_List(call_method(value, lit::split, {pathsep})));
        Ref kept = own(PyList_New(0));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
            PyObject* entry = PyList_GET_ITEM(entries.get(), i);
            if (!inside(f, base, entry)) check(PyList_Append(kept, entry));
        }
        if (PyList_GET_SIZE(kept.get()) > 0) {
            check(PyObject_SetItem(env, name, own(PyUnicode_Join(pathsep, kept))));
        } else {
            check(PyObject_DelItem(env, name));
        }
    };
    drop_entries(lit::PATH);
    if (posix) drop_entries(lit::LD_LIBRARY_PATH);
    return env;
}

}  // namespace

// def start_launcher(main_exe):
//     # The path travels as a one-element list, so that a directory with
//     # spaces is never split into another program's name.
//     command = [main_exe]
//     unpack_dir = getattr(sys, "_MEIPASS", None)
//     with FailCriticalErrors():              # Windows: inherited by the launcher
//         if unpack_dir is None:
//             return subprocess.Popen(command)
//         env = launcher_environment(unpack_dir)
//         with DllDirectoryCleared():         # Windows
//             return subprocess.Popen(command, env=env)
Ref start_launcher(Frame& f, PyObject* main_exe)
{
    f.at(89);
    Ref command = own(PyList_New(1));
    PyList_SET_ITEM(command.get(), 0, Py_NewRef(main_exe));
    Ref unpack_dir = attr_or(global(f, lit::sys), lit::_MEIPASS, Py_None);
    Ref popen = attr(global(f, lit::subprocess), lit::Popen);
    FailCriticalErrors inherited_by_the_launcher;
    if (unpack_dir.get() == Py_None) return call(popen, {command});
    Ref env = launcher_environment(f, unpack_dir);
    DllDirectoryCleared no_dll_directory;
    return call(popen, {command, env}, lit::kw_env);
}

}  // namespace updater::engine
