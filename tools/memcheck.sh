#!/usr/bin/env bash
# The module's core tests under valgrind's memcheck.
#
#   bash tools/memcheck.sh [pytest arguments...]
#
# Builds the module (RelWithDebInfo, no sanitizer) into build/leak and runs the
# in-process tests of the module frame, the engine, the console update and the
# window against a recording toolkit under `valgrind --tool=memcheck` with
# PYTHONMALLOC=malloc, so that every Python object is a block that memcheck
# follows.  The run fails (exit status 86 from
# valgrind) on any invalid read or write, use of an uninitialised value, bad
# free, or definitely lost block that tools/memcheck.supp does not explain;
# pytest's own failures fail it too.  Scenario tests start fresh interpreters:
# those children run without valgrind (no --trace-children), only the pytest
# process is checked.
#
# Left to the main and the sanitizer runs: the window tests under Xvfb (real
# Tk), the frozen application and the package build (their work is in other
# processes), and the reference-leak loops and the binding property test,
# which would add some ten minutes under memcheck (and whose tracemalloc
# counting loses trace records of its own there).  This selection takes about
# two minutes.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
export PIP_DISABLE_PIP_VERSION_CHECK=1

# shellcheck source=system.sh
source "$root/tools/system.sh"
prepare memcheck.sh "${memcheck_packages[@]}" || exit 1
build="$root/build/leak"
build_variant memcheck.sh "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo || exit 1

core_tests=(
    tests/test_callables.py
    tests/test_import.py
    tests/test_paths.py
    tests/test_download.py
    tests/test_replace.py
    tests/test_console.py
    tests/test_window_fake.py
)
targets=("${core_tests[@]}")
for arg in "$@"; do
    if [[ "$arg" != -* && -e "${arg%%::*}" ]]; then
        targets=()
        break
    fi
done

log="$build/memcheck.log"
echo "memcheck.sh: valgrind log in $log"
started=$SECONDS
status=0
PYTHONMALLOC=malloc PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}" \
valgrind --tool=memcheck \
    --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
    --error-exitcode=86 --num-callers=40 \
    --suppressions="$root/tools/memcheck.supp" --gen-suppressions=all \
    --log-file="$log" \
    "$py" -m pytest -p no:cacheprovider --basetemp="$build/pytest-tmp" "${targets[@]}" "$@" || status=$?
echo "memcheck.sh: finished in $((SECONDS - started)) s (status $status)"

grep -E "ERROR SUMMARY|definitely lost:|suppressed:" "$log" || true
if [[ $status -eq 86 ]]; then
    echo "memcheck.sh: memcheck found errors:" >&2
    # The error records (and the suppression each would need), not the summary.
    "$py" - "$log" >&2 <<'PY'
import re, sys
text = open(sys.argv[1]).read()
records = re.split(r"\n==\d+== \n", text)
kinds = re.compile(r"Invalid|uninitialised|Uninitialised|definitely lost in loss record|Mismatched|"
                   r"Syscall param|overlap|free\(\)|^\{", re.M)
print("\n\n".join(r for r in records if kinds.search(r) and "HEAP SUMMARY" not in r))
PY
fi
exit "$status"
