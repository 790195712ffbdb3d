#include "platform.h"

#include <algorithm>

namespace updater::engine {


bool on_windows(const Frame& f) { return equal(attr(global(f, lit::os), lit::name), lit::nt); }

namespace {

// os.name == "nt" and getattr(e, "winerror", None) in (32, 33): another
// program has the file open without sharing it (32) or has locked a part of
// it (33).  Nothing else is worth waiting for.
bool held_by_another(const Frame& f, PyObject* e)
{
    if (!PyErr_GivenExceptionMatches(e, PyExc_OSError) || !on_windows(f)) return false;
    Ref winerror = attr_or(e, lit::winerror, Py_None);
    return equal(winerror, lit::n32) || equal(winerror, lit::n33);
}

}  // namespace

void wait_for_holder(Frame& f, HeldFiles& held, int pause_ms)
{
    Ref e = Ref::steal(PyErr_GetRaisedException());
    if (held.wait_left_ms == 0 || !held_by_another(f, e)) {
        PyErr_SetRaisedException(e.release());
        throw PyError{true};
    }
    Handling handling(e);
    int wait_ms = std::min(pause_ms, held.wait_left_ms);
    held.wait_left_ms -= wait_ms;
    Ref seconds = own(PyFloat_FromDouble(wait_ms / 1000.0));
    auto sleep = [&] { call_method(global(f, lit::time), lit::sleep, {seconds}); };
    if (!held.hold_interrupts) {
        sleep();
        return;
    }
    try_except(f, PyExc_BaseException, sleep, [&](PyObject* interrupt) {
        if (PyErr_GivenExceptionMatches(interrupt, PyExc_Exception)) reraise(interrupt);
        if (!held.interrupt) held.interrupt = Ref::borrow(interrupt);
    });
}

void make_backup_writable(Frame& f, PyObject* old_exe)
{
    if (!on_windows(f)) return;
    try_except(f, PyExc_OSError, [&] { call_method(global(f, lit::os), lit::chmod, {old_exe, lit::n0o200}); },
               [](PyObject*) {});
}

void give_launcher_mode(const Frame& f, PyObject* main_exe, PyObject* old_exe, bool replaced)
{
    if (on_windows(f)) return;
    if (replaced) {
        call_method(global(f, lit::shutil), lit::copymode, {old_exe, main_exe});
        return;
    }
    // The umask can only be read by setting it; it is put back at once.
    Ref os = global(f, lit::os);
    Ref mask = call_method(os, lit::umask, {lit::n0o022});
    call_method(os, lit::umask, {mask});
    Ref mode = own(PyNumber_And(lit::n0o755, own(PyNumber_Invert(mask))));
    call_method(os, lit::chmod, {main_exe, mode});
}

// A rename is a change of the directory, and reaches the disk with the
// directory's data, not with the file's:
//     if os.name != "nt":
//         try:
//             fd = os.open(directory, os.O_RDONLY)
//             try:
//                 os.fsync(fd)
//             finally:
//                 os.close(fd)
//         except OSError:
//             pass
// An OSError is ignored: the new launcher is in place by now and its name is
// visible, and some file systems refuse fsync on a directory (EINVAL).
// Failing here would report an installed launcher as a failed update and
// leave it unstarted.
void sync_directory(Frame& f, PyObject* directory)
{
    if (on_windows(f)) return;
    try_except(f, PyExc_OSError, [&] {
        Ref os_open = attr(global(f, lit::os), lit::open);
        Ref fd = call(os_open, {directory, attr(global(f, lit::os), lit::O_RDONLY)});
        try_finally(f, [&] { call_method(global(f, lit::os), lit::fsync, {fd}); },
                    [&] { call_method(global(f, lit::os), lit::close, {fd}); });
    }, [](PyObject*) {});
}

}  // namespace updater::engine
