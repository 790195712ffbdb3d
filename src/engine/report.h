// The two status texts built from a progress report, shared by the window
// and the console.
#pragma once

#include "../kit/kit.h"

namespace updater::engine {

// f"{percent:.1f}% • {speed_kb:.1f} KB/s"
Ref percent_line(PyObject* percent, PyObject* speed_kb);
// f"{downloaded_bytes // 1024} KB • {speed_kb:.1f} KB/s"
Ref size_line(PyObject* downloaded_bytes, PyObject* speed_kb);

}  // namespace updater::engine
