// The text-mode update: one printed line per progress report.
#include "console.h"

#include "../engine/report.h"

namespace updater::console {

namespace {

// print(text): the builtin bound once at import.
void print(PyObject* text) { call(state.print, {text}); }

}  // namespace

// def console_update(self):
Ref console_update(Frame& f, PyObject* const*)
{
    // print("Tkinter not available, running console update...")
    f.at(166); print(lit::console_banner);
    f.at(167); Ref progress_callback = make_inner(f, def_console_progress_callback);
    f.at(176); Ref new_exe = call(global(f, lit::download_new_exe_with_progress), {progress_callback});
    f.at(177); if (!truthy(new_exe)) return none();
    // print("Update ready! Replacing and restarting...")
    f.at(178); print(lit::console_ready_text);
    try_except(f, [&] {
        f.at(180); call(global(f, lit::replace_and_run), {new_exe});
    }, [&](PyObject* e) {
        // print(f"Error: {e}")
        f.at(182); print(own(PyUnicode_Concat(lit::error_prefix, own(PyObject_Format(e, lit::empty)))));
        f.at(183); call_method(global(f, lit::sys), lit::exit, {lit::n1});
    });
    return none();
}

// def progress_callback(percent, speed_kb, known_size, downloaded_bytes):
Ref progress_callback(Frame& f, PyObject* const* args)
{
    PyObject* percent = args[0];
    PyObject* speed_kb = args[1];
    PyObject* known_size = args[2];
    PyObject* downloaded_bytes = args[3];
    f.at(168);
    if (equal(percent, lit::minus1)) {
        // print("Download failed!")
        f.at(169); print(lit::download_failed_text);
        f.at(170); call_method(global(f, lit::sys), lit::exit, {lit::n1});
    } else {
        f.at(171);
        if (truthy(known_size)) {
            f.at(172); print(engine::percent_line(percent, speed_kb));
        } else {
            f.at(174); print(engine::size_line(downloaded_bytes, speed_kb));
        }
    }
    return none();
}

}  // namespace updater::console
