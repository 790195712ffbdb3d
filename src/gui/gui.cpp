// The update window: construction, the worker thread's progress requests,
// completion and close.  The worker's only toolkit call is root.after().
#include "gui.h"

#include "../engine/platform.h"
#include "../engine/report.h"
#include "../module/callables.h"

namespace updater::gui {

using namespace lit;

namespace {

// Slots of the two closure records.
enum RunUpdateSlot { ru_self, ru_new_exe };
enum ProgressSlot { pc_outer, pc_percent, pc_speed_kb, pc_downloaded_bytes };

PyObject* self_of_run_update(PyObject* record) { return record_get(record, ru_self, "self"); }
PyObject* self_of_progress(PyObject* record) { return self_of_run_update(record_get(record, pc_outer, "self")); }

// self.root.after(ms, request, *args)
void after(PyObject* self, PyObject* ms, PyObject* request, PyObject* arg = nullptr)
{
    Ref root_window = attr(self, root);
    if (arg) call_method(root_window, lit::after, {ms, request, arg});
    else call_method(root_window, lit::after, {ms, request});
}

Ref text_of(PyObject* obj) { return own(PyObject_Str(obj)); }

// self.speed_lbl.config(text=text)
Ref set_status(PyObject* self, PyObject* text) { return call_method(attr(self, speed_lbl), config, {text}, kw_text); }

}  // namespace

// def __init__(self):
Ref init(Frame& f, PyObject* const* args)
{
    PyObject* self = args[0];
    f.at(99);
    if (!truthy(global(TK_AVAILABLE))) {
        f.at(100); call_method(self, lit::console_update, {});
        return none();
    }
    f.at(103); set_attr(self, root, call(attr(global(tk), Tk), {}));
    f.at(104); call_method(attr(self, root), title, {window_title});
    f.at(105);
    call_method(attr(self, root), geometry,
                {join_text({text_of(attr(self, WIDTH)), x_sep, text_of(attr(self, HEIGHT))})});
    f.at(106); call_method(attr(self, root), resizable, {Py_False, Py_False});
    f.at(107); call_method(attr(self, root), configure, {global(BG_DARK)}, kw_bg);

    f.at(109); Ref icon_path = call(global(lit::get_resource_path), {icon_ico});
    f.at(110);
    if (truthy(call_method(attr(global(lit::os), path), exists, {icon_path}))) {
        // Tk takes an .ico file as the window icon on Windows only; elsewhere
        // the window keeps the toolkit's default icon.
        f.at(111); if (engine::on_windows()) call_method(attr(self, root), iconbitmap, {icon_path});
    }

    f.at(113);
    Ref width = call_method(attr(self, root), winfo_screenwidth, {});
    Ref x = own(PyNumber_FloorDivide(own(PyNumber_Subtract(width, attr(self, WIDTH))), n2));
    f.at(114);
    Ref height = call_method(attr(self, root), winfo_screenheight, {});
    Ref y = own(PyNumber_FloorDivide(own(PyNumber_Subtract(height, attr(self, HEIGHT))), n2));
    f.at(115); call_method(attr(self, root), geometry, {join_text({plus, text_of(x), plus, text_of(y)})});

    f.at(117);
    set_attr(self, card, call(attr(global(tk), tk_Frame),
                              {attr(self, root), global(BG_CARD), n2, flat, global(BORDER_COLOR), n1}, kw_card));
    f.at(118); call_method(attr(self, card), pack, {Py_True, both, n20, n20, n10, n10}, kw_card_pack);

    f.at(120);
    set_attr(self, title_lbl, call(attr(global(tk), Label),
                                   {attr(self, card), downloading_text, global(BG_CARD), global(TEXT_PRIMARY), font_title},
                                   kw_label));
    f.at(121); call_method(attr(self, title_lbl), pack, {pady_title}, kw_pady);

    f.at(123); set_attr(self, progress, call(attr(global(ttk), Progressbar), {attr(self, card), determinate, n300}, kw_progressbar));
    f.at(124); Ref style = call(attr(global(ttk), Style), {});
    f.at(125); call_method(style, theme_use, {clam});
    f.at(126); call_method(style, configure, {TProgressbar, global(ACCENT_SUCCESS), global(BG_DARK)}, kw_style);
    f.at(127); call_method(attr(self, progress), pack, {pady_bar}, kw_pady);

    f.at(129);
    set_attr(self, speed_lbl, call(attr(global(tk), Label),
                                   {attr(self, card), connecting_text, global(BG_CARD), global(TEXT_SECONDARY), font_status},
                                   kw_label));
    f.at(130); call_method(attr(self, speed_lbl), pack, {pady_status}, kw_pady);

    f.at(132); call_method(attr(self, root), protocol, {wm_delete_window, attr(self, lit::_on_close)});
    f.at(133);
    {
        Ref worker = call(attr(global(lit::threading), Thread), {attr(self, lit::_run_update), Py_True}, kw_thread);
        call_method(worker, start, {});
    }
    f.at(134); call_method(attr(self, root), mainloop, {});
    return none();
}

// def _run_update(self):
Ref run_update(Frame& f, PyObject* const* args)
{
    f.at(136);
    Ref scope = make_record(Record::run_update);
    record_set(scope, ru_self, args[0]);
    f.at(137); Ref progress_callback = make_function(fn_run_update_progress_callback, scope);
    f.at(149);
    Ref new_exe = call(global(lit::download_new_exe_with_progress), {progress_callback});
    record_set(scope, ru_new_exe, new_exe);
    f.at(150); if (!truthy(new_exe)) return none();
    f.at(151); after(self_of_run_update(scope), n0, make_function(fn_lambda_ready, scope));
    f.at(152); after(self_of_run_update(scope), n500, make_function(fn_lambda_complete, scope));
    return none();
}

// def progress_callback(percent, speed_kb, known_size, downloaded_bytes):
// Each report travels in its own record, captured by its own requests.
Ref run_update_progress_callback(Frame& f, PyObject* const* args)
{
    PyObject* percent = args[0];
    PyObject* known_size = args[2];
    Ref scope = make_record(Record::progress_callback);
    record_set(scope, pc_outer, f.closure);
    record_set(scope, pc_percent, percent);
    record_set(scope, pc_speed_kb, args[1]);
    record_set(scope, pc_downloaded_bytes, args[3]);
    PyObject* self = self_of_progress(scope);
    f.at(138);
    if (equal(percent, minus1)) {
        f.at(139); after(self, n0, make_function(fn_lambda_failed_label, scope));
        f.at(140); after(self, n0, make_function(fn_lambda_failed_dialog));
        f.at(141); after(self, n0, attr(global(lit::sys), lit::exit), n1);
    } else {
        f.at(143); after(self, n0, make_function(fn_lambda_bar, scope));
        f.at(144);
        if (truthy(known_size)) {
            f.at(145); after(self, n0, make_function(fn_lambda_percent_line, scope));
        } else {
            f.at(147); after(self, n0, make_function(fn_lambda_size_line, scope));
        }
    }
    return none();
}

// lambda: self.speed_lbl.config(text="Download failed!")
Ref lambda_failed_label(Frame& f, PyObject* const*)
{
    return set_status(self_of_progress(f.closure), download_failed_text);
}

// lambda: messagebox.showerror("Update Failed", "Could not download update.")
Ref lambda_failed_dialog(Frame&, PyObject* const*)
{
    return call(attr(global(messagebox), showerror), {update_failed_title, update_failed_message});
}

// lambda: self.progress.config(value=percent)
Ref lambda_bar(Frame& f, PyObject* const*)
{
    PyObject* self = self_of_progress(f.closure);
    return call_method(attr(self, progress), config, {record_get(f.closure, pc_percent, "percent")}, kw_value);
}

// lambda: self.speed_lbl.config(text=f"{percent:.1f}% • {speed_kb:.1f} KB/s")
Ref lambda_percent_line(Frame& f, PyObject* const*)
{
    PyObject* self = self_of_progress(f.closure);
    Ref line = engine::percent_line(record_get(f.closure, pc_percent, "percent"),
                                    record_get(f.closure, pc_speed_kb, "speed_kb"));
    return set_status(self, line);
}

// lambda: self.speed_lbl.config(text=f"{downloaded_bytes // 1024} KB • {speed_kb:.1f} KB/s")
Ref lambda_size_line(Frame& f, PyObject* const*)
{
    PyObject* self = self_of_progress(f.closure);
    Ref line = engine::size_line(record_get(f.closure, pc_downloaded_bytes, "downloaded_bytes"),
                                 record_get(f.closure, pc_speed_kb, "speed_kb"));
    return set_status(self, line);
}

// lambda: self.speed_lbl.config(text="Update ready! Restarting...")
Ref lambda_ready(Frame& f, PyObject* const*)
{
    return set_status(self_of_run_update(f.closure), ready_restarting_text);
}

// lambda: self._complete_update(new_exe)
Ref lambda_complete(Frame& f, PyObject* const*)
{
    PyObject* self = self_of_run_update(f.closure);
    return call_method(self, lit::_complete_update, {record_get(f.closure, ru_new_exe, "new_exe")});
}

// def _complete_update(self, new_exe):
Ref complete_update(Frame& f, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* new_exe = args[1];
    try_except(f, [&] {
        f.at(156); call(global(lit::replace_and_run), {new_exe});
        f.at(157); call_method(attr(self, root), destroy, {});
    }, [&](PyObject* e) {
        f.at(159); call(attr(global(messagebox), showerror), {update_error_title, text_of(e)});
        f.at(160); call_method(global(lit::sys), lit::exit, {n1});
    });
    return none();
}

// def _on_close(self):
Ref on_close(Frame& f, PyObject* const*)
{
    f.at(163); call_method(global(lit::sys), lit::exit, {n0});
    return none();
}

}  // namespace updater::gui
