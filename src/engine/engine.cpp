// Install paths, the download with its progress reports, and the swap and
// restart of the launcher.  Each statement carries its line in updater.py.
#include "engine.h"
#include "platform.h"
#include "publisher.h"
#include "start.h"

namespace updater::engine {


namespace {

Ref os_path(const Frame& f) { return attr(global(f, lit::os), lit::path); }

// Only HTTPS may deliver the launcher: the address the response really came
// from, after any redirects, must be an https one, or the launcher could have
// been changed on its way.  urllib's responses always carry that address in
// `url`; a response that does not tell it cannot show where it came from and
// is refused as well.  raise URLError(...) otherwise.
void accept_transport(const Frame& f, PyObject* resp)
{
    Ref url = attr_or(resp, lit::url, Py_None);
    Ref reason;
    if (url.get() == Py_None) {
        reason = Ref::borrow(lit::refused_unknown_address);
    } else {
        Ref parts = call_method(attr(global(f, lit::urllib), lit::parse), lit::urlsplit, {url});
        Ref scheme = attr(parts, lit::scheme);
        if (equal(scheme, lit::https)) return;
        PyObject* prefix = equal(scheme, lit::http) ? lit::refused_plain_http : lit::refused_not_https;
        reason = own(PyUnicode_Concat(prefix, own(PyObject_Str(url))));
    }
    raise(call(attr(attr(global(f, lit::urllib), lit::error), lit::URLError), {reason}));
}

// The new launcher is in place and running by now, so a backup that cannot
// be deleted must not fail the update.  Windows refuses to delete a program
// that still runs (the old launcher may not have ended yet) and a read-only
// file:
//     try:
//         os.remove(old_exe)                  # retried while held (retry_held)
//     except OSError:
//         if os.name == "nt":
//             try:
//                 os.chmod(old_exe, 0o200)    # stat.S_IWRITE: not read-only
//                 os.remove(old_exe)          # retried while held
//             except OSError:
//                 pass
// A backup that is still there (a running program) is taken over by the
// next update's replacing rename.  It is left without its read-only
// attribute, since Windows renames nothing onto a read-only file.
void remove_backup(Frame& f, HeldFiles& held, PyObject* old_exe)
{
    auto remove = [&] { call_method(global(f, lit::os), lit::remove, {old_exe}); };
    try_except(f, PyExc_OSError, [&] { retry_held(f, held, remove); }, [&](PyObject*) {
        if (!on_windows(f)) return;
        try_except(f, PyExc_OSError, [&] {
            call_method(global(f, lit::os), lit::chmod, {old_exe, lit::n0o200});
            retry_held(f, held, remove);
        }, [](PyObject*) {});
    });
}

// A signed launcher (or, while it is missing, its signed backup) is only
// ever replaced by a launcher its publisher signed.  Either file may be held
// open for a moment by a scanner, so the check waits for it like the swap's
// other steps:
//     reason, checked = retry_held(lambda: check_publisher(main_exe, old_exe, new_exe))
//     if reason:
//         try:
//             retry_held(lambda: os.remove(new_exe))
//         except OSError:
//             pass
//         raise RuntimeError(reason)
//     return checked
// A refused download is deleted, so that no untrusted program waits beside
// the launcher; should it stay (still held), it is never started, and the
// next update's download overwrites it.  A download let in is returned held
// as it was checked, for the caller to let go once it is in place.  Nothing
// on POSIX.
CheckedDownload refuse_other_publisher(Frame& f, HeldFiles& held, PyObject* main_exe, PyObject* old_exe,
                                       PyObject* new_exe)
{
    PublisherCheck check;
    retry_held(f, held, [&] { check = check_publisher(main_exe, old_exe, new_exe); });
    if (!check.refusal) return std::move(check.download);
    Ref reason = std::move(check.refusal);
    try_except(f, PyExc_OSError, [&] {
        retry_held(f, held, [&] { call_method(global(f, lit::os), lit::remove, {new_exe}); });
    }, [](PyObject*) {});
    raise(call(state.runtime_error, {reason}));
}

// The download and the launcher share a directory, so the move is a
// rename, which never leaves half a file under the launcher's name; only a
// download on another volume is copied:
//     try:
//         retry_held(lambda: os.replace(new_exe, main_exe))
//     except OSError as e:
//         if e.errno != errno.EXDEV and getattr(e, "winerror", None) != 17:
//             raise
//         retry_held(lambda: shutil.move(new_exe, main_exe))
// (Windows' ERROR_NOT_SAME_DEVICE, 17, is EXDEV as Python maps it.)
void move_into_place(Frame& f, HeldFiles& held, PyObject* new_exe, PyObject* main_exe)
{
    try_except(f, PyExc_OSError, [&] {
        retry_held(f, held, [&] { call_method(global(f, lit::os), lit::replace, {new_exe, main_exe}); });
    }, [&](PyObject* e) {
        bool other_volume = equal(attr_or(e, lit::errno_name, Py_None), lit::n18) ||
                            equal(attr_or(e, lit::winerror, Py_None), lit::n17);
        if (!other_volume) reraise(e);
        retry_held(f, held, [&] { call_method(global(f, lit::shutil), lit::move, {new_exe, main_exe}); });
    });
}

// A launcher that ends within its first 2 s may have handed over to a
// running copy of itself (a single-instance program) or done its work; one
// that died before it could run is no launcher:
//     try:
//         status = process.wait(timeout=2)
//     except subprocess.TimeoutExpired:
//         return                              # still running
//     if os.name == "nt":
//         if status >= 0xC0000000:            # the loader's or the system's NTSTATUS
//             raise RuntimeError("the new launcher ended at once with exit status " + "0x%08X" % status)
//     elif status < 0:
//         raise RuntimeError("the new launcher ended at once with signal " + str(-status))
//     elif status == 127:                     # the dynamic loader's
//         raise RuntimeError("the new launcher ended at once with exit status 127")
// An object in Popen's place without such a wait() fails the start.
void watch_start(Frame& f, PyObject* process)
{
    Ref status;
    bool running = false;
    try_except(f, PyExc_Exception, [&] {
        status = call_method(process, lit::wait, {lit::n2}, lit::kw_timeout);
    }, [&](PyObject* e) {
        if (!PyErr_GivenExceptionMatches(e, attr(global(f, lit::subprocess), lit::TimeoutExpired))) reraise(e);
        running = true;
    });
    if (running) return;
    Ref reason;
    if (on_windows(f)) {
        if (truthy(own(PyObject_RichCompare(status, lit::n0xC0000000, Py_GE)))) {
            reason = own(PyUnicode_Concat(lit::ended_with_status, own(PyUnicode_Format(lit::hex_status, status))));
        }
    } else if (truthy(own(PyObject_RichCompare(status, lit::n0, Py_LT)))) {
        Ref signal = own(PyNumber_Negative(status));
        reason = own(PyUnicode_Concat(lit::ended_with_signal, own(PyObject_Str(signal))));
    } else if (equal(status, lit::n127)) {
        reason = own(PyUnicode_Concat(lit::ended_with_status, own(PyObject_Str(status))));
    }
    if (reason) raise(call(state.runtime_error, {reason}));
}

// The old launcher back under its name, with an allowance for held files
// of its own (the swap's may be spent by now), in two renames: the file in
// its place, if any, goes aside under the download's name first, since
// Windows refuses a rename onto a file that a scanner holds (WinError 5,
// which is not waited for) but reports a held source as a sharing
// violation (32, which is).  That file, which could not start, is deleted
// if it can be; the next download overwrites it otherwise.  Returns False
// when the old launcher could not be put back.  `held` is the put-back's own
// (3 s, interrupts held):
//     aside = os.path.join(exe_dir, TEMP_EXE_NAME)
//     try:
//         moved_aside = os.path.exists(main_exe)
//         if moved_aside:
//             retry_held(lambda: os.replace(main_exe, aside))
//         retry_held(lambda: os.replace(old_exe, main_exe))
//     except Exception:
//         return False
//     if moved_aside:
//         try:
//             retry_held(lambda: os.remove(aside))
//         except Exception:
//             pass
//     return True
bool put_back(Frame& f, HeldFiles& held, PyObject* exe_dir, PyObject* main_exe, PyObject* old_exe)
{
    Ref aside = call_method(os_path(f), lit::join, {exe_dir, global(f, lit::TEMP_EXE_NAME)});
    bool moved_aside = false;
    bool restored = false;
    try_except(f, [&] {
        moved_aside = truthy(call_method(os_path(f), lit::exists, {main_exe}));
        if (moved_aside) {
            retry_held(f, held, [&] { call_method(global(f, lit::os), lit::replace, {main_exe, aside}); });
        }
        retry_held(f, held, [&] { call_method(global(f, lit::os), lit::replace, {old_exe, main_exe}); });
        restored = true;
    }, [](PyObject*) {});
    if (!restored) return false;
    if (moved_aside) {
        try_except(f, [&] {
            retry_held(f, held, [&] { call_method(global(f, lit::os), lit::remove, {aside}); });
        }, [](PyObject*) {});
    }
    return true;
}

}  // namespace

// def get_resource_path(relative_path):
Ref get_resource_path(Frame& f, PyObject* const* args)
{
    PyObject* relative_path = args[0];
    Ref base_path;
    try_except(f, [&] {
        f.at(20); base_path = attr(global(f, lit::sys), lit::_MEIPASS);
    }, [&](PyObject*) {
        f.at(22); base_path = call_method(os_path(f), lit::abspath, {lit::dot});
    });
    f.at(23); return call_method(os_path(f), lit::join, {base_path, relative_path});
}

// def get_exe_dir():
Ref get_exe_dir(Frame& f, PyObject* const*)
{
    f.at(40);
    if (truthy(attr_or(global(f, lit::sys), lit::frozen, Py_False))) {
        f.at(41); return call_method(os_path(f), lit::dirname, {attr(global(f, lit::sys), lit::executable)});
    }
    f.at(42);
    Ref path = os_path(f);
    Ref dir = call_method(os_path(f), lit::dirname, {global(f, lit::dunder_file)});
    return call_method(path, lit::abspath, {dir});
}

// def download_new_exe_with_progress(progress_callback):
Ref download_new_exe_with_progress(Frame& f, PyObject* const* args)
{
    PyObject* progress_callback = args[0];
    f.at(45); Ref exe_dir = call(global(f, lit::get_exe_dir), {});
    f.at(46); Ref new_path = call_method(os_path(f), lit::join, {exe_dir, global(f, lit::TEMP_EXE_NAME)});
    Ref result;
    try_except(f, [&] {
        // req = urllib.request.Request(UPDATE_URL, headers={"Cache-Control": "no-cache"})
        f.at(48);
        Ref request_module = attr(global(f, lit::urllib), lit::request);
        Ref headers_dict = own(PyDict_New());
        check(PyDict_SetItem(headers_dict, lit::cache_control, lit::no_cache));
        Ref req = call(attr(request_module, lit::Request), {global(f, lit::UPDATE_URL), headers_dict}, lit::kw_headers);
        // with urllib.request.urlopen(req, timeout=60) as resp:
        f.at(49);
        Ref urlopen = attr(attr(global(f, lit::urllib), lit::request), lit::urlopen);
        Ref response = call(urlopen, {req, lit::n60}, lit::kw_timeout);
        with(f, 49, response, [&](PyObject* resp) {
            accept_transport(f, resp);  // still line 49: before anything is written
            // total_size = int(resp.headers.get("Content-Length", 0))
            f.at(50);
            Ref length = call_method(attr(resp, lit::headers), lit::get, {lit::content_length, lit::n0});
            Ref total_size = own(PyNumber_Long(length));
            f.at(51); Ref downloaded = Ref::borrow(lit::n0);
            f.at(52); Ref chunk_size = Ref::borrow(lit::n65536);
            f.at(53); Ref start_time = call_method(global(f, lit::time), lit::time, {});
            // with open(new_path, "wb") as f:
            f.at(54); Ref file = call(state.open, {new_path, lit::mode_wb});
            with(f, 54, file, [&](PyObject* out) {
                for (;;) {
                    // Only this one block is held: it is dropped before the next read.
                    f.at(56); Ref chunk = call_method(resp, lit::read, {chunk_size});
                    f.at(57); if (!truthy(chunk)) break;
                    f.at(59); call_method(out, lit::write, {chunk});
                    f.at(60);
                    Ref size = own(PyLong_FromSsize_t(check(PyObject_Length(chunk))));
                    downloaded = own(PyNumber_InPlaceAdd(downloaded, size));
                    Ref percent;
                    f.at(61);
                    if (truthy(greater(total_size, lit::n0))) {
                        f.at(62);
                        percent = own(PyNumber_Multiply(own(PyNumber_TrueDivide(downloaded, total_size)), lit::n100));
                    } else {
                        f.at(64); percent = Ref::borrow(lit::n0);
                    }
                    f.at(65);
                    Ref elapsed = own(PyNumber_Subtract(call_method(global(f, lit::time), lit::time, {}), start_time));
                    Ref speed;
                    f.at(66);
                    if (truthy(greater(elapsed, lit::n0))) {
                        f.at(67);
                        speed = own(PyNumber_TrueDivide(own(PyNumber_TrueDivide(downloaded, lit::n1024)), elapsed));
                    } else {
                        f.at(69); speed = Ref::borrow(lit::n0);
                    }
                    f.at(70); call(progress_callback, {percent, speed, greater(total_size, lit::n0), downloaded});
                }
                // The whole download reaches the disk before its name can
                // replace the launcher's: file systems write a renamed file's
                // data later than the rename, and a crash in between would
                // leave a launcher of zeros.  Once, after the last block:
                //     f.flush()
                //     os.fsync(f.fileno())
                // both on the with statement's line.
                f.at(54);
                call_method(out, lit::flush, {});
                Ref fsync = attr(global(f, lit::os), lit::fsync);
                call(fsync, {call_method(out, lit::fileno, {})});
            });
            // The body ended before the announced size: a cut connection
            // looks like a clean end, so this is the only place it shows:
            //     if total_size > 0 and total_size > downloaded:
            //         raise urllib.error.ContentTooShortError(
            //             "retrieval incomplete: got only %d out of %d bytes" % (downloaded, total_size), None)
            f.at(71);
            if (truthy(greater(total_size, lit::n0)) && truthy(greater(total_size, downloaded))) {
                Ref counts = own(PyTuple_Pack(2, downloaded.get(), total_size.get()));
                Ref message = own(PyUnicode_Format(lit::too_short_message, counts));
                Ref error_class = attr(attr(global(f, lit::urllib), lit::error), lit::ContentTooShortError);
                raise(call(error_class, {message, Py_None}));
            }
        });
        f.at(72); result = Ref::borrow(new_path);
    }, [&](PyObject*) {
        f.at(74); call(progress_callback, {lit::minus1, lit::n0, Py_False, lit::n0});
        f.at(75); result = none();
    });
    return result;
}

// def replace_and_run(new_exe):
Ref replace_and_run(Frame& f, PyObject* const* args)
{
    PyObject* new_exe = args[0];
    f.at(79); Ref exe_dir = call(global(f, lit::get_exe_dir), {});
    f.at(80); Ref main_exe = call_method(os_path(f), lit::join, {exe_dir, global(f, lit::MAIN_EXE_NAME)});
    f.at(81);
    Ref old_name = own(PyNumber_Add(global(f, lit::MAIN_EXE_NAME), lit::old_suffix));
    Ref old_exe = call_method(os_path(f), lit::join, {exe_dir, old_name});
    bool backed_up = false;
    bool restorable = false;  // the old launcher waits under the backup's name
    bool started = false;
    HeldFiles held;  // one wait for held files, shared by every step below
    // Interrupts are caught too: whatever stops the swap between the backup
    // and a start that succeeded, the old launcher goes back in its place.
    try_except(f, PyExc_BaseException, [&] {
        // Before anything moves; the download stays as checked until it is in place.
        f.at(84); CheckedDownload checked = refuse_other_publisher(f, held, main_exe, old_exe, new_exe);
        if (truthy(call_method(os_path(f), lit::exists, {main_exe}))) {
            // A replacing rename: a backup left over from an earlier run must
            // not block every later update, neither when it is read-only.
            //     make_backup_writable(old_exe)
            //     retry_held(lambda: os.replace(main_exe, old_exe))
            f.at(85);
            make_backup_writable(f, old_exe);
            retry_held(f, held, [&] { call_method(global(f, lit::os), lit::replace, {main_exe, old_exe}); });
            backed_up = true;
        }
        // A launcher that is missing while its backup is there was stopped
        // half-way through a swap (an interrupt, a crash): that backup is
        // the last launcher that ran, and is kept as the one made above.
        restorable = backed_up || truthy(call_method(os_path(f), lit::exists, {old_exe}));
        f.at(86); move_into_place(f, held, new_exe, main_exe);
        checked.close();  // in place: nobody could write it since the check
        give_launcher_mode(f, main_exe, old_exe, backed_up);  // still line 86
        // The renames reach the disk before the new launcher runs.
        f.at(89); sync_directory(f, exe_dir);
        // The start (line 89) runs before the backup's removal (lines 87-88),
        // so the entries name lines out of order.
        Ref process = start_launcher(f, main_exe);
        watch_start(f, process);
        started = true;
        // The backup goes only once its successor runs: a download that
        // passed every check may still be no program that starts (an error
        // page, a cut file, a scanner's quarantine, a policy's refusal).
        f.at(87);
        if (truthy(call_method(os_path(f), lit::exists, {old_exe}))) {
            f.at(88); remove_backup(f, held, old_exe);
        }
    }, [&](PyObject* e) {
        bool kept_aside = false;
        HeldFiles put_back_held;
        put_back_held.hold_interrupts = true;
        if (restorable && !started) {
            f.at(90); kept_aside = !put_back(f, put_back_held, exe_dir, main_exe, old_exe);
        }
        if (!PyErr_GivenExceptionMatches(e, PyExc_Exception)) reraise(e);
        if (put_back_held.interrupt) reraise(put_back_held.interrupt);
        // message = "Failed to replace and run: " + str(e)
        // if kept_aside:
        //     message += "; the previous launcher is kept as " + str(old_exe)
        // raise RuntimeError(message)
        f.at(91);
        Ref message = own(PyUnicode_Concat(lit::failed_prefix, own(PyObject_Format(e, lit::empty))));
        if (kept_aside) message = join_text({message, lit::kept_as, own(PyObject_Str(old_exe))});
        raise(call(state.runtime_error, {message}));
    });
    return none();
}

}  // namespace updater::engine
