"""Real windows on the test display, driven from the system that draws them:
through X11 on POSIX (`support.x11`: Xvfb, xdotool), through Win32 on Windows
(`support.win32`; under Wine on the same Xvfb display).  One set of names for
the window tests:

* `find_window`        waits for a visible window with an exact title
* `visible_window`     that window now, or None
* `dismiss`            answers a dialog until the process that shows it ends
* `geometry`           {"x", "y", "width", "height"}: where the window was
                       placed (the point `wm geometry +x+y` sets) and the size
                       of what it shows
* `display_size`       (width, height) of the screen
* `resizable`          whether the user can change the window's size
* `send_close_request` what the close button sends
* `screenshot`         saves the window's contents as PNG and returns them as an `Image`
* `TOOLS`              the programs the functions run (none on Windows)
"""

from __future__ import annotations

import os
import struct
import time
import zlib

if os.name == "nt":
    from support import win32 as _system
else:
    from support import x11 as _system

TOOLS = _system.TOOLS
visible_window = _system.visible_window
geometry = _system.geometry
display_size = _system.display_size
resizable = _system.resizable
send_close_request = _system.send_close_request


def find_window(title: str, *, timeout: float = 15, alive=lambda: True) -> int:
    """The visible window titled `title`; waits while `alive()` holds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        window = visible_window(title)
        if window is not None:
            return window
        if not alive():
            raise AssertionError(f"the process ended before a window {title!r} appeared")
        time.sleep(0.05)
    raise AssertionError(f"no window {title!r} within {timeout} s")


def dismiss(window: int, running, *, timeout: float = 15) -> None:
    """Answer a dialog with its default button until the process that shows it ends.

    A dialog can be shown before it answers its keys, so a single early
    answer may go unheard on a loaded machine.
    """
    deadline = time.monotonic() + timeout
    while running.poll() is None and time.monotonic() < deadline:
        _system.press_default(window)
        end = time.monotonic() + 1.0
        while running.poll() is None and time.monotonic() < end:
            time.sleep(0.05)


class Image:
    """RGB pixels, rows from the top; a pixel reads as "#rrggbb"."""

    def __init__(self, width: int, height: int, pixels: bytes):
        assert len(pixels) == 3 * width * height
        self.width, self.height, self.pixels = width, height, pixels

    def __getitem__(self, xy: tuple[int, int]) -> str:
        x, y = xy
        i = 3 * (y * self.width + x)
        return "#%02x%02x%02x" % tuple(self.pixels[i : i + 3])

    def row(self, y: int) -> list[str]:
        return [self[x, y] for x in range(self.width)]

    def region(self, x0: int, y0: int, x1: int, y1: int) -> list[str]:
        return [self[x, y] for y in range(y0, y1) for x in range(x0, x1)]

    def save_png(self, path) -> None:
        """An 8-bit RGB PNG, each row unfiltered."""
        stride = 3 * self.width
        rows = b"".join(b"\0" + self.pixels[y * stride : (y + 1) * stride] for y in range(self.height))

        def chunk(kind: bytes, data: bytes) -> bytes:
            return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

        header = struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0)  # 8 bits, RGB, no interlace
        with open(path, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9))
                    + chunk(b"IEND", b""))


def screenshot(window: int, path) -> Image:
    image = Image(*_system.capture(window))
    image.save_png(path)
    return image
