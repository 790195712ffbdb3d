// Install paths, download with progress, replace and restart.
#pragma once

#include "../kit/function.h"

namespace updater::engine {

Ref get_resource_path(Frame& f, PyObject* const* args);
Ref get_exe_dir(Frame& f, PyObject* const* args);
Ref download_new_exe_with_progress(Frame& f, PyObject* const* args);
Ref replace_and_run(Frame& f, PyObject* const* args);

}  // namespace updater::engine
