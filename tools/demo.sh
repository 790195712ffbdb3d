#!/usr/bin/env bash
# The demonstration update: builds what it needs, then updates a demo launcher
# from 1.0.0 to 2.0.0 with the real module and a local HTTPS server.
#
#   bash tools/demo.sh [--mode window|console|auto] [--slow] [--fail] [--keep]
#
# --mode   the window, the console lines, or auto (default): the window when
#          a display is available
# --slow   send the download slowly enough to watch (about 4 s)
# --fail   serve no launcher, to show a failed update (exit status 1)
# --keep   keep the demo's temporary directory
#
# Uses CPython 3.12 (pyenv's, or python3.12 on PATH), creates or reuses .venv,
# installs trustme and the module (pip install .), then runs tools/demo.py.
# Exit status: 0 when the launcher was updated and started, 1 when not, 2 for a
# wrong option.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
export PIP_DISABLE_PIP_VERSION_CHECK=1

# shellcheck source=venv.sh
source "$root/tools/venv.sh"
ensure_venv "$root" || exit 1

# Help and wrong options are answered before the build.
for arg in "$@"; do
    case "$arg" in
        -h|--help) exec "$venv_python" tools/demo.py --help ;;
    esac
done
"$venv_python" tools/demo.py --check-options "$@" || exit $?

echo "demo.sh: installing trustme and building the module (pip install .)"
if ! "$venv_python" -m pip install --quiet "trustme>=1.0"; then
    echo "demo.sh: could not install trustme (see above)" >&2
    exit 1
fi
if ! "$venv_python" -m pip install --quiet .; then
    echo "demo.sh: the module did not build or install (see above)" >&2
    exit 1
fi

exec "$venv_python" tools/demo.py "$@"
