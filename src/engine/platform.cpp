#include "platform.h"

namespace updater::engine {


bool on_windows() { return equal(attr(global(lit::os), lit::name), lit::nt); }

void give_launcher_mode(PyObject* main_exe, PyObject* old_exe, bool replaced)
{
    if (on_windows()) return;
    if (replaced) {
        call_method(global(lit::shutil), lit::copymode, {old_exe, main_exe});
        return;
    }
    // The umask can only be read by setting it; it is put back at once.
    Ref os = global(lit::os);
    Ref mask = call_method(os, lit::umask, {lit::n0o022});
    call_method(os, lit::umask, {mask});
    Ref mode = own(PyNumber_And(lit::n0o755, own(PyNumber_Invert(mask))));
    call_method(os, lit::chmod, {main_exe, mode});
}

}  // namespace updater::engine
