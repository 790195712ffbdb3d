// The small platform layer for systems other than Windows, where the
// launcher is built to run.  Decided at the moment of use from `os.name`,
// like every other global the module reads.
#pragma once

#include "../kit/kit.h"

namespace updater::engine {

// os.name == "nt"
bool on_windows(const Frame& f);

// A freshly downloaded file cannot be started on POSIX: the new launcher
// gets the permission bits of the launcher it replaces (`replaced`), or
// rwxr-xr-x less the umask on a first installation.  Nothing on Windows.
void give_launcher_mode(const Frame& f, PyObject* main_exe, PyObject* old_exe, bool replaced);

// Makes the renames in `directory` durable before the new launcher starts:
// fsync of the directory itself, where the system has directory
// descriptors (not on Windows, whose NTFS journals the renames).
void sync_directory(Frame& f, PyObject* directory);

}  // namespace updater::engine
