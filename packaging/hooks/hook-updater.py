# PyInstaller hook for the compiled module `updater`.
#
# PyInstaller finds imports by reading Python bytecode; the module is C++ and
# imports its standard-library modules at run time, so they are listed here.
# Use it with --additional-hooks-dir=packaging/hooks (or hookspath= in a PyInstaller .spec file).
hiddenimports = [
    "os",
    "shutil",
    "subprocess",
    "sys",
    "threading",
    "time",
    "urllib.error",
    "urllib.request",
    # The window; without these the module falls back to its console update.
    "tkinter",
    "tkinter.messagebox",
    "tkinter.ttk",
]
