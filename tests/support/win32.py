"""Driving real windows from Windows, over user32 and gdi32: what `support.x11`
does on X11, for `support.desktop`.  Under Wine the windows are Win32 windows
shown on the same X display, and Linux programs such as xdotool cannot be
run usefully from a Windows process: everything here goes through Win32.

* `visible_window`     a visible top-level window by its exact title (EnumWindows)
* `press_default`      answers a dialog through its default button, as Return
                       does (a Tk messagebox is a native MessageBox here)
* `geometry`           where the window was placed (its frame's corner, the
                       point `wm geometry +x+y` sets) and the size of its client area
* `resizable`          whether its style gives it a sizing border or a maximize box
* `send_close_request` WM_SYSCOMMAND/SC_CLOSE, which the system turns into
                       WM_CLOSE, exactly as for a click on the close button
* `capture`            the client area's pixels, copied from the screen
"""

from __future__ import annotations

import ctypes
from ctypes import wintypes


TOOLS: tuple[str, ...] = ()  # nothing beyond the system's own libraries

_user32 = ctypes.WinDLL("user32", use_last_error=True)
_gdi32 = ctypes.WinDLL("gdi32", use_last_error=True)

GWL_STYLE = -16
WS_THICKFRAME = 0x00040000
WS_MAXIMIZEBOX = 0x00010000
WM_COMMAND = 0x0111
WM_SYSCOMMAND = 0x0112
SC_CLOSE = 0xF060
IDOK = 1
SRCCOPY = 0x00CC0020
DIB_RGB_COLORS = 0


class _BitmapInfoHeader(ctypes.Structure):
    _fields_ = [
        ("biSize", wintypes.DWORD), ("biWidth", wintypes.LONG), ("biHeight", wintypes.LONG),
        ("biPlanes", wintypes.WORD), ("biBitCount", wintypes.WORD), ("biCompression", wintypes.DWORD),
        ("biSizeImage", wintypes.DWORD), ("biXPelsPerMeter", wintypes.LONG), ("biYPelsPerMeter", wintypes.LONG),
        ("biClrUsed", wintypes.DWORD), ("biClrImportant", wintypes.DWORD),
    ]


_EnumWindowsProc = ctypes.WINFUNCTYPE(wintypes.BOOL, wintypes.HWND, wintypes.LPARAM)


def _declare(dll, name, restype, *argtypes):
    function = getattr(dll, name)
    function.restype, function.argtypes = restype, list(argtypes)
    return function


_EnumWindows = _declare(_user32, "EnumWindows", wintypes.BOOL, _EnumWindowsProc, wintypes.LPARAM)
_IsWindowVisible = _declare(_user32, "IsWindowVisible", wintypes.BOOL, wintypes.HWND)
_GetWindowTextLength = _declare(_user32, "GetWindowTextLengthW", ctypes.c_int, wintypes.HWND)
_GetWindowText = _declare(_user32, "GetWindowTextW", ctypes.c_int, wintypes.HWND, wintypes.LPWSTR, ctypes.c_int)
_GetWindowRect = _declare(_user32, "GetWindowRect", wintypes.BOOL, wintypes.HWND, ctypes.POINTER(wintypes.RECT))
_GetClientRect = _declare(_user32, "GetClientRect", wintypes.BOOL, wintypes.HWND, ctypes.POINTER(wintypes.RECT))
_ClientToScreen = _declare(_user32, "ClientToScreen", wintypes.BOOL, wintypes.HWND, ctypes.POINTER(wintypes.POINT))
_GetWindowLong = _declare(_user32, "GetWindowLongW", wintypes.LONG, wintypes.HWND, ctypes.c_int)
_GetSystemMetrics = _declare(_user32, "GetSystemMetrics", ctypes.c_int, ctypes.c_int)
_GetDlgItem = _declare(_user32, "GetDlgItem", wintypes.HWND, wintypes.HWND, ctypes.c_int)
_PostMessage = _declare(_user32, "PostMessageW", wintypes.BOOL, wintypes.HWND, wintypes.UINT, wintypes.WPARAM,
                        wintypes.LPARAM)
_GetDC = _declare(_user32, "GetDC", wintypes.HDC, wintypes.HWND)
_ReleaseDC = _declare(_user32, "ReleaseDC", ctypes.c_int, wintypes.HWND, wintypes.HDC)
_CreateCompatibleDC = _declare(_gdi32, "CreateCompatibleDC", wintypes.HDC, wintypes.HDC)
_DeleteDC = _declare(_gdi32, "DeleteDC", wintypes.BOOL, wintypes.HDC)
_CreateCompatibleBitmap = _declare(_gdi32, "CreateCompatibleBitmap", wintypes.HBITMAP, wintypes.HDC, ctypes.c_int,
                                   ctypes.c_int)
_SelectObject = _declare(_gdi32, "SelectObject", wintypes.HGDIOBJ, wintypes.HDC, wintypes.HGDIOBJ)
_DeleteObject = _declare(_gdi32, "DeleteObject", wintypes.BOOL, wintypes.HGDIOBJ)
_BitBlt = _declare(_gdi32, "BitBlt", wintypes.BOOL, wintypes.HDC, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                   ctypes.c_int, wintypes.HDC, ctypes.c_int, ctypes.c_int, wintypes.DWORD)
_GetDIBits = _declare(_gdi32, "GetDIBits", ctypes.c_int, wintypes.HDC, wintypes.HBITMAP, wintypes.UINT,
                      wintypes.UINT, ctypes.c_void_p, ctypes.POINTER(_BitmapInfoHeader), wintypes.UINT)


def _check(ok, what: str):
    if not ok:
        raise ctypes.WinError(ctypes.get_last_error(), f"{what} failed")
    return ok


def _title(window: int) -> str:
    buffer = ctypes.create_unicode_buffer(_GetWindowTextLength(window) + 1)
    _GetWindowText(window, buffer, len(buffer))
    return buffer.value


def visible_window(title: str) -> int | None:
    """The handle of a visible top-level window titled exactly `title`, or None."""
    found: list[int] = []

    @_EnumWindowsProc
    def look(window, _):
        if _IsWindowVisible(window) and _title(window) == title:
            found.append(window)
            return False
        return True

    _EnumWindows(look, 0)
    return found[0] if found else None


def press_default(window: int) -> None:
    """The command of the dialog's OK button, as pressing Return on it sends."""
    _PostMessage(window, WM_COMMAND, IDOK, _GetDlgItem(window, IDOK) or 0)


def _client_area(window: int) -> tuple[int, int, int, int]:
    rect, corner = wintypes.RECT(), wintypes.POINT(0, 0)
    _check(_GetClientRect(window, ctypes.byref(rect)), "GetClientRect")
    _check(_ClientToScreen(window, ctypes.byref(corner)), "ClientToScreen")
    return corner.x, corner.y, rect.right, rect.bottom


def geometry(window: int) -> dict[str, int]:
    frame = wintypes.RECT()
    _check(_GetWindowRect(window, ctypes.byref(frame)), "GetWindowRect")
    _, _, width, height = _client_area(window)
    return {"x": frame.left, "y": frame.top, "width": width, "height": height}


def display_size() -> tuple[int, int]:
    return _GetSystemMetrics(0), _GetSystemMetrics(1)  # SM_CXSCREEN, SM_CYSCREEN


def resizable(window: int) -> bool:
    return bool(_GetWindowLong(window, GWL_STYLE) & (WS_THICKFRAME | WS_MAXIMIZEBOX))


def send_close_request(window: int) -> None:
    _check(_PostMessage(window, WM_SYSCOMMAND, SC_CLOSE, 0), "PostMessage")


def capture(window: int) -> tuple[int, int, bytes]:
    """(width, height, RGB bytes, rows top to bottom) of the client area as the screen shows it."""
    x, y, width, height = _client_area(window)
    screen = _check(_GetDC(None), "GetDC")
    memory = bitmap = None
    try:
        memory = _check(_CreateCompatibleDC(screen), "CreateCompatibleDC")
        bitmap = _check(_CreateCompatibleBitmap(screen, width, height), "CreateCompatibleBitmap")
        previous = _SelectObject(memory, bitmap)
        _check(_BitBlt(memory, 0, 0, width, height, screen, x, y, SRCCOPY), "BitBlt")
        _SelectObject(memory, previous)
        header = _BitmapInfoHeader(biSize=ctypes.sizeof(_BitmapInfoHeader), biWidth=width,
                                   biHeight=-height, biPlanes=1, biBitCount=32)  # top-down, BI_RGB
        bgrx = ctypes.create_string_buffer(4 * width * height)
        _check(_GetDIBits(memory, bitmap, 0, height, bgrx, ctypes.byref(header), DIB_RGB_COLORS) == height,
               "GetDIBits")
    finally:
        if bitmap:
            _DeleteObject(bitmap)
        if memory:
            _DeleteDC(memory)
        _ReleaseDC(None, screen)
    rgb = bytearray(3 * width * height)
    rgb[0::3], rgb[1::3], rgb[2::3] = bgrx.raw[2::4], bgrx.raw[1::4], bgrx.raw[0::4]
    return width, height, bytes(rgb)
