// Publisher continuity: a signed launcher is only ever replaced by a launcher
// that the same publisher signed, the same program at the same or a newer
// version.  Authenticode is Windows': the POSIX build, for development and
// tests, has no check and includes no Windows header.
#pragma once

#include "../kit/kit.h"
#include "unique.h"

#include <cstdint>
#include <utility>

namespace updater::engine {

#ifdef _WIN32
// An open file: INVALID_HANDLE_VALUE when there is none.  Closed without the
// interpreter lock where the thread holds it, since a close can wait on
// whatever else has the file open.
struct FilePolicy {
    static void* invalid() noexcept { return reinterpret_cast<void*>(static_cast<std::intptr_t>(-1)); }
    static void close(void* file) noexcept;
};
using File = Unique<FilePolicy>;

// The download as the check let it in, held open for reading with only
// reading and deleting shared: nobody can write it, while the move can
// still rename it.  Held until close() (once the download is in place
// under the launcher's name) or the owner's end, whichever comes first, so
// a failed swap lets it go too.  Empty when nothing was checked.
class CheckedDownload {
public:
    CheckedDownload() noexcept = default;
    explicit CheckedDownload(File file) noexcept : file_(std::move(file)) {}

    void close() noexcept { file_.reset(); }

private:
    File file_;
};
#else
// Nothing is checked, so nothing is held.
class CheckedDownload {
public:
    void close() noexcept {}
};
#endif

struct PublisherCheck {
    Ref refusal;               // why the download may not replace the launcher; null when it may
    CheckedDownload download;  // the download as checked, when it may and there was a check
};

#ifdef _WIN32
// When the launcher `main_exe` (or, while it is missing, its backup
// `old_exe`) carries an embedded Authenticode signature, valid or not, the
// download `new_exe` must pass WinVerifyTrust and the chain that call built
// must hold; its signature, read as an installed launcher's is read, must
// prove the very certificate WinVerifyTrust took as its signer; it must be a
// program's signature, the file an executable image and no DLL, and its
// signer must have the same common name and organisation (and country,
// where the launcher's has one), compared as NFC values, as the certificate
// that the launcher's signer information names and whose key verifies the
// launcher's signature.  A launcher whose signature proves no publisher
// lets no download in.  Then, when the
// launcher's version resource has a file version, the download's must have
// one, not lower (compared as four numbers), and the same OriginalFilename
// (ignoring case, read from each file's listed translations, then the usual
// blocks) where the launcher's names one; an installed version
// resource that is there but cannot be read is a refusal too.
// The refusal names the launcher's publisher and what was wrong; without
// one the check holds the download until it is in place.  A launcher or
// download that another program holds (a sharing or lock violation) raises
// that OSError, so that the swap waits for it as for its other steps; a
// download that cannot be read for any other reason raises its OSError too,
// since it cannot be vouched for.  A path that is missing, or that Windows
// cannot take, is left to fail in the swap as it would without the check.
// Calls nothing at Python level.
PublisherCheck check_publisher(PyObject* main_exe, PyObject* old_exe, PyObject* new_exe);
#else
inline PublisherCheck check_publisher(PyObject*, PyObject*, PyObject*) { return {}; }
#endif

}  // namespace updater::engine
