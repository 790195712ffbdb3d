"""The sanitizer run (tools/sanitize.sh) checks what it means to: the
instrumented build is the module every test imports, in this process and in
the fresh interpreters that scenario tests start, and the sanitizer runtime
there does catch a bad access.  Outside that run these tests are skipped."""

from __future__ import annotations

import os
import sys
from pathlib import Path

import pytest

SANITIZED_BUILD = os.environ.get("UPDATER_SANITIZED_BUILD")

pytestmark = pytest.mark.skipif(not SANITIZED_BUILD, reason="only under tools/sanitize.sh")

PROBE = """
    import sys, updater
    emit({
        "file": updater.__file__,
        "asan": "libasan" in open("/proc/self/maps").read(),
        "pymalloc": sys.getallocatedblocks() > 0,
    })
"""


def test_this_process_imports_the_instrumented_build(updater_module):
    assert Path(updater_module.__file__).parent == Path(SANITIZED_BUILD)
    assert "libasan" in Path("/proc/self/maps").read_text()
    assert sys.getallocatedblocks() == 0  # PYTHONMALLOC=malloc: every object is a malloc block


def test_scenario_children_import_it_too(run_scenario):
    outcome = run_scenario(PROBE)
    assert outcome.returncode == 0, outcome
    assert outcome.result == {
        "file": str(Path(SANITIZED_BUILD) / Path(outcome.result["file"]).name),
        "asan": True,
        "pymalloc": False,
    }


@pytest.mark.parametrize("kind, code", [
    ("heap-buffer-overflow", "ctypes.memmove(buf, b'x' * 32, 32)"),
    ("heap-use-after-free", "libc.free(buf); ctypes.memmove(buf, b'x', 1)"),
])
def test_the_runtime_reports_a_bad_access(run_scenario, tmp_path, kind, code):
    """A canary: a child that writes past a 16-byte block (or into a freed one)
    is stopped with a report, here written into the test's own directory."""
    outcome = run_scenario(
        f"""
        import ctypes
        libc = ctypes.CDLL(None)
        libc.malloc.restype = ctypes.c_void_p
        libc.free.argtypes = [ctypes.c_void_p]
        buf = libc.malloc(16)
        {code}
        print("not stopped")
        """,
        env={"ASAN_OPTIONS": f"detect_leaks=0:log_path={tmp_path}/canary"},
    )
    assert outcome.returncode != 0 and "not stopped" not in outcome.stdout, outcome
    reports = list(tmp_path.glob("canary.*"))
    assert len(reports) == 1
    assert f"ERROR: AddressSanitizer: {kind}" in reports[0].read_text()
