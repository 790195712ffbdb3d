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

// name, qualified name, parameters, locals, definition line, traceback name,
// body; then the inner functions in the order the body makes them (see
// gui::RunUpdateInner, gui::ProgressInner), the number of cells and the name
// of the closure record type.
Callable callables[fn_count] = {
    {"get_resource_path", "get_resource_path", {"relative_path"}, {"base_path"}, 18,
     "updater.get_resource_path", engine::get_resource_path},
    {"get_exe_dir", "get_exe_dir", {}, {}, 39, "updater.get_exe_dir", engine::get_exe_dir},
    {"download_new_exe_with_progress", "download_new_exe_with_progress", {"progress_callback"},
     {"exe_dir", "new_path", "req", "resp", "total_size", "downloaded", "chunk_size", "start_time", "f", "chunk",
      "percent", "elapsed", "speed", "e"},
     44, "updater.download_new_exe_with_progress", engine::download_new_exe_with_progress},
    {"replace_and_run", "replace_and_run", {"new_exe"}, {"exe_dir", "main_exe", "old_exe", "e"}, 78,
     "updater.replace_and_run", engine::replace_and_run},
    {"__init__", "UpdaterGUI.__init__", {"self"}, {"icon_path", "x", "y", "style"}, 98,
     "updater.UpdaterGUI.__init__", gui::init},
    {"_run_update", "UpdaterGUI._run_update", {"self"}, {"progress_callback", "new_exe"}, 136,
     "updater.UpdaterGUI._run_update", gui::run_update,
     {at(fn_run_update_progress_callback), at(fn_lambda_ready), at(fn_lambda_complete)},
     2, "updater._run_update_scope"},
    {"progress_callback", "UpdaterGUI._run_update.<locals>.progress_callback",
     {pc_params[0], pc_params[1], pc_params[2], pc_params[3]}, {}, 137,
     "updater.UpdaterGUI._run_update.progress_callback", gui::run_update_progress_callback,
     {at(fn_lambda_failed_label), at(fn_lambda_failed_dialog), at(fn_lambda_bar), at(fn_lambda_percent_line),
      at(fn_lambda_size_line)},
     4, "updater._run_update_progress_callback_scope"},
    {"<lambda>", pc_lambda, {}, {}, 139, "updater.UpdaterGUI._run_update.progress_callback.lambda",
     gui::lambda_failed_label},
    {"<lambda>", pc_lambda, {}, {}, 140, "updater.UpdaterGUI._run_update.progress_callback.lambda1",
     gui::lambda_failed_dialog},
    {"<lambda>", pc_lambda, {}, {}, 143, "updater.UpdaterGUI._run_update.progress_callback.lambda2",
     gui::lambda_bar},
    {"<lambda>", pc_lambda, {}, {}, 145, "updater.UpdaterGUI._run_update.progress_callback.lambda3",
     gui::lambda_percent_line},
    {"<lambda>", pc_lambda, {}, {}, 147, "updater.UpdaterGUI._run_update.progress_callback.lambda4",
     gui::lambda_size_line},
    {"<lambda>", ru_lambda, {}, {}, 151, "updater.UpdaterGUI._run_update.lambda5", gui::lambda_ready},
    {"<lambda>", ru_lambda, {}, {}, 152, "updater.UpdaterGUI._run_update.lambda6", gui::lambda_complete},
    {"_complete_update", "UpdaterGUI._complete_update", {"self", "new_exe"}, {"e"}, 154,
     "updater.UpdaterGUI._complete_update", gui::complete_update},
    {"_on_close", "UpdaterGUI._on_close", {"self"}, {}, 162, "updater.UpdaterGUI._on_close", gui::on_close},
    {"console_update", "UpdaterGUI.console_update", {"self"}, {"progress_callback", "new_exe", "e"}, 165,
     "updater.UpdaterGUI.console_update", console::console_update, {at(fn_console_progress_callback)}},
    {"progress_callback", "UpdaterGUI.console_update.<locals>.progress_callback",
     {pc_params[0], pc_params[1], pc_params[2], pc_params[3]}, {}, 167,
     "updater.UpdaterGUI.console_update.progress_callback", console::progress_callback},
};

}  // namespace updater
