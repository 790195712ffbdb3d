#!/usr/bin/env bash
# The benchmark command: module against plain Python (and curl), results in
# bench/RESULTS.md.
#
#   bash bench/run.sh [--quick] [--rounds N]
#
# Uses CPython 3.12 (pyenv's first, then python3.12 on PATH) through .venv,
# which it creates when missing; installs bench/requirements.txt; installs the
# module with `pip install .` unless .venv already holds a release build at
# least as new as the sources; installs curl, valgrind and Xvfb from Debian
# when missing; starts a private Xvfb when there is no display.  Everything
# it downloads goes to a directory on /dev/shm, removed at the end.
# BENCH_REINSTALL=1 forces the module's reinstall.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
export PIP_DISABLE_PIP_VERSION_CHECK=1

# shellcheck source=../tools/venv.sh
source "$root/tools/venv.sh"
ensure_venv "$root" || exit 1
py="$root/.venv/bin/python"

# Debian tools, only when missing.
missing=()
command -v curl >/dev/null 2>&1 || missing+=(curl)
command -v valgrind >/dev/null 2>&1 || missing+=(valgrind)
command -v callgrind_annotate >/dev/null 2>&1 || missing+=(valgrind)
if [[ -z "${DISPLAY:-}" ]] && ! command -v Xvfb >/dev/null 2>&1; then missing+=(xvfb); fi
if ((${#missing[@]})); then
    echo "run.sh: installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

"$py" -m pip install --quiet -r bench/requirements.txt

# The installed module, found from a directory outside the work tree.
installed_so() {
    (cd / && "$py" -c 'import updater; print(updater.__file__)' 2>/dev/null) || true
}

needs_install() {
    local so
    so="$(installed_so)"
    [[ -n "$so" && -f "$so" ]] || return 0
    [[ "${BENCH_REINSTALL:-0}" == 1 ]] && return 0
    # A release build carries no debug sections and no sanitizer runtime.
    if "$py" - "$so" <<'EOF'
import sys
data = open(sys.argv[1], "rb").read()
sys.exit(0 if b".debug_info" in data or b"__asan_init" in data else 1)
EOF
    then
        return 0
    fi
    # Sources newer than the installed file.
    [[ -n "$(find src CMakeLists.txt pyproject.toml -newer "$so" -print -quit)" ]] && return 0
    return 1
}

if needs_install; then
    echo "run.sh: building and installing the module (pip install ., release build)"
    "$py" -m pip install --quiet .
fi
so="$(installed_so)"
[[ -n "$so" ]] || { echo "run.sh: the module does not import after installing it" >&2; exit 1; }

work="$(mktemp -d /dev/shm/updater-bench.XXXXXX)"
# shellcheck source=../tools/xvfb.sh
source "$root/tools/xvfb.sh"
cleanup() {
    stop_xvfb
    rm -rf "$work"
    return 0
}
trap cleanup EXIT

# A private copy of the installed module for the whole run.
mkdir -p "$work/site"
cp "$so" "$work/site/"
echo "run.sh: module under test: $so"

start_xvfb run.sh || echo "run.sh: the window benchmark is skipped" >&2

"$py" bench/driver.py --site "$work/site" --work "$work" "$@"
echo "run.sh: wrote bench/RESULTS.md"
