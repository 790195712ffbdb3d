"""Fixtures shared by the whole suite.

* ``https_server``          the session's HTTPS server (tools/update_server.py), reset before each test
* ``untrusted_https_server`` a server whose certificate no client trusts
* ``plain_http_server``     the same server without TLS, reset before each test
* ``trusted_env``           environment additions that make a child trust ``https_server``
* ``run_scenario``          run Python source in a fresh interpreter and collect the outcome
* ``updater_module``        the built ``updater`` module, imported once
"""

from __future__ import annotations

import json
import os
import shlex
import signal
import subprocess
import sys
import sysconfig
import textwrap
from dataclasses import dataclass, field
from pathlib import Path

import pytest

from update_server import HttpsServer, untrusted_server
from support.scenario import RESULT_MARKER
from support.winos import RunningPrograms

TESTS_DIR = Path(__file__).resolve().parent

# Every test gets a bound unless it sets its own @pytest.mark.timeout.
DEFAULT_TEST_TIMEOUT = 120


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "gui: needs an X display (Xvfb) and Tk; fails on POSIX without DISPLAY")
    config.addinivalue_line(
        "markers",
        "posix_only(reason): needs a POSIX system (shell-script launchers, X11, /proc, permission bits, "
        "POSIX path spelling); skipped elsewhere with the reason",
    )


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    for item in items:
        if item.get_closest_marker("timeout") is None:
            item.add_marker(pytest.mark.timeout(DEFAULT_TEST_TIMEOUT))
        posix_only = item.get_closest_marker("posix_only")
        if posix_only is not None and os.name != "posix":
            item.add_marker(pytest.mark.skip(reason=f"needs POSIX: {posix_only.kwargs['reason']}"))


def pytest_runtest_setup(item: pytest.Item) -> None:
    # A window test without a display fails, saying so: it does not skip.
    if item.get_closest_marker("gui") is not None and os.name == "posix" and not os.environ.get("DISPLAY"):
        pytest.fail("needs an X display and DISPLAY is not set: run it through tools/test.sh, "
                    "which starts Xvfb when there is no display, or under xvfb-run -a", pytrace=False)


# -- HTTPS server -------------------------------------------------------------


@pytest.fixture(scope="session")
def _session_servers():
    servers = {"https": HttpsServer(), "http": HttpsServer(tls=False)}
    yield servers
    for server in servers.values():
        server.close()


def _reset_around(server: HttpsServer):
    server.reset()
    yield server
    server.reset()


@pytest.fixture
def https_server(_session_servers) -> HttpsServer:
    """The HTTPS test server with only its default route and an empty request log."""
    yield from _reset_around(_session_servers["https"])


@pytest.fixture
def plain_http_server(_session_servers) -> HttpsServer:
    """The same server over plain HTTP, the transport the update refuses."""
    yield from _reset_around(_session_servers["http"])


@pytest.fixture
def untrusted_https_server():
    with untrusted_server() as server:
        yield server


@pytest.fixture
def trusted_env(https_server: HttpsServer) -> dict[str, str]:
    """Environment additions for a child process that should trust `https_server`.

    ``TEST_UPDATE_URL`` is the server's launcher URL, for scenario scripts that
    rebind the module's update address.
    """
    return {
        "SSL_CERT_FILE": https_server.ca_pem_path,
        "NO_PROXY": "127.0.0.1,localhost",
        "no_proxy": "127.0.0.1,localhost",
        "TEST_UPDATE_URL": https_server.url(),
    }


# -- scenarios in a fresh interpreter -------------------------------------------


@dataclass
class ScenarioResult:
    returncode: int
    stdout: str  # the child's standard output without the result lines
    stderr: str
    results: list = field(default_factory=list)  # every value passed to emit(), in order
    raw_stdout: str = ""

    @property
    def result(self):
        """The last value the script emitted; fails the test when there was none."""
        if not self.results:
            raise AssertionError(f"the scenario emitted no result\n{self}")
        return self.results[-1]

    def __str__(self) -> str:
        return (
            f"exit status: {self.returncode}\n"
            f"--- stdout ---\n{self.raw_stdout}"
            f"--- stderr ---\n{self.stderr}"
        )


def _parse_stdout(raw: str) -> tuple[str, list]:
    plain, results = [], []
    for line in raw.splitlines(keepends=True):
        before, marker, payload = line.partition(RESULT_MARKER)
        if marker:
            plain.append(before)
            results.append(json.loads(payload))
        else:
            plain.append(line)
    return "".join(plain), results


def _text(output: bytes) -> str:
    """A child's output as text, its line ends as "\n" (Windows writes "\r\n")."""
    return output.decode(errors="replace").replace("\r\n", "\n")


class RunningScenario:
    """A scenario started in the background; `wait` collects its result."""

    def __init__(self, proc: subprocess.Popen, script: Path, stdin: bytes | None):
        self.proc = proc
        self.script = script
        self._stdin = stdin

    @property
    def pid(self) -> int:
        return self.proc.pid

    def poll(self):
        return self.proc.poll()

    def kill(self) -> None:
        """Kill the child and everything it started (its own process group; the child alone on Windows)."""
        if os.name != "posix":
            self.proc.kill()
            return
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass  # the whole group has already gone

    def wait(self, timeout: float = 60) -> ScenarioResult:
        try:
            out, err = self.proc.communicate(self._stdin, timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            out, err = self.proc.communicate()
            raw = out.decode(errors="replace")
            pytest.fail(
                f"scenario {self.script.name} did not finish within {timeout} s\n"
                f"--- stdout ---\n{raw}--- stderr ---\n{err.decode(errors='replace')}"
            )
        raw = _text(out)
        plain, results = _parse_stdout(raw)
        return ScenarioResult(
            returncode=self.proc.returncode,
            stdout=plain,
            stderr=_text(err),
            results=results,
            raw_stdout=raw,
        )


class ScenarioRunner:
    """Runs Python source in a fresh interpreter (this venv's python).

    The source is dedented and written to a script file; ``emit`` from
    ``support.scenario`` is already imported in it.  ``env`` adds to (or, with a
    value of None, removes from) this process's environment; ``tests/`` is on the
    child's PYTHONPATH so it can import ``support.*``.  ``cwd`` defaults to the
    test's temporary directory.
    """

    PRELUDE = "from support.scenario import emit  # added by run_scenario\n"

    def __init__(self, tmp_path: Path):
        self.tmp_path = tmp_path
        self._count = 0
        self._started: list[RunningScenario] = []

    def __call__(self, source: str, *, env=None, cwd=None, timeout: float = 60, args=(), stdin=None) -> ScenarioResult:
        return self.start(source, env=env, cwd=cwd, args=args, stdin=stdin).wait(timeout)

    def start(self, source: str, *, env=None, cwd=None, args=(), stdin=None) -> RunningScenario:
        self._count += 1
        script = self.tmp_path / f"scenario_{self._count}.py"
        script.write_text(self.PRELUDE + textwrap.dedent(source))

        child_env = dict(os.environ)
        child_env["PYTHONPATH"] = os.pathsep.join(
            p for p in (str(TESTS_DIR), os.environ.get("PYTHONPATH", "")) if p
        )
        child_env["PYTHONUNBUFFERED"] = "1"
        child_env["PYTHONDONTWRITEBYTECODE"] = "1"
        for key, value in (env or {}).items():
            if value is None:
                child_env.pop(key, None)
            else:
                child_env[key] = str(value)

        proc = subprocess.Popen(
            [sys.executable, str(script), *map(str, args)],
            cwd=str(cwd if cwd is not None else self.tmp_path),
            env=child_env,
            stdin=subprocess.PIPE if stdin is not None else subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            start_new_session=True,  # its own process group, so kill() reaches grandchildren
        )
        running = RunningScenario(proc, script, None if stdin is None else stdin.encode())
        self._started.append(running)
        return running

    def cleanup(self) -> None:
        for running in self._started:
            running.kill()  # also reaches processes the scenario left behind
            if running.proc.returncode is None:
                running.proc.communicate()


@pytest.fixture
def running_programs():
    """Windows only: `RunningPrograms`, stopped at the end of the test."""
    programs = RunningPrograms()
    yield programs
    programs.stop()


@pytest.fixture
def run_scenario(tmp_path: Path):
    """``run_scenario(source, env=None, cwd=None, timeout=60, args=(), stdin=None)``

    Returns a `ScenarioResult` (returncode, stdout, stderr, results, result).
    ``run_scenario.start(...)`` returns a `RunningScenario` to drive while it runs
    (``pid``, ``poll()``, ``kill()``, ``wait(timeout)``).  Children still running
    at the end of the test are killed.
    """
    runner = ScenarioRunner(tmp_path)
    yield runner
    runner.cleanup()


# -- an embedding application ----------------------------------------------------


@pytest.fixture(scope="session")
def embed_host(tmp_path_factory):
    """``embed_host(*programs)``: the finished run of support/embed_host.cpp
    (built with this interpreter's compiler and flags) on the programs."""
    config = sysconfig.get_config_var
    if not config("CXX") or not config("LIBDIR"):
        pytest.skip("no C++ compiler for an embedding application (sysconfig names none)")
    host = tmp_path_factory.mktemp("embed") / "embed_host"
    build = [*shlex.split(config("CXX")), "-std=c++20", f"-I{sysconfig.get_paths()['include']}",
             str(Path(__file__).parent / "support" / "embed_host.cpp"), "-o", str(host),
             f"-L{config('LIBDIR')}", f"-Wl,-rpath,{config('LIBDIR')}", f"-lpython{config('LDVERSION')}",
             *shlex.split(config("LIBS") or ""), *shlex.split(config("SYSLIBS") or ""),
             *shlex.split(config("LINKFORSHARED") or "")]
    done = subprocess.run(build, capture_output=True, text=True)
    assert done.returncode == 0, f"{shlex.join(build)}\n{done.stderr}"
    import updater
    path = os.pathsep.join([os.path.dirname(updater.__file__), str(Path(__file__).parent)])
    env = {**os.environ, "PYTHONHOME": sys.base_prefix, "PYTHONPATH": path}

    def run(*programs: str) -> subprocess.CompletedProcess:
        return subprocess.run([str(host), *map(textwrap.dedent, programs)], capture_output=True, text=True,
                              env=env, timeout=60)

    return run


# -- the module under test ------------------------------------------------------


@pytest.fixture(scope="session")
def updater_module():
    try:
        import updater
    except ImportError as exc:
        pytest.fail(
            f"the built module 'updater' cannot be imported ({exc}); "
            f"build and install it into this interpreter ({sys.executable}) "
            "with 'pip install .' or run tools/test.sh",
            pytrace=False,
        )
    return updater
