// The update window: construction, the worker and its GUI requests,
// completion and close.
#pragma once

#include "../kit/function.h"

namespace updater::gui {

Ref init(Frame& f, PyObject* const* args);
Ref run_update(Frame& f, PyObject* const* args);
Ref run_update_progress_callback(Frame& f, PyObject* const* args);
Ref lambda_failed_label(Frame& f, PyObject* const* args);
Ref lambda_failed_dialog(Frame& f, PyObject* const* args);
Ref lambda_bar(Frame& f, PyObject* const* args);
Ref lambda_percent_line(Frame& f, PyObject* const* args);
Ref lambda_size_line(Frame& f, PyObject* const* args);
Ref lambda_ready(Frame& f, PyObject* const* args);
Ref lambda_complete(Frame& f, PyObject* const* args);
Ref complete_update(Frame& f, PyObject* const* args);
Ref on_close(Frame& f, PyObject* const* args);

}  // namespace updater::gui
