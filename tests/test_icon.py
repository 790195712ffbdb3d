"""packaging/make_icon.py: the icon.ico packed into the one-file build is a
well-formed Windows icon with a 16x16 and a 32x32 image."""

from __future__ import annotations

import importlib.util
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
_spec = importlib.util.spec_from_file_location("make_icon", ROOT / "packaging" / "make_icon.py")
make_icon = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(make_icon)


@pytest.fixture(scope="module")
def ico() -> bytes:
    return make_icon.ico()


def entries(data: bytes) -> list[tuple[int, int, int, int, int]]:
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    assert (reserved, kind) == (0, 1)
    out = []
    for i in range(count):
        width, height, colours, zero, planes, bpp, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        assert (colours, zero, planes, bpp) == (0, 0, 1, 32)
        out.append((width, height, size, offset, bpp))
    return out


def test_directory_describes_two_images_that_tile_the_file(ico):
    images = entries(ico)
    assert [(w, h) for w, h, *_ in images] == [(16, 16), (32, 32)]
    # Each image starts where the previous one ends; the last ends the file.
    position = 6 + 16 * len(images)
    for _, _, size, offset, _ in images:
        assert offset == position
        position += size
    assert position == len(ico)


@pytest.mark.parametrize("index, size", [(0, 16), (1, 32)])
def test_each_image_is_a_32_bit_bitmap_with_its_and_mask(ico, index, size):
    _, _, length, offset, _ = entries(ico)[index]
    header = struct.unpack_from("<IiiHHIIiiII", ico, offset)
    assert header[:6] == (40, size, 2 * size, 1, 32, 0)  # height counts XOR image and mask
    mask_row = ((size + 31) // 32) * 4
    assert length == 40 + size * size * 4 + size * mask_row
    pixels = ico[offset + 40 : offset + 40 + size * size * 4]
    mask = ico[offset + 40 + size * size * 4 : offset + length]
    # Bottom-up rows: the first mask row is the bottom edge.  The rounded
    # corners are transparent (mask bit set, alpha 0); the middle is opaque.
    assert mask[0] & 0x80 and pixels[3] == 0
    centre = ((size // 2) * size + size // 2) * 4
    assert pixels[centre + 3] == 255
    centre_bit = mask[(size // 2) * mask_row + (size // 2) // 8] >> (7 - (size // 2) % 8) & 1
    assert centre_bit == 0


def test_arrow_is_drawn_in_the_accent_colour(ico):
    _, _, _, offset, _ = entries(ico)[1]
    pixels = ico[offset + 40 : offset + 40 + 32 * 32 * 4]
    colours = {tuple(pixels[i : i + 3]) for i in range(0, len(pixels), 4)}
    b, g, r = 0x50, 0xAF, 0x4C  # ACCENT_SUCCESS #4caf50, stored as BGR
    assert (b, g, r) in colours and (0x1E, 0x1E, 0x1E) in colours


def test_command_writes_the_file(tmp_path, ico):
    target = tmp_path / "sub" / "icon.ico"
    result = subprocess.run([sys.executable, str(ROOT / "packaging" / "make_icon.py"), str(target)], timeout=30)
    assert result.returncode == 0
    assert target.read_bytes() == ico
    assert subprocess.run([sys.executable, str(ROOT / "packaging" / "make_icon.py")], capture_output=True).returncode == 2


@pytest.mark.skipif(shutil.which("identify") is None, reason="ImageMagick is not installed")
def test_imagemagick_reads_both_images(tmp_path, ico):
    path = tmp_path / "icon.ico"
    path.write_bytes(ico)
    result = subprocess.run(["identify", str(path)], capture_output=True, text=True, timeout=30)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 2
    assert " ICO 16x16 " in lines[0] and " ICO 32x32 " in lines[1]
