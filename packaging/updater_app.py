"""Brivex Updater: the one-file application that brings BrivexLauncher.exe up to date.

Frozen with PyInstaller (packaging/build_frozen.sh, or the Windows recipe in
packaging/README.md), this is what a user runs: the executable lies beside
BrivexLauncher.exe, downloads the newest launcher, swaps it in, starts it and
ends.  All of that is the `updater` module's work; this program only embeds it.

    BrivexUpdater             update in the window (on the console when there is no display)
    BrivexUpdater --console   update with progress lines on standard output
    BrivexUpdater --paths     print where the update would work, and change nothing

Exit status: 0 after a successful update or when the user closes the window,
1 when the update failed, 2 for a wrong command line.

The update address is the one compiled into the module.  In the shipped build
nothing in this program's environment or command line changes it: whoever
could set it would choose the program that is installed and started.  Nor do
SSL_CERT_FILE and SSL_CERT_DIR: the server's certificate is checked against
the system's certificate store only, since a certificate authority named in
the environment (with a proxy, also from the environment) could vouch for any
server.
"""

from __future__ import annotations

import os
import ssl
import sys

import updater

USAGE = "usage: BrivexUpdater [--console | --paths]"
SHIPPED_BUILD = "shipped"
# Environment variables through which OpenSSL would trust another certificate
# authority than the system's.
TRUST_OVERRIDES = ("SSL_CERT_FILE", "SSL_CERT_DIR")


def display_available() -> bool:
    """Whether a window can be shown: always on Windows and macOS, with X11 or Wayland elsewhere."""
    if sys.platform in ("win32", "darwin"):
        return True
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def print_paths(build: str) -> None:
    """The directories and the address as the module sees them inside this build (for support)."""
    icon = updater.get_resource_path("icon.ico")
    print(f"executable: {sys.executable}")
    print(f"install directory: {updater.get_exe_dir()}")
    print(f"unpack directory: {getattr(sys, '_MEIPASS', '(not frozen)')}")
    print(f"icon: {icon} ({'found' if os.path.exists(icon) else 'missing'})")
    print(f"launcher: {os.path.join(updater.get_exe_dir(), updater.MAIN_EXE_NAME)}")
    print(f"update address: {updater.UPDATE_URL}")
    print(f"certificate file: {ssl.get_default_verify_paths().cafile}")
    print(f"build: {build}")


def main(argv: list[str], build: str = SHIPPED_BUILD) -> int:
    """The application; `build` names the build in --help and --paths."""
    if len(argv) > 1 or (argv and argv[0] not in ("--console", "--paths", "-h", "--help")):
        print(f"BrivexUpdater: unknown command line {' '.join(argv)!r}\n{USAGE}", file=sys.stderr)
        return 2
    option = argv[0] if argv else None
    if option in ("-h", "--help"):
        print(f"{__doc__.strip()}\n\nbuild: {build}")
        return 0
    if option == "--paths":
        print_paths(build)
        return 0
    if option == "--console" or not display_available():
        # The module takes its console path whenever the toolkit flag is false.
        updater.TK_AVAILABLE = False

    # One whole update.  A failure leaves through SystemExit(1), a closed
    # window through SystemExit(0); both become this process's exit status.
    updater.UpdaterGUI()
    return 0


if __name__ == "__main__":
    # The shipped build (the test build's entry script imports this one instead).
    for name in TRUST_OVERRIDES:
        os.environ.pop(name, None)
    sys.exit(main(sys.argv[1:]))
