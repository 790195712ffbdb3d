# Sourced by tools/test.sh, tools/sanitize.sh and tools/memcheck.sh: what the
# runs need from the system, in one place.
#
#   ensure_packages TAG PACKAGE...  returns 0 when every Debian PACKAGE is
#                   installed.  Otherwise, as root with apt-get, installs the
#                   missing ones (apt-get update, then apt-get install -y
#                   --no-install-recommends) and returns 0 when that worked;
#                   without root or apt-get, prints what is missing and how to
#                   install it and returns 1.  On a system without dpkg-query
#                   (not Debian) it names the packages and returns 0: a test
#                   whose part is missing then fails, saying what it lacks.
#   prepare TAG PACKAGE...  ensure_packages, then .venv (tools/venv.sh) with
#                   requirements-dev.txt; sets py to its interpreter and puts
#                   .venv/bin (cmake, ninja) on PATH
#   build_variant TAG DIR CMAKE_ARGUMENT...  configures the module with these
#                   arguments into DIR (the configure log beside it) and builds it
#   on_display COMMAND...  runs COMMAND on $DISPLAY, or when there is none under
#                   xvfb-run -a (a private Xvfb on a free display number, 24-bit
#                   1280x1024, no TCP), which ends with COMMAND's exit status.

# The Debian packages of the test suite (tools/test.sh, tools/sanitize.sh):
#   xvfb, xauth, xfonts-base     the virtual X display (xvfb-run) for the window tests
#   xdotool, x11-utils           driving and inspecting the window (xdotool, xwininfo, xprop)
#   imagemagick                  screenshots of the window (import)
#   libtk8.6, libtcl8.6          Tk for the interpreter's tkinter
#   fonts-dejavu-core            a scalable font for Tk
#   binutils                     objdump, which PyInstaller runs for the one-file build; objdump and
#                                nm, which read the Windows module (tools/windows/build.py)
#   locales                      the en_US locale source and the ISO-8859-1 character map, from
#                                which tests/test_frozen.py generates a locale with localedef
#   strace                       the real update whose syncs, renames and start tests/test_console.py traces
test_packages=(xvfb xauth xfonts-base xdotool x11-utils imagemagick libtk8.6 libtcl8.6 fonts-dejavu-core binutils
               locales strace)
# The Windows stage of tools/test.sh (tools/windows/):
#   wine, wine64                 Windows CPython 3.12, the suite and the one-file app run under Wine
#   openssl, osslsigncode        the tests' throwaway certificates and signed launchers, and the
#                                signing of the vendor's BrivexUpdater.exe (tools/windows/signing.py)
windows_packages=(wine wine64 openssl osslsigncode)
# tools/memcheck.sh:
#   valgrind
memcheck_packages=(valgrind)

ensure_packages() {
    local tag="$1" package attempt
    shift
    if ! command -v dpkg-query >/dev/null 2>&1; then
        echo "$tag: not a Debian system (no dpkg-query); the runs expect these Debian packages or their equivalents: $*" >&2
        return 0
    fi
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${db:Status-Status}\n' "$package" 2>/dev/null | grep -qx installed || missing+=("$package")
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    if [[ $(id -u) -ne 0 ]] || ! command -v apt-get >/dev/null 2>&1; then
        echo "$tag: missing Debian packages: ${missing[*]}" >&2
        echo "$tag: install them (as root: apt-get install --no-install-recommends ${missing[*]}) and run again" >&2
        return 1
    fi
    echo "$tag: installing the missing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    for attempt in 1 2 3; do
        apt-get update && break
        if [[ $attempt -eq 3 ]]; then
            echo "$tag: apt-get update failed; missing Debian packages: ${missing[*]}" >&2
            return 1
        fi
        sleep 5
    done
    apt-get install -y --no-install-recommends "${missing[@]}" || {
        echo "$tag: apt-get install failed; missing Debian packages: ${missing[*]}" >&2
        return 1
    }
}

on_display() {
    if [[ -n "${DISPLAY:-}" ]]; then
        "$@"
    else
        xvfb-run -a "$@"
    fi
}

prepare() {
    local tag="$1" root
    shift
    root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
    ensure_packages "$tag" "$@" || return 1
    # shellcheck source=venv.sh
    source "$root/tools/venv.sh"
    ensure_venv "$root" || return 1
    py="$root/.venv/bin/python"
    "$py" -m pip install --quiet -r "$root/requirements-dev.txt"
    export PATH="$root/.venv/bin:$PATH"
}

build_variant() {
    local tag="$1" build="$2" root generator=()
    shift 2
    root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
    command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
    if [[ -f "$build/CMakeCache.txt" ]] &&
        ! grep -q "^CMAKE_GENERATOR:INTERNAL=${generator[1]:-Unix Makefiles}$" "$build/CMakeCache.txt"; then
        rm -rf "$build"  # configured with another generator
    fi
    echo "$tag: building into $build"
    cmake -S "$root" -B "$build" "${generator[@]}" "$@" -DPython_EXECUTABLE="$py" >"$build.configure.log" 2>&1 || {
        cat "$build.configure.log" >&2
        return 1
    }
    cmake --build "$build" --parallel
}
