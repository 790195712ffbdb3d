#!/usr/bin/env bash
# The project's test command: build the module into .venv and run the suite.
#
#   bash tools/test.sh [pytest arguments...]
#
# Checks the Debian packages the tests need (tools/system.sh): installs the
# missing ones as root with apt-get, otherwise stops with their list.  Uses
# CPython 3.12 (pyenv's first, then python3.12 on PATH), creates .venv when
# missing, installs requirements-dev.txt, runs the Windows build check
# (tools/wincheck.py; a failure ends the run), installs the module (pip
# install .), and runs pytest on tests/.  Without a DISPLAY pytest runs under
# xvfb-run -a.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
export PIP_DISABLE_PIP_VERSION_CHECK=1

# shellcheck source=system.sh
source "$root/tools/system.sh"
prepare test.sh "${test_packages[@]}" || exit 1

echo "test.sh: the Windows build check"
"$py" tools/wincheck.py

echo "test.sh: building and installing the module"
"$py" -m pip install --quiet .

# Run the whole suite unless the arguments name test files or directories.
targets=(tests)
for arg in "$@"; do
    if [[ "$arg" != -* && -e "${arg%%::*}" ]]; then
        targets=()
        break
    fi
done

[[ -n "${DISPLAY:-}" ]] || echo "test.sh: no DISPLAY; the suite runs under xvfb-run -a"
status=0
on_display "$py" -m pytest "${targets[@]}" "$@" || status=$?
if [[ $status -eq 5 ]]; then
    echo "test.sh: pytest collected no test" >&2
    status=1
fi
exit "$status"
