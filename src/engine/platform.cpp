#include "platform.h"

namespace updater::engine {


bool on_windows(const Frame& f) { return equal(attr(global(f, lit::os), lit::name), lit::nt); }

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
