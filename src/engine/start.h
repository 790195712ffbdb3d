// The start of the new launcher.  Inside a one-file build, the module runs
// in a runtime of its own: an unpack directory that is deleted when the
// application ends, and variables that tell the bootloader's next run it is
// that application's child.  The launcher must not inherit any of it.
#pragma once

#include "../kit/kit.h"

#include <string>

namespace updater::engine {

// Starts the launcher at `main_exe`, by its path alone, and returns the
// Popen object.  Outside a one-file build (no sys._MEIPASS) that is
// subprocess.Popen([main_exe]) and nothing else; inside one, the launcher
// gets the environment without the runtime's variables, paths and search
// path entries (see launcher_environment in start.cpp), and on Windows no
// DLL directory.  On Windows the launcher also inherits an error mode that
// ends it, instead of showing a dialog, when it cannot load (see
// FailCriticalErrors).
Ref start_launcher(Frame& f, PyObject* main_exe);

// For its lifetime, the process has no DLL directory, so that a process
// started meanwhile inherits none: the one a one-file bootloader set (its
// unpack directory) is cleared with SetDllDirectoryW(NULL) and set again
// when the guard ends.  When none is set, nothing is changed: an empty one
// (set to take the working directory out of the DLL search) cannot be told
// from none, and leaves nothing to inherit either.  The setting belongs to
// the whole process: another thread that loads a DLL meanwhile searches
// without it.  Nothing on POSIX.
class DllDirectoryCleared {
public:
#ifdef _WIN32
    DllDirectoryCleared();
    ~DllDirectoryCleared();
#else
    DllDirectoryCleared() noexcept {}
#endif
    DllDirectoryCleared(const DllDirectoryCleared&) = delete;
    DllDirectoryCleared& operator=(const DllDirectoryCleared&) = delete;

#ifdef _WIN32
private:
    std::wstring previous_;
    bool cleared_ = false;
#endif
};

}  // namespace updater::engine
