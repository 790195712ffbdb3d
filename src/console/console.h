// The text-mode update.
#pragma once

#include "../kit/function.h"

namespace updater::console {

// The function console_update defines (its `inner` list in the callable table).
enum ConsoleInner { def_console_progress_callback };

Ref console_update(Frame& f, PyObject* const* args);
Ref progress_callback(Frame& f, PyObject* const* args);

}  // namespace updater::console
