#include "gui.h"

namespace updater::gui {

namespace {

[[noreturn]] void not_built(const char* what)
{
    PyErr_Format(PyExc_NotImplementedError, "%s is not built yet", what);
    throw PyError{};
}

}  // namespace

Ref init(Frame&, PyObject* const*) { not_built("UpdaterGUI.__init__"); }
Ref run_update(Frame&, PyObject* const*) { not_built("UpdaterGUI._run_update"); }
Ref run_update_progress_callback(Frame&, PyObject* const*) { not_built("progress_callback"); }
Ref lambda_failed_label(Frame&, PyObject* const*) { not_built("<lambda>"); }
Ref lambda_failed_dialog(Frame&, PyObject* const*) { not_built("<lambda>"); }
Ref lambda_bar(Frame&, PyObject* const*) { not_built("<lambda>"); }
Ref lambda_percent_line(Frame&, PyObject* const*) { not_built("<lambda>"); }
Ref lambda_size_line(Frame&, PyObject* const*) { not_built("<lambda>"); }
Ref lambda_ready(Frame&, PyObject* const*) { not_built("<lambda>"); }
Ref lambda_complete(Frame&, PyObject* const*) { not_built("<lambda>"); }
Ref complete_update(Frame&, PyObject* const*) { not_built("UpdaterGUI._complete_update"); }
Ref on_close(Frame&, PyObject* const*) { not_built("UpdaterGUI._on_close"); }

}  // namespace updater::gui
