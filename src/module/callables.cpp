#include "callables.h"

#include "../console/console.h"
#include "../engine/engine.h"
#include "../gui/gui.h"

namespace updater {

namespace {

constexpr const char* pc_params[] = {"percent", "speed_kb", "known_size", "downloaded_bytes"};
constexpr const char* pc_lambda = "UpdaterGUI._run_update.<locals>.progress_callback.<locals>.<lambda>";
constexpr const char* ru_lambda = "UpdaterGUI._run_update.<locals>.<lambda>";

Callable* at(Fn fn) { return &callables[fn]; }

}  // namespace

// Each row: the names, parameters and locals of the callable, its definition
// line, traceback name and body; then the functions it defines, in the order
// its body makes them (gui::RunUpdateInner, gui::ProgressInner,
// console::ConsoleInner), and its closure record's cells and type name.
Callable callables[fn_count] = {
    {.name = "get_resource_path", .qualname = "get_resource_path",
     .params = {"relative_path"}, .locals = {"base_path"}, .line = 18,
     .tb_name = "updater.get_resource_path", .body = engine::get_resource_path},
    {.name = "get_exe_dir", .qualname = "get_exe_dir",
     .params = {}, .locals = {}, .line = 39,
     .tb_name = "updater.get_exe_dir", .body = engine::get_exe_dir},
    {.name = "download_new_exe_with_progress", .qualname = "download_new_exe_with_progress",
     .params = {"progress_callback"},
     .locals = {"exe_dir", "new_path", "req", "resp", "total_size", "downloaded", "chunk_size", "start_time", "f",
                "chunk", "percent", "elapsed", "speed", "e"},
     .line = 44,
     .tb_name = "updater.download_new_exe_with_progress", .body = engine::download_new_exe_with_progress},
    {.name = "replace_and_run", .qualname = "replace_and_run",
     .params = {"new_exe"}, .locals = {"exe_dir", "main_exe", "old_exe", "e"}, .line = 78,
     .tb_name = "updater.replace_and_run", .body = engine::replace_and_run},
    {.name = "__init__", .qualname = "UpdaterGUI.__init__",
     .params = {"self"}, .locals = {"icon_path", "x", "y", "style"}, .line = 98,
     .tb_name = "updater.UpdaterGUI.__init__", .body = gui::init},
    {.name = "_run_update", .qualname = "UpdaterGUI._run_update",
     .params = {"self"}, .locals = {"progress_callback", "new_exe"}, .line = 136,
     .tb_name = "updater.UpdaterGUI._run_update", .body = gui::run_update,
     .inner = {at(fn_run_update_progress_callback), at(fn_lambda_ready), at(fn_lambda_complete)},
     .cells = gui::run_update_cells, .scope_name = "updater._run_update_scope"},
    {.name = "progress_callback", .qualname = "UpdaterGUI._run_update.<locals>.progress_callback",
     .params = {pc_params[0], pc_params[1], pc_params[2], pc_params[3]}, .locals = {}, .line = 137,
     .tb_name = "updater.UpdaterGUI._run_update.progress_callback", .body = gui::run_update_progress_callback,
     .inner = {at(fn_lambda_failed_label), at(fn_lambda_failed_dialog), at(fn_lambda_bar),
               at(fn_lambda_percent_line), at(fn_lambda_size_line)},
     .cells = gui::progress_cells, .scope_name = "updater._run_update_progress_callback_scope"},
    {.name = "<lambda>", .qualname = pc_lambda, .params = {}, .locals = {}, .line = 139,
     .tb_name = "updater.UpdaterGUI._run_update.progress_callback.lambda", .body = gui::lambda_failed_label},
    {.name = "<lambda>", .qualname = pc_lambda, .params = {}, .locals = {}, .line = 140,
     .tb_name = "updater.UpdaterGUI._run_update.progress_callback.lambda1", .body = gui::lambda_failed_dialog},
    {.name = "<lambda>", .qualname = pc_lambda, .params = {}, .locals = {}, .line = 143,
     .tb_name = "updater.UpdaterGUI._run_update.progress_callback.lambda2", .body = gui::lambda_bar},
    {.name = "<lambda>", .qualname = pc_lambda, .params = {}, .locals = {}, .line = 145,
     .tb_name = "updater.UpdaterGUI._run_update.progress_callback.lambda3", .body = gui::lambda_percent_line},
    {.name = "<lambda>", .qualname = pc_lambda, .params = {}, .locals = {}, .line = 147,
     .tb_name = "updater.UpdaterGUI._run_update.progress_callback.lambda4", .body = gui::lambda_size_line},
    {.name = "<lambda>", .qualname = ru_lambda, .params = {}, .locals = {}, .line = 151,
     .tb_name = "updater.UpdaterGUI._run_update.lambda5", .body = gui::lambda_ready},
    {.name = "<lambda>", .qualname = ru_lambda, .params = {}, .locals = {}, .line = 152,
     .tb_name = "updater.UpdaterGUI._run_update.lambda6", .body = gui::lambda_complete},
    {.name = "_complete_update", .qualname = "UpdaterGUI._complete_update",
     .params = {"self", "new_exe"}, .locals = {"e"}, .line = 154,
     .tb_name = "updater.UpdaterGUI._complete_update", .body = gui::complete_update},
    {.name = "_on_close", .qualname = "UpdaterGUI._on_close",
     .params = {"self"}, .locals = {}, .line = 162,
     .tb_name = "updater.UpdaterGUI._on_close", .body = gui::on_close},
    {.name = "console_update", .qualname = "UpdaterGUI.console_update",
     .params = {"self"}, .locals = {"progress_callback", "new_exe", "e"}, .line = 165,
     .tb_name = "updater.UpdaterGUI.console_update", .body = console::console_update,
     .inner = {at(fn_console_progress_callback)}},
    {.name = "progress_callback", .qualname = "UpdaterGUI.console_update.<locals>.progress_callback",
     .params = {pc_params[0], pc_params[1], pc_params[2], pc_params[3]}, .locals = {}, .line = 167,
     .tb_name = "updater.UpdaterGUI.console_update.progress_callback", .body = console::progress_callback},
};

}  // namespace updater
