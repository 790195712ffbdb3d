#include "platform.h"

namespace updater::engine {

using namespace lit;

bool on_windows() { return equal(attr(global(lit::os), name), nt); }

void give_launcher_mode(PyObject* main_exe, PyObject* old_exe, bool replaced)
{
    if (on_windows()) return;
    if (replaced) {
        call_method(global(lit::shutil), copymode, {old_exe, main_exe});
        return;
    }
    // The umask can only be read by setting it; it is put back at once.
    Ref os = global(lit::os);
    Ref mask = call_method(os, umask, {n0o022});
    call_method(os, umask, {mask});
    Ref mode = own(PyNumber_And(n0o755, own(PyNumber_Invert(mask))));
    call_method(os, chmod, {main_exe, mode});
}

}  // namespace updater::engine
