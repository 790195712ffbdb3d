// Publisher continuity: a signed launcher is only ever replaced by a launcher
// that the same publisher signed.  Authenticode is Windows': the POSIX build,
// for development and tests, has no check and includes no Windows header.
#pragma once

#include "../kit/kit.h"

namespace updater::engine {

#ifdef _WIN32
// When the launcher `main_exe` carries an embedded Authenticode signature
// (valid or not), the download `new_exe` must pass WinVerifyTrust and its
// signer, from the chain that call validated, must have the same common
// name and organisation (and country, where the launcher's has one).
// Otherwise the download is deleted and RuntimeError(reason) is raised,
// naming the launcher's publisher and what was wrong with the download.
// Paths the check cannot read (not text, missing, locked) are left to fail
// in the swap, as they would without it.  Calls nothing at Python level.
void check_publisher(PyObject* main_exe, PyObject* new_exe);
#else
inline void check_publisher(PyObject*, PyObject*) {}
#endif

}  // namespace updater::engine
