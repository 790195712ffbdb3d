"""The demonstration's host program: it embeds `updater` the way the vendor's
frozen one-file application does (packaging/updater_app.py), and runs one update.

    python tools/demo_host.py INSTALL_DIR UNPACK_DIR URL window|console

tools/demo.py starts it with SSL_CERT_FILE naming the demo server's throwaway
certificate authority; nothing else trusts that authority.

Exit status: the update's own (0 done, 1 failed or 0 when the window is closed),
or 3 when the update stopped with an unexpected error (reported in one line).
"""

from __future__ import annotations

import os
import sys

UPDATER_NAME = "BrivexUpdater"


def main(argv: list[str]) -> int:
    if len(argv) != 4 or argv[3] not in ("window", "console"):
        print("usage: demo_host.py INSTALL_DIR UNPACK_DIR URL window|console", file=sys.stderr)
        return 2
    install_dir, unpack_dir, url, mode = argv

    # In production the updater is a frozen one-file build lying beside
    # BrivexLauncher.exe: its bootloader sets sys.frozen, points sys.executable
    # at the updater executable and sys._MEIPASS at the directory it unpacked
    # its data files (icon.ico) into.  This plain interpreter plays that build,
    # so the module finds the launcher where an installed updater would: in the
    # directory of sys.executable, not beside the module file in site-packages.
    sys.frozen = True  # type: ignore[attr-defined]
    sys.executable = os.path.join(install_dir, UPDATER_NAME)
    sys._MEIPASS = unpack_dir  # type: ignore[attr-defined]

    try:
        import updater
    except ImportError as exc:
        print(f"demo host: cannot import the module updater ({exc}); tools/demo.sh installs it", file=sys.stderr)
        return 3

    # The module allows this: its globals are read when an update uses them.
    updater.UPDATE_URL = url
    if mode == "console":
        updater.TK_AVAILABLE = False

    try:
        updater.UpdaterGUI()
    except Exception as exc:  # SystemExit (the update's own status) passes
        print(f"demo host: the update stopped with {type(exc).__name__}: {exc}", file=sys.stderr)
        return 3
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:
        sys.exit(130)
