// The callable table: every Python-visible callable of the module, in
// source order.
#pragma once

#include "../kit/function.h"

namespace updater {

enum Fn : int {
    fn_get_resource_path,
    fn_get_exe_dir,
    fn_download_new_exe_with_progress,
    fn_replace_and_run,
    fn_init,
    fn_run_update,
    fn_run_update_progress_callback,
    fn_lambda_failed_label,
    fn_lambda_failed_dialog,
    fn_lambda_bar,
    fn_lambda_percent_line,
    fn_lambda_size_line,
    fn_lambda_ready,
    fn_lambda_complete,
    fn_complete_update,
    fn_on_close,
    fn_console_update,
    fn_console_progress_callback,
    fn_count
};

extern Callable callables[fn_count];

}  // namespace updater
