#include "engine.h"

namespace updater::engine {

namespace {

[[noreturn]] void not_built(const char* what)
{
    PyErr_Format(PyExc_NotImplementedError, "%s is not built yet", what);
    throw PyError{};
}

}  // namespace

Ref get_resource_path(Frame&, PyObject* const*) { not_built("get_resource_path"); }
Ref get_exe_dir(Frame&, PyObject* const*) { not_built("get_exe_dir"); }
Ref download_new_exe_with_progress(Frame&, PyObject* const*) { not_built("download_new_exe_with_progress"); }
Ref replace_and_run(Frame&, PyObject* const*) { not_built("replace_and_run"); }

}  // namespace updater::engine
