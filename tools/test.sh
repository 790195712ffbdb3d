#!/usr/bin/env bash
# The project's test command: build the module into .venv and run the suite.
#
#   bash tools/test.sh [pytest arguments...]
#
# Uses CPython 3.12 (pyenv's first, then python3.12 on PATH), creates .venv when
# missing, installs requirements-dev.txt and the module (pip install .), and
# runs pytest on tests/.  Without a DISPLAY it starts a private Xvfb for the run.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
export PIP_DISABLE_PIP_VERSION_CHECK=1

# shellcheck source=venv.sh
source "$root/tools/venv.sh"
ensure_venv "$root" || exit 1
py="$root/.venv/bin/python"

"$py" -m pip install --quiet -r requirements-dev.txt

echo "test.sh: building and installing the module"
"$py" -m pip install --quiet .

xvfb_pid=""
xvfb_dir=""
cleanup() {
    if [[ -n "$xvfb_pid" ]]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    [[ -n "$xvfb_dir" ]] && rm -rf "$xvfb_dir"
    return 0
}
trap cleanup EXIT

if [[ -z "${DISPLAY:-}" ]] && command -v Xvfb >/dev/null 2>&1; then
    # -displayfd makes Xvfb pick a free display number and report it once ready.
    xvfb_dir="$(mktemp -d)"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$xvfb_dir/display" 2>"$xvfb_dir/log" &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [[ -s "$xvfb_dir/display" ]] && break
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [[ -s "$xvfb_dir/display" ]]; then
        export DISPLAY=":$(tr -d '[:space:]' <"$xvfb_dir/display")"
        echo "test.sh: Xvfb on DISPLAY=$DISPLAY"
    else
        echo "test.sh: Xvfb did not start:" >&2
        cat "$xvfb_dir/log" >&2 || true
        exit 1
    fi
fi

# Run the whole suite unless the arguments name test files or directories.
targets=(tests)
for arg in "$@"; do
    if [[ "$arg" != -* && -e "${arg%%::*}" ]]; then
        targets=()
        break
    fi
done

status=0
"$py" -m pytest "${targets[@]}" "$@" || status=$?
if [[ $status -eq 5 ]]; then
    echo "test.sh: pytest collected no test" >&2
    status=1
fi
exit "$status"
