# Installed into the Windows stage's interpreter only (tools/windows/winenv.py),
# never into anything shipped.  Wine 8 lacks CopyFile2, which CPython 3.12's
# shutil calls on Windows when it copies a file (also when shutil.move cannot
# rename); without the attribute shutil falls back to its portable copy.
import _winapi

try:
    del _winapi.CopyFile2
except AttributeError:
    pass
