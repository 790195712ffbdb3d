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
#   on_display COMMAND...  runs COMMAND on $DISPLAY, or when there is none under
#                   xvfb-run -a (a private Xvfb on a free display number, 24-bit
#                   1280x1024, no TCP), which ends with COMMAND's exit status.

# The Debian packages of the test suite (tools/test.sh, tools/sanitize.sh):
#   xvfb, xauth, xfonts-base     the virtual X display (xvfb-run) for the window tests
#   xdotool, x11-utils           driving and inspecting the window (xdotool, xwininfo, xprop)
#   imagemagick                  screenshots of the window (import, convert)
#   libtk8.6, libtcl8.6          Tk for the interpreter's tkinter
#   fonts-dejavu-core            a scalable font for Tk
#   binutils                     objdump, which PyInstaller runs for the one-file build, and nm
#   locales                      the en_US locale source and the ISO-8859-1 character map, from
#                                which tests/test_frozen.py generates a locale with localedef
#   g++-mingw-w64-x86-64         the Windows build check of tools/test.sh (tools/wincheck.py):
#                                x86_64-w64-mingw32-g++, -nm, -dlltool, -objdump
test_packages=(xvfb xauth xfonts-base xdotool x11-utils imagemagick libtk8.6 libtcl8.6 fonts-dejavu-core binutils
               locales g++-mingw-w64-x86-64)
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
