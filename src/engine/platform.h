// The small platform layer: what the swap does differently on Windows, where
// the launcher is built to run, and on other systems.  Decided at the moment
// of use from `os.name`, like every other global the module reads.
#pragma once

#include "../kit/kit.h"

namespace updater::engine {

// os.name == "nt"
bool on_windows(const Frame& f);

// What one update may wait, in all, for files that another program holds
// open: scanners, indexers and backup agents open a fresh executable for a
// moment, often without sharing its deletion.  The window's event loop does
// not run during the swap, and Windows greys out a window that has not
// answered for 5 s.
struct HeldFiles {
    int wait_left_ms = 3000;
    // Set for the put-back, which must run to its end: an interrupt
    // (a BaseException that is no Exception) raised by one of its waits is
    // kept in `interrupt`, the first one only, for the caller to raise
    // once the put-back is over.  The wait it cut short counts as waited.
    bool hold_interrupts = false;
    Ref interrupt;
};

// Takes the pending error of a step that failed: returns after a pause when
// the step should run again, throws it (unchanged) otherwise.  `pause_ms`
// doubles from one try of a step to the next; see retry_held.
void wait_for_holder(Frame& f, HeldFiles& held, int pause_ms);

// A file step, run again while Windows says that another program holds the
// file (a sharing or a lock violation), for as long as `held` allows:
//     pause = 0.05
//     while True:
//         try:
//             step()
//             break
//         except OSError as e:
//             if os.name != "nt" or getattr(e, "winerror", None) not in (32, 33) or not wait_left:
//                 raise
//             wait = min(pause, wait_left)
//             wait_left -= wait
//             time.sleep(wait)
//             pause *= 2
// Every try runs on the frame's current line, and the error that ends the
// retries carries it, as the step's own error would.
template <class Step>
void retry_held(Frame& f, HeldFiles& held, Step&& step)
{
    for (int pause_ms = 50;; pause_ms *= 2) {
        if (!failed(f, step)) return;
        wait_for_holder(f, held, pause_ms);
    }
}

// A backup left read-only by someone else would refuse the replacing rename
// of every later update (Windows renames nothing onto a read-only file):
//     if os.name == "nt":
//         try:
//             os.chmod(old_exe, 0o200)    # stat.S_IWRITE: not read-only
//         except OSError:
//             pass
// An error is left to the rename, which reports its own (no backup at all
// is the common case).
void make_backup_writable(Frame& f, PyObject* old_exe);

// A freshly downloaded file cannot be started on POSIX: the new launcher
// gets the permission bits of the launcher it replaces (`replaced`), or
// rwxr-xr-x less the umask on a first installation.  Nothing on Windows.
void give_launcher_mode(const Frame& f, PyObject* main_exe, PyObject* old_exe, bool replaced);

// Windows shows a dialog when a program cannot find a DLL it imports, and
// the program waits on it instead of ending.  While a guard lives, the
// process's error mode has SEM_FAILCRITICALERRORS, which a process started
// meanwhile inherits, so such a program ends at once with its status
// (0xC0000135).  The earlier mode comes back with the guard's end.  Nothing
// on other systems.
class FailCriticalErrors {
public:
#ifdef _WIN32
    FailCriticalErrors() noexcept;
    ~FailCriticalErrors();
    FailCriticalErrors(const FailCriticalErrors&) = delete;
    FailCriticalErrors& operator=(const FailCriticalErrors&) = delete;

private:
    unsigned previous_;
#else
    FailCriticalErrors() noexcept {}
#endif
};

// Makes the renames in `directory` durable before the new launcher starts:
// fsync of the directory itself, where the system has directory
// descriptors (not on Windows, whose NTFS journals the renames).
void sync_directory(Frame& f, PyObject* directory);

}  // namespace updater::engine
