// Publisher continuity: a signed launcher is only ever replaced by a launcher
// that the same publisher signed, the same program at the same or a newer
// version.  Authenticode is Windows': the POSIX build, for development and
// tests, has no check and includes no Windows header.
#pragma once

#include "../kit/kit.h"

namespace updater::engine {

#ifdef _WIN32
// When the launcher `main_exe` carries an embedded Authenticode signature
// (valid or not), the download `new_exe` must pass WinVerifyTrust and its
// signer, from the chain that call validated, must have the same common
// name and organisation (and country, where the launcher's has one).  Then,
// when the launcher's version resource has a file version, the download's
// must have one, not lower (compared as four numbers), and the same
// OriginalFilename (ignoring case) where the launcher's names one.
// Returns why the download may not replace the launcher, naming the
// launcher's publisher and what was wrong (or both versions, or both
// names), or nothing when it may (or when there is no signed launcher).  An
// installed version resource that is there but cannot be read is a refusal
// too, with its Windows error.  A launcher or download that another program
// holds (a sharing or lock violation) raises that OSError, so that the swap
// waits for it as for its other steps; a download that cannot be read for
// any other reason raises its OSError too, since it cannot be vouched for.
// A path that is missing, or that Windows cannot take, is left to fail in
// the swap as it would without the check.  Calls nothing at Python level.
Ref check_publisher(PyObject* main_exe, PyObject* new_exe);
#else
inline Ref check_publisher(PyObject*, PyObject*) { return {}; }
#endif

}  // namespace updater::engine
