# Type stub of the compiled module `updater` (installed beside the module file).
#
# The module keeps the Brivex launcher up to date: it downloads the newest
# BrivexLauncher.exe, swaps it in and starts it, showing the progress in a Tk
# window or on standard output.  Constructing UpdaterGUI() runs one update.

import tkinter
from collections.abc import Callable
from tkinter import ttk
from typing import ClassVar, TypeAlias

# True when tkinter, tkinter.ttk and tkinter.messagebox imported at import time;
# UpdaterGUI() takes the console path when it is false.  May be rebound.
TK_AVAILABLE: bool

# The address the newest launcher is downloaded from: fixed at build time
# (CMake cache variable UPDATER_UPDATE_URL); an embedding program may rebind it
# before it constructs UpdaterGUI().
UPDATE_URL: str
MAIN_EXE_NAME: str  # "BrivexLauncher.exe"
TEMP_EXE_NAME: str  # "BrivexLauncher_new.exe", the download beside the launcher

# Window colours, "#rrggbb".
BG_DARK: str
BG_CARD: str
ACCENT_PRIMARY: str
ACCENT_SUCCESS: str
TEXT_PRIMARY: str
TEXT_SECONDARY: str
BORDER_COLOR: str

# A progress report: (percent, speed_kb, known_size, downloaded_bytes) after
# every block of at most 64 KiB.  percent is a float from 0 to 100, or the
# integer 0 when the size is not announced; speed_kb is the mean rate in KiB/s
# (the integer 0 before the clock has moved).  The failure report is
# (-1, 0, False, 0).  The return value is ignored.
_ProgressCallback: TypeAlias = Callable[[float, float, bool, int], object]

def get_resource_path(relative_path: str) -> str:
    """`relative_path` joined to the unpack directory of a frozen build
    (sys._MEIPASS), or to the current working directory outside one."""

def get_exe_dir() -> str:
    """The launcher's directory: that of sys.executable in a frozen build,
    that of the module file otherwise."""

def download_new_exe_with_progress(progress_callback: _ProgressCallback) -> str | None:
    """Download UPDATE_URL into TEMP_EXE_NAME beside the launcher; the file's
    path, or None after the failure report when the download failed."""

def replace_and_run(new_exe: str) -> None:
    """Swap `new_exe` in for the launcher and start it; RuntimeError
    ("Failed to replace and run: ...") when the swap fails, or when the new
    launcher dies within its first 2 s before it could run; the old launcher
    is then put back.  On Windows a signed launcher is only replaced by a
    download its publisher signed: another is deleted and refused with the
    same error."""

class UpdaterGUI:
    """Constructing it performs one whole update and returns when it is over.

    A failed update raises SystemExit(1); closing the window, SystemExit(0).
    """

    WIDTH: ClassVar[int]  # 400
    HEIGHT: ClassVar[int]  # 200

    # The window's widgets: set by the constructor on the window path only; an
    # instance whose update ran on the console has none of them.
    root: tkinter.Tk
    card: tkinter.Frame
    title_lbl: tkinter.Label
    progress: ttk.Progressbar
    speed_lbl: tkinter.Label

    def __init__(self) -> None: ...
    def console_update(self) -> None:
        """The text-mode update: one printed line per progress report."""
    def _run_update(self) -> None: ...
    def _complete_update(self, new_exe: str) -> None: ...
    def _on_close(self) -> None: ...
