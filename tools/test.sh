#!/usr/bin/env bash
# The project's test command: the suite on Linux, then on Windows.
#
#   bash tools/test.sh [--skip-windows] [pytest arguments...]
#
# Checks the Debian packages the tests need (tools/system.sh): installs the
# missing ones as root with apt-get, otherwise stops with their list.  Uses
# CPython 3.12 (pyenv's first, then python3.12 on PATH), creates .venv when
# missing and installs requirements-dev.txt.  Then:
#
# 1. the Windows build (tools/windows/stage.py build): Windows CPython 3.12
#    under Wine, made once into .cache/windows; the module built for it with
#    zig and checked; its wheel installed there.  A failure ends the run.
# 2. the module installed into .venv (pip install .) and pytest on tests/;
# 3. the same pytest run on Windows CPython under Wine (tools/windows/stage.py test).
#
# Both pytest runs take the same arguments and run under xvfb-run -a when
# there is no DISPLAY.  --skip-windows leaves out steps 1 and 3, for a quick
# local run; CI never uses it (and it is refused when CI is set).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
export PIP_DISABLE_PIP_VERSION_CHECK=1

windows=1
if [[ "${1:-}" == "--skip-windows" ]]; then
    if [[ -n "${CI:-}" ]]; then
        echo "test.sh: --skip-windows is for local runs; CI runs the Windows stage" >&2
        exit 2
    fi
    windows=0
    shift
fi

# shellcheck source=system.sh
source "$root/tools/system.sh"
packages=("${test_packages[@]}")
[[ $windows -eq 1 ]] && packages+=("${windows_packages[@]}")
prepare test.sh "${packages[@]}" || exit 1

if [[ $windows -eq 1 ]]; then
    echo "test.sh: the Windows build"
    "$py" tools/windows/stage.py build
fi

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

[[ -n "${DISPLAY:-}" ]] || echo "test.sh: no DISPLAY; the suites run under xvfb-run -a"
status=0
started=$SECONDS
on_display "$py" -m pytest "${targets[@]}" "$@" || status=$?
echo "test.sh: the suite on Linux took $((SECONDS - started)) s"
if [[ $status -eq 5 ]]; then
    echo "test.sh: pytest collected no test" >&2
    status=1
fi
if [[ $windows -eq 1 ]]; then
    echo "test.sh: the suite on Windows CPython under Wine"
    windows_status=0
    on_display "$py" tools/windows/stage.py test "$@" || windows_status=$?
    if [[ $windows_status -ne 0 ]]; then
        echo "test.sh: the Windows stage failed ($windows_status)" >&2
        [[ $status -ne 0 ]] || status=$windows_status
    fi
fi
exit "$status"
