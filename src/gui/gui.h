// The update window: construction, the worker and its GUI requests,
// completion and close.
#pragma once

#include "../kit/function.h"

namespace updater::gui {

// The cells of the two closure records; the last name of each is their count.
enum RunUpdateSlot { ru_self, ru_new_exe, run_update_cells };
enum ProgressSlot { pc_outer, pc_percent, pc_speed_kb, pc_downloaded_bytes, progress_cells };

// The functions each body defines, in the order of its `inner` list in the
// callable table.
enum RunUpdateInner { def_progress_callback, def_ready, def_complete };
enum ProgressInner { def_failed_label, def_failed_dialog, def_bar, def_percent_line, def_size_line };

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
