#!/usr/bin/env bash
# The whole test suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer.
#
#   bash tools/sanitize.sh [pytest arguments...]
#
# Builds the module with -DUPDATER_SANITIZE=ON into build/asan and runs
# `python -m pytest tests` with:
#   LD_PRELOAD      the ASan runtime first (the interpreter itself is not
#                   instrumented), then UBSan's, then the C++ runtime, whose
#                   __cxa_throw ASan must find at start-up: the module throws
#                   C++ exceptions internally and would stop at the first one
#   PYTHONMALLOC    malloc, so that every Python object is an ASan allocation
#   PYTHONPATH      build/asan, ahead of any copy installed in .venv
#   ASAN_OPTIONS    leak checking off (below)
#   UBSAN_OPTIONS   stack traces, and stop at the first report
# No report is suppressed.  Leak checking is off rather than filtered: CPython
# 3.12 never frees its interned strings (immortal since 3.12), so every
# interpreter ends with thousands of "direct leaks"; the other programs the
# tests start under the preload (the compiler of the version-check build, the
# shell) would add their own.  The module's leaks are measured where they can
# be told apart:
# tests/test_leaks.py (in this run too) and tools/memcheck.sh.
# Child processes that tests start inherit all of these.  Every report is
# written to build/asan/reports/ instead of the process's standard error (so
# tests that read a child's output are not confused by it); the run fails
# when the suite fails or when any report was written, and prints them.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
export PIP_DISABLE_PIP_VERSION_CHECK=1

# shellcheck source=system.sh
source "$root/tools/system.sh"
prepare sanitize.sh "${test_packages[@]}" || exit 1
build="$root/build/asan"
build_variant sanitize.sh "$build" -DCMAKE_BUILD_TYPE=Debug -DUPDATER_SANITIZE=ON || exit 1
# The installed layout: the type stub beside the module.
cp updater.pyi "$build/updater.pyi"

runtime() {
    local path
    path="$(gcc -print-file-name="$1")"
    [[ "$path" == /* && -e "$path" ]] || { echo "sanitize.sh: $1 not found (gcc -print-file-name)" >&2; exit 1; }
    echo "$path"
}
preload="$(runtime libasan.so) $(runtime libubsan.so) $(runtime libstdc++.so)"

reports="$build/reports"
rm -rf "$reports"
mkdir -p "$reports"

# Left out under the sanitizers: tests/test_frozen.py.  It freezes whatever
# `updater` the interpreter finds, here the instrumented build, into a one-file
# program that only runs with the sanitizer runtime preloaded, which is not the
# product it is there to test; and it keeps its build in build/frozen, shared
# with the main run, whose cached build it would replace (each run would then
# build again, about half a minute apiece).  The module code inside the frozen
# program is the same code the rest of this run covers.
deselect=(--ignore=tests/test_frozen.py)

export PYTHONMALLOC=malloc
export PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"
export ASAN_OPTIONS="detect_leaks=0:log_path=$reports/asan:print_summary=1:strict_init_order=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
export UPDATER_SANITIZED_BUILD="$build"  # read by tests/test_sanitized_run.py
echo "sanitize.sh: the tests import $(LD_PRELOAD="$preload" "$py" -c 'import updater; print(updater.__file__)')"

targets=(tests)
for arg in "$@"; do
    if [[ "$arg" != -* && -e "${arg%%::*}" ]]; then
        targets=()
        break
    fi
done

started=$SECONDS
status=0
# The preload is given to pytest alone (through env), not to xvfb-run and the
# Xvfb it starts when there is no display: the display server is not under test.
# A private base for tmp_path: another pytest session starting meanwhile
# prunes the shared one's older directories, even those still in use.
on_display env LD_PRELOAD="$preload" "$py" -m pytest --basetemp="$build/pytest-tmp" "${targets[@]}" "${deselect[@]}" "$@" ||
    status=$?
echo "sanitize.sh: suite finished in $((SECONDS - started)) s (pytest status $status)"

if compgen -G "$reports/*" >/dev/null; then
    echo "sanitize.sh: sanitizer reports:" >&2
    for report in "$reports"/*; do
        echo "=== $report" >&2
        cat "$report" >&2
    done
    exit 1
fi
echo "sanitize.sh: no sanitizer report"
if [[ $status -eq 5 ]]; then
    echo "sanitize.sh: pytest collected no test" >&2
    status=1
fi
exit "$status"
