"""The update written as plain Python: the baseline of the benchmarks.

Statement for statement what the compiled module does on the benchmarked
paths: the same imports, request, reads and writes of 65536 bytes, arithmetic,
lines, widgets and ``after`` requests.  Globals are looked up when used, so the
benchmarks rebind ``UPDATE_URL``, ``sys`` and ``replace_and_run`` here as on the module.
"""

import sys
import os
import time
import urllib.request
from urllib.error import HTTPError, URLError  # noqa: F401 - imported as the module does
import threading
import subprocess
import shutil

try:
    import tkinter as tk
    from tkinter import ttk, messagebox
    TK_AVAILABLE = True
except ImportError:
    TK_AVAILABLE = False


def get_resource_path(relative_path):
    try:
        base_path = sys._MEIPASS
    except Exception:
        base_path = os.path.abspath(".")
    return os.path.join(base_path, relative_path)


UPDATE_URL = "https://downloads.example.com/brivex/latest/main/BrivexLauncher.exe"
MAIN_EXE_NAME = "BrivexLauncher.exe"
TEMP_EXE_NAME = "BrivexLauncher_new.exe"

BG_DARK = "#121212"
BG_CARD = "#1e1e1e"
ACCENT_PRIMARY = "#00bcd4"
ACCENT_SUCCESS = "#4caf50"
TEXT_PRIMARY = "#ffffff"
TEXT_SECONDARY = "#b0b0b0"
BORDER_COLOR = "#333333"


def get_exe_dir():
    if getattr(sys, "frozen", False):
        return os.path.dirname(sys.executable)
    return os.path.abspath(os.path.dirname(__file__))


def download_new_exe_with_progress(progress_callback):
    exe_dir = get_exe_dir()
    new_path = os.path.join(exe_dir, TEMP_EXE_NAME)
    try:
        req = urllib.request.Request(UPDATE_URL, headers={"Cache-Control": "no-cache"})
        with urllib.request.urlopen(req, timeout=60) as resp:
            total_size = int(resp.headers.get("Content-Length", 0))
            downloaded = 0
            chunk_size = 65536
            start_time = time.time()
            with open(new_path, "wb") as f:
                while True:
                    chunk = resp.read(chunk_size)
                    if not chunk:
                        break
                    f.write(chunk)
                    downloaded += len(chunk)
                    if total_size > 0:
                        percent = downloaded / total_size * 100
                    else:
                        percent = 0
                    elapsed = time.time() - start_time
                    if elapsed > 0:
                        speed = downloaded / 1024 / elapsed
                    else:
                        speed = 0
                    progress_callback(percent, speed, total_size > 0, downloaded)
            if total_size > 0 and total_size > downloaded:
                raise urllib.error.ContentTooShortError(
                    "retrieval incomplete: got only %d out of %d bytes" % (downloaded, total_size), None)
        return new_path
    except Exception as e:  # noqa: F841 - bound and dropped, as the module does
        progress_callback(-1, 0, False, 0)
        return None


def replace_and_run(new_exe):
    exe_dir = get_exe_dir()
    main_exe = os.path.join(exe_dir, MAIN_EXE_NAME)
    old_exe = os.path.join(exe_dir, MAIN_EXE_NAME + ".old")
    try:
        if os.path.exists(main_exe):
            os.replace(main_exe, old_exe)
        shutil.move(new_exe, main_exe)
        if os.path.exists(old_exe):
            os.remove(old_exe)
        subprocess.Popen([main_exe])
    except Exception as e:
        raise RuntimeError(f"Failed to replace and run: {e}")


class UpdaterGUI:
    WIDTH = 400
    HEIGHT = 200

    def __init__(self):
        if not TK_AVAILABLE:
            self.console_update()
            return

        self.root = tk.Tk()
        self.root.title("Brivex Updater")
        self.root.geometry(f"{self.WIDTH}x{self.HEIGHT}")
        self.root.resizable(False, False)
        self.root.configure(bg=BG_DARK)

        icon_path = get_resource_path("icon.ico")
        if os.path.exists(icon_path):
            if os.name == "nt":
                self.root.iconbitmap(icon_path)

        x = (self.root.winfo_screenwidth() - self.WIDTH) // 2
        y = (self.root.winfo_screenheight() - self.HEIGHT) // 2
        self.root.geometry(f"+{x}+{y}")

        self.card = tk.Frame(self.root, bg=BG_CARD, bd=2, relief="flat",
                             highlightbackground=BORDER_COLOR, highlightthickness=1)
        self.card.pack(expand=True, fill="both", padx=20, pady=20, ipadx=10, ipady=10)

        self.title_lbl = tk.Label(self.card, text="Downloading Update...", bg=BG_CARD, fg=TEXT_PRIMARY,
                                  font=("Helvetica", 14, "bold"))
        self.title_lbl.pack(pady=(10, 15))

        self.progress = ttk.Progressbar(self.card, mode="determinate", length=300)
        style = ttk.Style()
        style.theme_use("clam")
        style.configure("TProgressbar", background=ACCENT_SUCCESS, troughcolor=BG_DARK)
        self.progress.pack(pady=(0, 10))

        self.speed_lbl = tk.Label(self.card, text="Connecting...", bg=BG_CARD, fg=TEXT_SECONDARY,
                                  font=("Helvetica", 10))
        self.speed_lbl.pack(pady=(0, 5))

        self.root.protocol("WM_DELETE_WINDOW", self._on_close)
        threading.Thread(target=self._run_update, daemon=True).start()
        self.root.mainloop()

    def _run_update(self):
        def progress_callback(percent, speed_kb, known_size, downloaded_bytes):
            if percent == -1:
                self.root.after(0, lambda: self.speed_lbl.config(text="Download failed!"))
                self.root.after(0, lambda: messagebox.showerror("Update Failed", "Could not download update."))
                self.root.after(0, sys.exit, 1)
            else:
                self.root.after(0, lambda: self.progress.config(value=percent))
                if known_size:
                    self.root.after(0, lambda: self.speed_lbl.config(text=f"{percent:.1f}% • {speed_kb:.1f} KB/s"))
                else:
                    self.root.after(0, lambda: self.speed_lbl.config(
                        text=f"{downloaded_bytes // 1024} KB • {speed_kb:.1f} KB/s"))

        new_exe = download_new_exe_with_progress(progress_callback)
        if new_exe:
            self.root.after(0, lambda: self.speed_lbl.config(text="Update ready! Restarting..."))
            self.root.after(500, lambda: self._complete_update(new_exe))

    def _complete_update(self, new_exe):
        try:
            replace_and_run(new_exe)
            self.root.destroy()
        except Exception as e:
            messagebox.showerror("Update Error", str(e))
            sys.exit(1)

    def _on_close(self):
        sys.exit(0)

    def console_update(self):
        print("Tkinter not available, running console update...")

        def progress_callback(percent, speed_kb, known_size, downloaded_bytes):
            if percent == -1:
                print("Download failed!")
                sys.exit(1)
            elif known_size:
                print(f"{percent:.1f}% • {speed_kb:.1f} KB/s")
            else:
                print(f"{downloaded_bytes // 1024} KB • {speed_kb:.1f} KB/s")

        new_exe = download_new_exe_with_progress(progress_callback)
        if not new_exe:
            return
        print("Update ready! Replacing and restarting...")
        try:
            replace_and_run(new_exe)
        except Exception as e:
            print(f"Error: {e}")
            sys.exit(1)


if __name__ == "__main__":
    UpdaterGUI()
