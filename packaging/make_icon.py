"""Write the updater window's icon, icon.ico, without any image library.

    python packaging/make_icon.py OUTPUT.ico

The file holds two images, 16x16 and 32x32, each a 32-bit BGRA bitmap with its
1-bit AND mask, as Windows expects in an .ico: a dark rounded tile with a green
downward arrow (the palette of the update window).
"""

from __future__ import annotations

import struct
import sys
from pathlib import Path

SIZES = (16, 32)

TILE = (0x1E, 0x1E, 0x1E)  # BG_CARD
BORDER = (0x33, 0x33, 0x33)  # BORDER_COLOR
ARROW = (0x4C, 0xAF, 0x50)  # ACCENT_SUCCESS


def _inside_rounded_square(x: float, y: float, size: int, radius: float) -> bool:
    lo, hi = radius, size - radius
    cx = min(max(x, lo), hi)
    cy = min(max(y, lo), hi)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius**2


def _in_arrow(x: float, y: float, size: int) -> bool:
    """A downward arrow: a shaft in the upper half, a triangle below it."""
    u, v = x / size, y / size  # 0..1, v grows downwards
    if 0.18 <= v < 0.55:
        return abs(u - 0.5) <= 0.11
    if 0.50 <= v <= 0.84:
        half_width = 0.32 * (0.84 - v) / 0.34
        return abs(u - 0.5) <= half_width
    return False


def pixels(size: int) -> list[list[tuple[int, int, int, int] | None]]:
    """Rows top to bottom of (r, g, b, a), or None for a transparent pixel."""
    radius = size * 0.2
    rows = []
    for row in range(size):
        line = []
        for col in range(size):
            x, y = col + 0.5, row + 0.5
            if not _inside_rounded_square(x, y, size, radius):
                line.append(None)
            elif not _inside_rounded_square(x - 1, y - 1, size - 2, radius - 1):
                line.append((*BORDER, 255))
            elif _in_arrow(x, y, size):
                line.append((*ARROW, 255))
            else:
                line.append((*TILE, 255))
        rows.append(line)
    return rows


def bitmap(size: int) -> bytes:
    """One ICO image: BITMAPINFOHEADER, BGRA rows bottom-up, AND mask bottom-up."""
    rows = pixels(size)
    header = struct.pack(
        "<IiiHHIIiiII",
        40,  # header size
        size,
        size * 2,  # XOR image and AND mask stacked
        1,  # planes
        32,  # bits per pixel
        0,  # BI_RGB
        0,  # image size (may be 0 for BI_RGB)
        0,
        0,
        0,
        0,
    )
    xor = bytearray()
    mask = bytearray()
    mask_row_bytes = ((size + 31) // 32) * 4
    for line in reversed(rows):
        bits = 0
        for col, px in enumerate(line):
            if px is None:
                xor += b"\0\0\0\0"
                bits |= 1 << (mask_row_bytes * 8 - 1 - col)
            else:
                r, g, b, a = px
                xor += bytes((b, g, r, a))
        mask += bits.to_bytes(mask_row_bytes, "big")
    return header + bytes(xor) + bytes(mask)


def ico(sizes=SIZES) -> bytes:
    images = [bitmap(size) for size in sizes]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))  # reserved, type 1 = icon, count
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        out += struct.pack(
            "<BBBBHHII",
            size % 256,  # width (0 means 256)
            size % 256,
            0,  # no palette
            0,
            1,  # colour planes
            32,  # bits per pixel
            len(image),
            offset,
        )
        offset += len(image)
    for image in images:
        out += image
    return bytes(out)


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print("usage: python make_icon.py OUTPUT.ico", file=sys.stderr)
        return 2
    target = Path(argv[1])
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_bytes(ico())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
