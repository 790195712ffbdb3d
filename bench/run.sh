#!/usr/bin/env bash
# The benchmark command: the compiled module against the same update written in
# plain Python (bench/plain_updater.py); results in bench/RESULTS.md.
#
#   bash bench/run.sh [--quick]
#
# Installs nothing on the system: without valgrind or xvfb-run it stops with the
# list of what is missing.  Into .venv (CPython 3.12, made when missing) it
# installs bench/requirements.txt and the module from these sources (pip
# install ., a release build).  The whole run is under its own Xvfb
# (xvfb-run -a); pyperf's files and the callgrind counts go to bench/out/.
# The console update runs twice per side and round: with the download on
# tmpfs, and on a disk, in bench/out/disk (the work tree's file system; set
# BENCH_DISK_DIR for another): what the module's sync of the download costs.
# --quick: a handful of runs and 64 MiB bodies, to try the benchmark out.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
case "${1:-}" in
    "") quick=0 ;;
    --quick) quick=1 ;;
    *) echo "usage: bash bench/run.sh [--quick]" >&2; exit 2 ;;
esac

missing=()
for tool in valgrind:valgrind callgrind_annotate:valgrind xvfb-run:xvfb Xvfb:xvfb xauth:xauth; do
    command -v "${tool%%:*}" >/dev/null 2>&1 || missing+=("${tool%%:*} (Debian package ${tool#*:})")
done
if ((${#missing[@]})); then
    printf 'run.sh: missing, install these first:\n' >&2
    printf '  %s\n' "${missing[@]}" >&2
    exit 1
fi
if [[ -z "${BENCH_UNDER_XVFB:-}" ]]; then
    BENCH_UNDER_XVFB=1 exec xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" bash "$0" "$@"
fi

start=$SECONDS
# shellcheck source=../tools/venv.sh
source "$root/tools/venv.sh"
ensure_venv "$root" || exit 1
py="$root/.venv/bin/python"
export PIP_DISABLE_PIP_VERSION_CHECK=1
"$py" -m pip install --quiet -r bench/requirements.txt
echo "run.sh: building and installing the module (pip install .)"
"$py" -m pip install --quiet .

if ((quick)); then
    rounds=1 mib=64 console=(-p 1 -n 2 -w 1) window=(-p 1 -n 1 -w 0) imports=(-p 2 -n 2 -w 1 -l 1) inproc=(-p 3) n=300
else
    rounds=6 mib=256 console=(-p 2 -n 3 -w 1) window=(-p 2 -n 2 -w 0) imports=(-p 4 -n 3 -w 1 -l 1) inproc=(-p 8) n=3000
fi
out="$root/bench/out"
rm -rf "$out"
mkdir -p "$out"
disk="${BENCH_DISK_DIR:-$out/disk}"
mkdir -p "$disk"

run() {  # runs a command and keeps it, as a shell line, for the report
    local arg line=""
    for arg in "$@"; do
        [[ "$arg" =~ ^[[:alnum:]_./,=:+-]+$ ]] && line+="$arg " || line+="${arg@Q} "
    done
    echo "${line% }" >>"$out/commands.txt"
    "$@"
}

deps="sys, os, time, urllib.request, urllib.error, threading, subprocess, shutil, tkinter, tkinter.ttk, tkinter.messagebox"
timing=("$py" bench/timing.py -q -l 1)
# Rounds alternate the sides' order, so that a change in the machine's load
# falls on both sides alike; pyperf appends each round's runs to the same file.
for ((r = 0; r < rounds; r++)); do
    echo "run.sh: round $((r + 1)) of $rounds"
    sides=(module plain)
    ((r % 2)) && sides=(plain module)
    for side in "${sides[@]}"; do
        run "${timing[@]}" console --side "$side" --mib "$mib" "${console[@]}" --append "$out/$side-console.json"
        run "${timing[@]}" console --side "$side" --mib "$mib" "${console[@]}" --into "$disk" \
            --append "$out/$side-console-disk.json"
        run "${timing[@]}" window --side "$side" --mib "$mib" "${window[@]}" --inherit-environ DISPLAY,XAUTHORITY \
            --append "$out/$side-window.json"
        # Import cost: whole interpreters that import the dependencies alone, or the module with them.
        code="import updater" file=updater
        [[ "$side" == plain ]] && code="import $deps" file=deps
        run "$py" -m pyperf command -q "${imports[@]}" --name import --append "$out/$file.json" -- "$py" -c "$code"
    done
    for size in 16 256; do
        run "$py" bench/timing.py peak --mib "$size" --runs 2 >>"$out/peak-$size.txt"
    done
    run "${timing[@]}" import -n 1 -w 0 "${inproc[@]}" --append "$out/import-in-process.json"
done
echo "run.sh: callgrind"
run "$py" bench/callgrind.py --n "$n" --out "$out/callgrind.json"

"$py" bench/report.py --quick "$quick" --mib "$mib" --rounds "$rounds" --minutes "$(((SECONDS - start + 59) / 60))"
echo "run.sh: wrote bench/RESULTS.md"
