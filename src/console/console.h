// The text-mode update.
#pragma once

#include "../kit/function.h"

namespace updater::console {

Ref console_update(Frame& f, PyObject* const* args);
Ref progress_callback(Frame& f, PyObject* const* args);

}  // namespace updater::console
