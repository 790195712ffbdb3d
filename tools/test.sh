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

find_python() {
    local candidate pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
    if command -v pyenv >/dev/null 2>&1; then
        pyenv_root="$(pyenv root)"
    fi
    for candidate in "$pyenv_root"/versions/3.12.*/bin/python3.12; do
        [[ -x "$candidate" ]] && { echo "$candidate"; return 0; }
    done
    if command -v python3.12 >/dev/null 2>&1; then
        command -v python3.12
        return 0
    fi
    return 1
}

venv_is_312() {
    [[ -x .venv/bin/python ]] &&
        .venv/bin/python -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null
}

if ! venv_is_312; then
    python="$(find_python)" || { echo "test.sh: CPython 3.12 not found (pyenv or python3.12 on PATH)" >&2; exit 1; }
    echo "test.sh: creating .venv with $python"
    rm -rf .venv
    "$python" -m venv .venv
fi
py="$root/.venv/bin/python"

"$py" -m pip install --quiet -r requirements-dev.txt

if [[ -f pyproject.toml || -f setup.py ]]; then
    echo "test.sh: building and installing the module"
    "$py" -m pip install --quiet .
else
    echo "test.sh: no build files yet (pyproject.toml); module not built" >&2
fi

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
