// The update window: construction, the worker thread's progress requests,
// completion and close.  The worker's only toolkit call is root.after().
#include "gui.h"

#include "../engine/platform.h"
#include "../engine/report.h"

namespace updater::gui {

namespace {

PyObject* self_of_run_update(PyObject* record) { return record_get(record, ru_self, "self"); }
PyObject* self_of_progress(PyObject* record)
{
    return self_of_run_update(record_get(record, pc_outer, "self"));
}

// self.root.after(ms, request, *args)
void after(PyObject* self, PyObject* ms, PyObject* request, PyObject* arg = nullptr)
{
    Ref root_window = attr(self, lit::root);
    if (arg) call_method(root_window, lit::after, {ms, request, arg});
    else call_method(root_window, lit::after, {ms, request});
}

Ref text_of(PyObject* obj) { return own(PyObject_Str(obj)); }

// self.speed_lbl.config(text=text)
Ref set_status(PyObject* self, PyObject* text)
{
    return call_method(attr(self, lit::speed_lbl), lit::config, {text}, lit::kw_text);
}

}  // namespace

// def __init__(self):
// Each statement carries its Python line above it: its keyword names and
// texts are entries of the literal table.
Ref init(Frame& f, PyObject* const* args)
{
    PyObject* self = args[0];
    // if not TK_AVAILABLE:
    f.at(99);
    if (!truthy(global(f, lit::TK_AVAILABLE))) {
        // self.console_update()
        // return
        f.at(100); call_method(self, lit::console_update, {});
        return none();
    }
    // self.root = tk.Tk()
    f.at(103); set_attr(self, lit::root, call(attr(global(f, lit::tk), lit::Tk), {}));
    // self.root.title("Brivex Updater")
    f.at(104); call_method(attr(self, lit::root), lit::title, {lit::window_title});
    // self.root.geometry(f"{self.WIDTH}x{self.HEIGHT}")
    f.at(105);
    call_method(attr(self, lit::root), lit::geometry,
                {join_text({text_of(attr(self, lit::WIDTH)), lit::x_sep, text_of(attr(self, lit::HEIGHT))})});
    // self.root.resizable(False, False)
    f.at(106); call_method(attr(self, lit::root), lit::resizable, {Py_False, Py_False});
    // self.root.configure(bg=BG_DARK)
    f.at(107); call_method(attr(self, lit::root), lit::configure, {global(f, lit::BG_DARK)}, lit::kw_bg);

    // icon_path = get_resource_path("icon.ico")
    f.at(109); Ref icon_path = call(global(f, lit::get_resource_path), {lit::icon_ico});
    // if os.path.exists(icon_path):
    f.at(110);
    if (truthy(call_method(attr(global(f, lit::os), lit::path), lit::exists, {icon_path}))) {
        // self.root.iconbitmap(icon_path)
        // Tk takes an .ico file as the window icon on Windows only; elsewhere
        // the window keeps the toolkit's default icon.
        f.at(111); if (engine::on_windows(f)) call_method(attr(self, lit::root), lit::iconbitmap, {icon_path});
    }

    // x = (self.root.winfo_screenwidth() - self.WIDTH) // 2
    f.at(113);
    Ref width = call_method(attr(self, lit::root), lit::winfo_screenwidth, {});
    Ref x = own(PyNumber_FloorDivide(own(PyNumber_Subtract(width, attr(self, lit::WIDTH))), lit::n2));
    // y = (self.root.winfo_screenheight() - self.HEIGHT) // 2
    f.at(114);
    Ref height = call_method(attr(self, lit::root), lit::winfo_screenheight, {});
    Ref y = own(PyNumber_FloorDivide(own(PyNumber_Subtract(height, attr(self, lit::HEIGHT))), lit::n2));
    // self.root.geometry(f"+{x}+{y}")
    f.at(115);
    call_method(attr(self, lit::root), lit::geometry, {join_text({lit::plus, text_of(x), lit::plus, text_of(y)})});

    // self.card = tk.Frame(self.root, bg=BG_CARD, bd=2, relief="flat",
    //                      highlightbackground=BORDER_COLOR, highlightthickness=1)
    f.at(117);
    set_attr(self, lit::card,
             call(attr(global(f, lit::tk), lit::tk_Frame),
                  {attr(self, lit::root), global(f, lit::BG_CARD), lit::n2, lit::flat, global(f, lit::BORDER_COLOR), lit::n1},
                  lit::kw_card));
    // self.card.pack(expand=True, fill="both", padx=20, pady=20, ipadx=10, ipady=10)
    f.at(118);
    call_method(attr(self, lit::card), lit::pack, {Py_True, lit::both, lit::n20, lit::n20, lit::n10, lit::n10},
                lit::kw_card_pack);

    // self.title_lbl = tk.Label(self.card, text="Downloading Update...", bg=BG_CARD,
    //                           fg=TEXT_PRIMARY, font=("Helvetica", 14, "bold"))
    f.at(120);
    set_attr(self, lit::title_lbl,
             call(attr(global(f, lit::tk), lit::Label),
                  {attr(self, lit::card), lit::downloading_text, global(f, lit::BG_CARD), global(f, lit::TEXT_PRIMARY),
                   lit::font_title},
                  lit::kw_label));
    // self.title_lbl.pack(pady=(10, 15))
    f.at(121); call_method(attr(self, lit::title_lbl), lit::pack, {lit::pady_title}, lit::kw_pady);

    // self.progress = ttk.Progressbar(self.card, mode="determinate", length=300)
    f.at(123);
    set_attr(self, lit::progress,
             call(attr(global(f, lit::ttk), lit::Progressbar), {attr(self, lit::card), lit::determinate, lit::n300},
                  lit::kw_progressbar));
    // style = ttk.Style()
    f.at(124); Ref style = call(attr(global(f, lit::ttk), lit::Style), {});
    // style.theme_use("clam")
    f.at(125); call_method(style, lit::theme_use, {lit::clam});
    // style.configure("TProgressbar", background=ACCENT_SUCCESS, troughcolor=BG_DARK)
    f.at(126);
    call_method(style, lit::configure, {lit::TProgressbar, global(f, lit::ACCENT_SUCCESS), global(f, lit::BG_DARK)},
                lit::kw_style);
    // self.progress.pack(pady=(0, 10))
    f.at(127); call_method(attr(self, lit::progress), lit::pack, {lit::pady_bar}, lit::kw_pady);

    // self.speed_lbl = tk.Label(self.card, text="Connecting...", bg=BG_CARD,
    //                           fg=TEXT_SECONDARY, font=("Helvetica", 10))
    f.at(129);
    set_attr(self, lit::speed_lbl,
             call(attr(global(f, lit::tk), lit::Label),
                  {attr(self, lit::card), lit::connecting_text, global(f, lit::BG_CARD), global(f, lit::TEXT_SECONDARY),
                   lit::font_status},
                  lit::kw_label));
    // self.speed_lbl.pack(pady=(0, 5))
    f.at(130); call_method(attr(self, lit::speed_lbl), lit::pack, {lit::pady_status}, lit::kw_pady);

    // self.root.protocol("WM_DELETE_WINDOW", self._on_close)
    f.at(132); call_method(attr(self, lit::root), lit::protocol, {lit::wm_delete_window, attr(self, lit::_on_close)});
    // threading.Thread(target=self._run_update, daemon=True).start()
    f.at(133);
    {
        Ref worker =
            call(attr(global(f, lit::threading), lit::Thread), {attr(self, lit::_run_update), Py_True}, lit::kw_thread);
        call_method(worker, lit::start, {});
    }
    // self.root.mainloop()
    f.at(134); call_method(attr(self, lit::root), lit::mainloop, {});
    return none();
}

// def _run_update(self):
Ref run_update(Frame& f, PyObject* const* args)
{
    f.at(136);
    Ref scope = make_scope(f);
    record_set(scope, ru_self, args[0]);
    f.at(137); Ref progress_callback = make_inner(f, def_progress_callback, scope);
    f.at(149);
    Ref new_exe = call(global(f, lit::download_new_exe_with_progress), {progress_callback});
    record_set(scope, ru_new_exe, new_exe);
    f.at(150); if (!truthy(new_exe)) return none();
    f.at(151); after(self_of_run_update(scope), lit::n0, make_inner(f, def_ready, scope));
    f.at(152); after(self_of_run_update(scope), lit::n500, make_inner(f, def_complete, scope));
    return none();
}

// def progress_callback(percent, speed_kb, known_size, downloaded_bytes):
// Each report travels in its own record, captured by its own requests.
Ref run_update_progress_callback(Frame& f, PyObject* const* args)
{
    PyObject* percent = args[0];
    PyObject* known_size = args[2];
    Ref scope = make_scope(f);
    record_set(scope, pc_outer, f.closure);
    record_set(scope, pc_percent, percent);
    record_set(scope, pc_speed_kb, args[1]);
    record_set(scope, pc_downloaded_bytes, args[3]);
    PyObject* self = self_of_progress(scope);
    f.at(138);
    if (equal(percent, lit::minus1)) {
        f.at(139); after(self, lit::n0, make_inner(f, def_failed_label, scope));
        f.at(140); after(self, lit::n0, make_inner(f, def_failed_dialog));
        f.at(141); after(self, lit::n0, attr(global(f, lit::sys), lit::exit), lit::n1);
    } else {
        f.at(143); after(self, lit::n0, make_inner(f, def_bar, scope));
        f.at(144);
        if (truthy(known_size)) {
            f.at(145); after(self, lit::n0, make_inner(f, def_percent_line, scope));
        } else {
            f.at(147); after(self, lit::n0, make_inner(f, def_size_line, scope));
        }
    }
    return none();
}

// lambda: self.speed_lbl.config(text="Download failed!")
Ref lambda_failed_label(Frame& f, PyObject* const*)
{
    return set_status(self_of_progress(f.closure), lit::download_failed_text);
}

// lambda: messagebox.showerror("Update Failed", "Could not download update.")
Ref lambda_failed_dialog(Frame& f, PyObject* const*)
{
    return call(attr(global(f, lit::messagebox), lit::showerror), {lit::update_failed_title, lit::update_failed_message});
}

// lambda: self.progress.config(value=percent)
Ref lambda_bar(Frame& f, PyObject* const*)
{
    PyObject* self = self_of_progress(f.closure);
    return call_method(attr(self, lit::progress), lit::config, {record_get(f.closure, pc_percent, "percent")},
                       lit::kw_value);
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
    return set_status(self_of_run_update(f.closure), lit::ready_restarting_text);
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
        f.at(156); call(global(f, lit::replace_and_run), {new_exe});
        f.at(157); call_method(attr(self, lit::root), lit::destroy, {});
    }, [&](PyObject* e) {
        // messagebox.showerror("Update Error", str(e))
        f.at(159); call(attr(global(f, lit::messagebox), lit::showerror), {lit::update_error_title, text_of(e)});
        f.at(160); call_method(global(f, lit::sys), lit::exit, {lit::n1});
    });
    return none();
}

// def _on_close(self):
Ref on_close(Frame& f, PyObject* const*)
{
    f.at(163); call_method(global(f, lit::sys), lit::exit, {lit::n0});
    return none();
}

}  // namespace updater::gui
