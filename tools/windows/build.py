"""The module for 64-bit Windows, built on Linux with zig (its clang and lld,
targeting x86_64-windows-gnu: the Universal CRT, as python.org's CPython and
MSVC's builds) against python.org's CPython 3.12 (its own include/ and
libs/python312.lib), checked, and packed into a win_amd64 wheel; also the
tests' launcher stand-in.

    python tools/windows/build.py [--update-url URL] [--out DIR]

Run by tools/windows/stage.py, which hands it the distribution (winenv.py).
The checks, each of which fails the build:

1. Every src/**/*.cpp compiles with -std=c++20 -Wall -Wextra -Werror -O2
   against the distribution's headers and its own pyconfig.h, and includes no
   POSIX header that the mingw-w64 headers carry and MSVC does not
   (unistd.h, ...).
2. Every name the module takes from python312.dll is declared PyAPI_FUNC or
   PyAPI_DATA by a public header of the distribution (internal/ excluded).
3. The linked updater.pyd exports PyInit_updater and nothing else, and
   imports only python312.dll, the Universal CRT (api-ms-win-crt-*.dll),
   KERNEL32.dll and the system DLLs of LIBRARIES: never msvcrt.dll (a second
   C runtime beside the interpreter's) nor a DLL of a C++ runtime (libc++,
   libunwind and mingw-w64's startup code are linked statically).

Outputs, in DIR (default build/windows): updater.pyd, the wheel
updater-<version>-cp312-cp312-win_amd64.whl and the builds of the launcher
stand-in that LAUNCHERS lists, each but launcher.exe with a version resource
(tools/windows/launcher.rc, compiled by zig's resource compiler), and
launcher-absent-dll.exe, which imports a DLL that is not there.

    python tools/windows/build.py --resource-builds

prints the builds with a version resource, one a line: the file name and
the resource compiler's /d options (the Windows workflow builds them with
MSVC's rc.exe).

Needs the distribution (fetched when missing), the ziglang package (pinned in
requirements-dev.txt) in the interpreter that runs this, and binutils' nm and
objdump; not Wine.  zig keeps what it builds once (the C++ runtime for the
target) in .cache/zig.
"""

from __future__ import annotations

import argparse
import base64
import concurrent.futures
import hashlib
import importlib.metadata
import os
import re
import shutil
import subprocess
import sys
import time
import tomllib
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from winenv import ROOT, StageError, WindowsPython, log  # noqa: E402

TARGET = "x86_64-windows-gnu"
ZIG_PACKAGE = "ziglang"
ZIG_CACHE = ROOT / ".cache" / "zig"
PYTHON_DLL = "python312.dll"
MODULE_FILE = "updater.pyd"
INSTALLED_NAME = "updater.cp312-win_amd64.pyd"
INIT = "PyInit_updater"
WHEEL_TAG = "cp312-cp312-win_amd64"
# Release flags, as the CMake build's Release.
CXXFLAGS = ["-std=c++20", "-Wall", "-Wextra", "-Werror", "-O2", "-DNDEBUG", "-fvisibility=hidden"]
# The system DLLs the module links, by their import libraries' names (the
# publisher check's WinVerifyTrust, certificate and version resource
# functions); each one's DLL may then be imported.
LIBRARIES = ["wintrust", "crypt32", "version"]
LAUNCHER_SOURCE = ROOT / "tools" / "windows" / "launcher.c"
LAUNCHER_RESOURCE = ROOT / "tools" / "windows" / "launcher.rc"
# A launcher that dies in the loader: it imports a DLL that is not shipped.
ABSENT_DLL_SOURCE = ROOT / "tools" / "windows" / "absent_dll.c"
ABSENT_DLL_LAUNCHER = "launcher-absent-dll.exe"
# The builds of the launcher stand-in: file name -> the file version and
# OriginalFilename of its version resource, and the code page its
# \VarFileInfo\Translation names where that is not the block's own (1200,
# UTF-16), or None for a build without one.
# The tests' signed launchers (signing.py) are made from them.
LAUNCHERS = {
    "launcher.exe": None,
    "launcher-1.0.0.0.exe": ("1.0.0.0", "BrivexLauncher.exe"),
    "launcher-2.0.0.0.exe": ("2.0.0.0", "BrivexLauncher.exe"),
    "uninstall-2.0.0.0.exe": ("2.0.0.0", "uninstall.exe"),
    "launcher-1.0.0.0-cp1252.exe": ("1.0.0.0", "BrivexLauncher.exe", 1252),
    "launcher-2.0.0.0-cp1252.exe": ("2.0.0.0", "BrivexLauncher.exe", 1252),
}
# zig links libc++, libunwind and the mingw-w64 startup code statically: no
# DLL of theirs is needed.  -Brepro: a hash of the contents where the PE header
# has its time stamp; with a fixed image base the same sources give the same
# file (and wheel).  The import library zig writes goes beside the objects.
LDFLAGS = ["-shared", "-s", "-Wl,-Brepro", "-Wl,--image-base=0x180000000"]
SYSTEM_DLL = re.compile(r"(?i)^(kernel32\.dll|api-ms-win-crt-[a-z0-9-]+\.dll)$")
# The DLLs of a C runtime other than the interpreter's, or of a C++ runtime.
FOREIGN_RUNTIME = re.compile(r"(?i)^(msvcrt|msvcr\d+|libstdc\+\+|libgcc|libwinpthread|libc\+\+|libunwind)\S*\.dll$")
PYTHON_NAME = re.compile(r"^_?Py")
# The address rule of CMakeLists.txt.
URL_RULE = re.compile(r'^https://[A-Za-z0-9.-]+(:[0-9]+)?(/[^/?#" \\]+)*/latest/main/BrivexLauncher\.exe$')

# POSIX headers that the mingw-w64 headers carry for ported programs but the
# Windows SDK and MSVC do not: the MSVC build would stop at them.
MINGW_ONLY_HEADERS = ("unistd.h", "dirent.h", "pthread.h", "sched.h", "semaphore.h", "strings.h", "libgen.h",
                      "getopt.h", "sys/time.h", "sys/param.h", "sys/file.h")


def run(argv: list[str], **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run(argv, capture_output=True, text=True, **kwargs)


def zig_pin() -> str:
    """The ziglang version requirements-dev.txt pins."""
    found = re.search(rf"^{ZIG_PACKAGE}==(\S+)", (ROOT / "requirements-dev.txt").read_text(), re.M)
    if not found:
        raise StageError(f"requirements-dev.txt pins no {ZIG_PACKAGE} version")
    return found.group(1)


def find_tools() -> dict[str, list[str]]:
    """zig's c++ and cc, run by this interpreter from the pinned ziglang
    package, with their cache in .cache/zig; binutils' nm and objdump."""
    pin = zig_pin()
    try:
        installed = importlib.metadata.version(ZIG_PACKAGE)
    except importlib.metadata.PackageNotFoundError:
        installed = None
    if installed != pin:
        found = f"{ZIG_PACKAGE} {installed} is installed" if installed else f"{ZIG_PACKAGE} is not installed"
        raise StageError(f"{found} for {sys.executable}; the build takes zig from {ZIG_PACKAGE}=={pin}: "
                         f"{sys.executable} -m pip install {ZIG_PACKAGE}=={pin} (requirements-dev.txt pins it)")
    zig = [sys.executable, "-m", ZIG_PACKAGE]
    tools: dict[str, list[str]] = {"c++": [*zig, "c++", "-target", TARGET], "cc": [*zig, "cc", "-target", TARGET],
                                   "rc": [*zig, "rc", "/:auto-includes", "gnu"]}
    missing = []
    for tool in ("nm", "objdump"):
        path = shutil.which(tool)
        if path:
            tools[tool] = [path]
        else:
            missing.append(tool)
    if missing:
        raise StageError(f"not found on PATH: {', '.join(missing)}\ninstall binutils: apt-get install binutils "
                         "(tools/test.sh does as root)")
    return tools


def zig_environment() -> dict[str, str]:
    return {**os.environ, "ZIG_GLOBAL_CACHE_DIR": str(ZIG_CACHE), "ZIG_LOCAL_CACHE_DIR": str(ZIG_CACHE)}


def update_url(given: str | None) -> str:
    """The address to compile in: `given`, or CMakeLists.txt's default."""
    if given is None:
        found = re.search(r'set\(UPDATER_UPDATE_URL\s+"([^"]+)"', (ROOT / "CMakeLists.txt").read_text())
        if not found:
            raise StageError("CMakeLists.txt: the UPDATER_UPDATE_URL default was not found")
        given = found.group(1)
    if not URL_RULE.match(given):
        raise StageError("UPDATER_UPDATE_URL must be an https address whose path ends in "
                         f"latest/main/BrivexLauncher.exe; got \"{given}\"")
    return given


def shown(source: Path) -> Path:
    return source.relative_to(ROOT) if source.is_relative_to(ROOT) else source


def object_name(source: Path) -> str:
    parts = source.relative_to(ROOT / "src").parts if source.is_relative_to(ROOT / "src") else (source.name,)
    return "_".join(parts).removesuffix(source.suffix) + ".o"


def compile_all(tools, sources, include: Path, url: str, out: Path) -> dict[Path, Path]:
    def compile_one(source: Path):
        obj = out / object_name(source)
        argv = [*tools["c++"], *CXXFLAGS, f'-DUPDATER_UPDATE_URL="{url}"', f"-I{include}",
                "-MD", "-MF", str(obj.with_suffix(".d")), "-c", str(source), "-o", str(obj)]
        return source, obj, run(argv, cwd=ROOT, env=zig_environment())

    failures, objects = [], {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for source, obj, proc in pool.map(compile_one, sources):
            if proc.returncode != 0:
                failures.append(f"--- {shown(source)}\n{proc.stderr.rstrip()}")
            objects[source] = obj
    if failures:
        raise StageError(f"{len(failures)} of {len(sources)} source files do not compile for 64-bit Windows:\n"
                         + "\n".join(failures))
    return objects


def check_headers(objects: dict[Path, Path], include: Path) -> None:
    """Each object saw the distribution's pyconfig.h and no POSIX header MSVC lacks."""
    config = (include / "pyconfig.h").resolve()
    problems = []
    for source, obj in objects.items():
        deps = [Path(d) for d in obj.with_suffix(".d").read_text().replace("\\\n", " ").split()[1:]]
        configs = {d.resolve() for d in deps if d.name == "pyconfig.h"}
        if configs != {config}:
            problems.append(f"{shown(source)}: compiled with {sorted(map(str, configs))}, not {config}")
        for dep in deps:
            name = next((h for h in MINGW_ONLY_HEADERS if str(dep).endswith("/" + h)), None)
            if name and not (ROOT / dep).resolve().is_relative_to(ROOT / "src"):
                problems.append(f"{shown(source)}: includes <{name}> ({dep}), a POSIX header that "
                                "the mingw-w64 headers have and MSVC does not")
    if problems:
        raise StageError("\n".join(problems))


def strip_comments(text: str) -> str:
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    text = re.sub(r"//[^\n]*", " ", text)
    text = text.replace("\\\n", " ")
    # The macros' own definitions (#define PyAPI_FUNC(RTYPE) ...) declare nothing.
    return "\n".join(line for line in text.splitlines() if not line.lstrip().startswith("#"))


DECLARATION = re.compile(r"\bPyAPI_(FUNC|DATA)\s*\(")


def declarations(header: Path) -> dict[str, tuple[str, str]]:
    """name -> ("FUNC" or "DATA", the declaration's text) for each PyAPI_ declaration."""
    text = strip_comments(header.read_text(errors="replace"))
    found = {}
    for match in DECLARATION.finditer(text):
        depth, i = 1, match.end()
        while depth and i < len(text):
            depth += {"(": 1, ")": -1}.get(text[i], 0)
            i += 1
        rest = text[i : i + 300]
        if match.group(1) == "FUNC":
            name = re.match(r"[\s\w]*?(\w+)\s*\(", rest)  # PyAPI_FUNC(type) [attributes] name(
        else:
            name = re.match(r"[\s*(]*(\w+)", rest)  # PyAPI_DATA(type) name; *name, (*name)(...), name[...]
        if name:
            found[name.group(1)] = (match.group(1), text[match.start() : text.find(";", i) + 1])
    return found


def header_declarations(include: Path) -> tuple[dict[str, tuple[str, str]], dict[str, str]]:
    """(public, internal): name -> (kind, text) for the public tree, name -> header for internal/."""
    public, internal = {}, {}
    for header in sorted(include.rglob("*.h")):
        rel = header.relative_to(include)
        if rel.parts[0] == "internal":
            for name in declarations(header):
                internal.setdefault(name, str(rel))
        else:
            public.update(declarations(header))
    return public, internal


def undefined_names(tools, objects) -> set[str]:
    proc = run([*tools["nm"], "-u", *map(str, objects)])
    if proc.returncode != 0:
        raise StageError(f"nm failed:\n{proc.stderr}")
    defined = run([*tools["nm"], "--defined-only", *map(str, objects)]).stdout.split()
    names = {f[1] for f in (line.split() for line in proc.stdout.splitlines()) if len(f) == 2 and f[0] == "U"}
    return names - set(defined)


def python_names(undefined: set[str]) -> set[str]:
    """The names taken from python312.dll: calls and data go through the import
    pointers (__imp_X), an address taken in a static initialiser through X."""
    names = {n.removeprefix("__imp_") for n in undefined}
    return {n for n in names if PYTHON_NAME.match(n)}


def check_public(needed: set[str], public: dict, internal: dict[str, str]) -> None:
    bad = []
    for name in sorted(needed - public.keys()):
        if name in internal:
            bad.append(f"  {name}: declared only in {internal[name]}, CPython's internal API")
        else:
            bad.append(f"  {name}: no public 3.12 header declares it PyAPI_FUNC or PyAPI_DATA")
    if bad:
        raise StageError(f"the module uses names {PYTHON_DLL} does not export to extension modules:\n" + "\n".join(bad))


def pe_tables(tools, module: Path) -> tuple[list[str], list[str]]:
    """(exported names, imported DLLs) of a PE file."""
    proc = run([*tools["objdump"], "-p", str(module)])
    if proc.returncode != 0:
        raise StageError(f"objdump failed:\n{proc.stderr}")
    exports, dlls, in_names = [], [], False
    for line in proc.stdout.splitlines():
        if line.startswith("[Ordinal/Name Pointer] Table"):
            in_names = True
            continue
        if in_names:
            entry = re.match(r"\s+\[\s*\d+\]\s+(\S+)", line)
            if entry:
                exports.append(entry.group(1))
                continue
            in_names = False
        dll = re.match(r"\s+DLL Name:\s+(\S+)", line)
        if dll:
            dlls.append(dll.group(1))
    return exports, dlls


def check_module_file(tools, module: Path) -> list[str]:
    exports, dlls = pe_tables(tools, module)
    problems = []
    if exports != [INIT]:
        problems.append(f"exports {exports or 'nothing'}; it must export {INIT} and nothing else")
    linked = {f"{library}.dll" for library in LIBRARIES}
    for dll in dlls:
        if FOREIGN_RUNTIME.match(dll):
            problems.append(f"imports {dll}: a C or C++ runtime beside the interpreter's Universal CRT (the "
                            "C++ runtime must be linked statically)")
        elif dll.lower() != PYTHON_DLL and not SYSTEM_DLL.match(dll) and dll.lower() not in linked:
            problems.append(f"imports {dll}: only {PYTHON_DLL}, KERNEL32.dll, the Universal CRT "
                            f"(api-ms-win-crt-*.dll) and the DLLs of {', '.join(sorted(linked))} may be needed")
    if PYTHON_DLL not in (d.lower() for d in dlls):
        problems.append(f"does not import {PYTHON_DLL}")
    if problems:
        raise StageError(f"{MODULE_FILE}: " + "\n".join(problems))
    return dlls


def _record_hash(data: bytes) -> str:
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def pack_wheel(module: Path, out: Path) -> Path:
    """The wheel pip would make: the module and its stub, top level."""
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    name, version = project["name"], project["version"]
    info = f"{name}-{version}.dist-info"
    metadata = (f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\nSummary: {project['description']}\n"
                f"Requires-Python: {project['requires-python']}\n")
    wheel_info = f"Wheel-Version: 1.0\nGenerator: tools/windows/build.py\nRoot-Is-Purelib: false\nTag: {WHEEL_TAG}\n"
    files = {INSTALLED_NAME: module.read_bytes(), "updater.pyi": (ROOT / "updater.pyi").read_bytes(),
             f"{info}/METADATA": metadata.encode(), f"{info}/WHEEL": wheel_info.encode()}
    record = "".join(f"{path},{_record_hash(data)},{len(data)}\n" for path, data in files.items())
    files[f"{info}/RECORD"] = (record + f"{info}/RECORD,,\n").encode()
    wheel = out / f"{name}-{version}-{WHEEL_TAG}.whl"
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
        for path, data in files.items():
            archive.writestr(zipfile.ZipInfo(path, date_time=(1980, 1, 1, 0, 0, 0)), data,
                             compress_type=zipfile.ZIP_DEFLATED)
    return wheel


def link(tools, inputs: list[Path], module: Path) -> None:
    """Links the objects and import libraries `inputs`, with LIBRARIES, into the DLL `module`."""
    argv = [*tools["c++"], *LDFLAGS, f"-Wl,--out-implib,{inputs[0].with_name('implib.lib')}", "-o", str(module),
            *map(str, inputs), *(f"-l{library}" for library in LIBRARIES)]
    proc = run(argv, env=zig_environment())
    if proc.returncode != 0:
        raise StageError(f"linking {module.name} failed:\n{proc.stderr.rstrip()}")


def resource_defines(version: str, name: str, codepage: int = 1200) -> list[str]:
    """The resource compiler's options that give launcher.rc `version`
    ("2.0.0.0"), the OriginalFilename `name` and the translation's `codepage`."""
    fields = zip(("MAJOR", "MINOR", "PATCH", "BUILD"), version.split("."), strict=True)
    return [*(f for field, n in fields for f in ("/d", f"VERSION_{field}={n}")), "/d", f"ORIGINAL_FILENAME={name}",
            "/d", f"TRANSLATION_CODEPAGE={codepage}"]


def build_launchers(tools, out: Path) -> None:
    """The builds of LAUNCHERS into `out`: launcher.c compiled once, linked
    with each build's version resource."""
    def step(argv: list[str], what: str) -> None:
        proc = run(argv, env=zig_environment())
        if proc.returncode != 0:
            output = (proc.stdout + proc.stderr).rstrip()
            raise StageError(f"the launcher stand-in does not build ({what}):\n{output}")

    program = out / "objects" / "launcher.o"
    step([*tools["cc"], "-std=c11", "-O2", "-Wall", "-Wextra", "-Werror", "-municode", "-c", str(LAUNCHER_SOURCE),
          "-o", str(program)], shown(LAUNCHER_SOURCE))
    for name, resource in LAUNCHERS.items():
        inputs = [program]
        if resource:
            inputs.append(program.with_name(f"{Path(name).stem}-resource.o"))
            step([*tools["rc"], "/:output-format", "coff", "/:target", "x86_64", *resource_defines(*resource),
                  "/fo", str(inputs[-1]), "--", str(LAUNCHER_RESOURCE)], f"the version resource of {name}")
        step([*tools["cc"], "-municode", "-s", *map(str, inputs), "-o", str(out / name)], name)
    # absent.dll stays among the objects, where no loader looks for it.
    dll = out / "objects" / "absent.dll"
    step([*tools["cc"], "-std=c11", "-Wall", "-Wextra", "-Werror", "-shared", "-DABSENT_DLL_ITSELF",
          f"-Wl,--out-implib,{dll.with_suffix('.lib')}", str(ABSENT_DLL_SOURCE), "-o", str(dll)], "absent.dll")
    step([*tools["cc"], "-std=c11", "-Wall", "-Wextra", "-Werror", "-municode", "-s", str(ABSENT_DLL_SOURCE),
          str(dll.with_suffix(".lib")), "-o", str(out / ABSENT_DLL_LAUNCHER)], ABSENT_DLL_LAUNCHER)


def build(python: WindowsPython, out: Path, url: str | None = None) -> Path:
    """Builds and checks the module, its wheel and the launcher stand-in into
    `out`; returns the wheel."""
    started = time.monotonic()
    tools = find_tools()
    url = update_url(url)
    sources = sorted((ROOT / "src").rglob("*.cpp"))
    if not sources:
        raise StageError("no source file under src/")
    shutil.rmtree(out / "objects", ignore_errors=True)
    (out / "objects").mkdir(parents=True)
    objects = compile_all(tools, sources, python.include, url, out / "objects")
    check_headers(objects, python.include)
    needed = python_names(undefined_names(tools, objects.values()))
    public, internal = header_declarations(python.include)
    check_public(needed, public, internal)
    module = out / MODULE_FILE
    link(tools, [*objects.values(), python.import_library], module)
    dlls = check_module_file(tools, module)
    for old in out.glob("*.whl"):
        old.unlink()
    wheel = pack_wheel(module, out)
    build_launchers(tools, out)
    log(f"{len(sources)} sources built for 64-bit Windows against {python.include}; {len(needed)} names from "
        f"{PYTHON_DLL}, all public; {MODULE_FILE} exports {INIT} only and imports "
        f"{', '.join(dlls)}; {wheel.name} ({time.monotonic() - started:.1f} s)")
    return wheel


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="build.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("--update-url", help="the address to compile in (default: CMakeLists.txt's)")
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "windows")
    parser.add_argument("--resource-builds", action="store_true",
                        help="print the launcher builds with a version resource and their rc options")
    options = parser.parse_args(argv)
    if options.resource_builds:
        for name, resource in LAUNCHERS.items():
            if resource:
                print(name, *resource_defines(*resource))
        return 0
    python = WindowsPython()
    try:
        python.ensure_distribution()
        build(python, options.out, options.update_url)
    except StageError as failure:
        print(f"windows: FAILED: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
