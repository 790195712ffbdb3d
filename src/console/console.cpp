#include "console.h"

namespace updater::console {

namespace {

[[noreturn]] void not_built(const char* what)
{
    PyErr_Format(PyExc_NotImplementedError, "%s is not built yet", what);
    throw PyError{};
}

}  // namespace

Ref console_update(Frame&, PyObject* const*) { not_built("UpdaterGUI.console_update"); }
Ref progress_callback(Frame&, PyObject* const*) { not_built("progress_callback"); }

}  // namespace updater::console
