#!/usr/bin/env bash
# Build the one-file Brivex Updater with PyInstaller (POSIX; the Windows recipe
# is in packaging/README.md).
#
#   bash packaging/build_frozen.sh [--out DIR] [--python PYTHON] [--no-install] [--test-build]
#
# --out DIR        where the build goes (default build/frozen): DIR/work
#                  (PyInstaller's work files) and DIR/dist/BrivexUpdater
# --python PYTHON  the CPython 3.12 that has the module and PyInstaller
#                  (default: the project's .venv, created when missing)
# --no-install     do not pip-install requirements-freeze.txt and the module
#                  first (they must already be in PYTHON)
# --test-build     a build for the tests only: it takes its update address from
#                  BRIVEX_UPDATE_URL in its environment, so whoever starts it
#                  chooses what it installs; never ship it.  The default build
#                  reads no address from anywhere but the module.
#
# The update address is the one compiled into the installed module; build the
# module with -C cmake.define.UPDATER_UPDATE_URL=... to change it.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/build/frozen"
python=""
install=1
spec_options=()
what="BrivexUpdater"

usage() { sed -n '5,17s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" >&2; }

while [[ $# -gt 0 ]]; do
    case "$1" in
        --out) [[ $# -ge 2 ]] || { usage; exit 2; }; out="$2"; shift 2 ;;
        --python) [[ $# -ge 2 ]] || { usage; exit 2; }; python="$2"; shift 2 ;;
        --no-install) install=0; shift ;;
        --test-build) spec_options+=(--test-build); what="the test build of BrivexUpdater"; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "build_frozen.sh: unknown option: $1" >&2; usage; exit 2 ;;
    esac
done

cd "$root"
export PIP_DISABLE_PIP_VERSION_CHECK=1
if [[ -z "$python" ]]; then
    # shellcheck source=../tools/venv.sh
    source "$root/tools/venv.sh"
    ensure_venv "$root"
    python="$venv_python"
fi
if [[ $install -eq 1 ]]; then
    echo "build_frozen.sh: installing PyInstaller and the module"
    "$python" -m pip install --quiet -r requirements-freeze.txt
    "$python" -m pip install --quiet .
fi

mkdir -p "$out"
out="$(cd "$out" && pwd)"
start=$SECONDS
"$python" -m PyInstaller --noconfirm --log-level WARN \
    --distpath "$out/dist" --workpath "$out/work" \
    packaging/updater_app.spec -- ${spec_options[@]+"${spec_options[@]}"}
echo "build_frozen.sh: built $what, $out/dist/BrivexUpdater, in $((SECONDS - start)) s"
