// The start's DLL directory on Windows: a child process inherits the one its
// parent set, and a one-file bootloader sets its unpack directory, whose
// copies of common DLLs the launcher must not load (nor find gone later).
// kernel32 only.
#include "start.h"

#include <windows.h>

#include <new>

namespace updater::engine {

DllDirectoryCleared::DllDirectoryCleared()
{
    // The length of the directory without its terminating null, or the
    // size it needs when the buffer is too small; 0 when none is set.
    try {
        previous_.resize(MAX_PATH);
        for (;;) {
            DWORD size = static_cast<DWORD>(previous_.size() + 1);
            DWORD length = GetDllDirectoryW(size, previous_.data());
            if (length < size) {
                previous_.resize(length);
                break;
            }
            previous_.resize(length);
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        throw PyError{};
    }
    if (previous_.empty()) return;
    cleared_ = SetDllDirectoryW(nullptr) != 0;
}

DllDirectoryCleared::~DllDirectoryCleared()
{
    // Should this fail, the process searches as Windows does by default,
    // which takes nothing away from the module's own, already loaded, DLLs.
    if (cleared_) SetDllDirectoryW(previous_.c_str());
}

}  // namespace updater::engine
