# Sourced by tools/test.sh, tools/demo.sh and packaging/build_frozen.sh: the project's
# CPython 3.12 virtual environment, .venv at the top of the work tree.
#
#   ensure_venv ROOT     creates ROOT/.venv from CPython 3.12 unless it is one
#                        already, and sets venv_python to its interpreter
#
# CPython 3.12 is looked for first among pyenv's 3.12.x, then as python3.12 on
# PATH.

find_python312() {
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

ensure_venv() {
    local root="$1" python
    venv_python="$root/.venv/bin/python"
    if [[ -x "$venv_python" ]] &&
        "$venv_python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
        return 0
    fi
    python="$(find_python312)" || {
        echo "CPython 3.12 not found: install it (pyenv install 3.12, or a python3.12 on PATH)" >&2
        return 1
    }
    echo "creating .venv with $python"
    rm -rf "$root/.venv"
    "$python" -m venv "$root/.venv"
}
