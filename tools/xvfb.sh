# Sourced by tools/test.sh and tools/sanitize.sh: a private Xvfb
# for one run when there is no display.
#
#   start_xvfb TAG   when DISPLAY is unset and Xvfb exists, starts Xvfb on a
#                    free display and exports DISPLAY; 1 when it did not start
#   stop_xvfb        stops it again (nothing to do when none was started)

xvfb_pid=""
xvfb_dir=""

start_xvfb() {
    local tag="$1"
    [[ -z "${DISPLAY:-}" ]] && command -v Xvfb >/dev/null 2>&1 || return 0
    xvfb_dir="$(mktemp -d)"
    # -displayfd makes Xvfb pick a free display number and report it once ready.
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$xvfb_dir/display" 2>"$xvfb_dir/log" &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [[ -s "$xvfb_dir/display" ]] && break
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [[ -s "$xvfb_dir/display" ]]; then
        export DISPLAY=":$(tr -d '[:space:]' <"$xvfb_dir/display")"
        echo "$tag: Xvfb on DISPLAY=$DISPLAY"
        return 0
    fi
    echo "$tag: Xvfb did not start:" >&2
    cat "$xvfb_dir/log" >&2 || true
    return 1
}

stop_xvfb() {
    if [[ -n "$xvfb_pid" ]]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    [[ -n "$xvfb_dir" ]] && rm -rf "$xvfb_dir"
    xvfb_pid=""
    xvfb_dir=""
    return 0
}
