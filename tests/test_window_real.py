"""The update window with the real toolkit on the test display: whole updates
against the local HTTPS server, each in its own interpreter, with a real
launcher program, real dialogs and a real close request, driven through X11
on POSIX and through Win32 on Windows (`support.desktop`)."""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

from support import desktop
from support.launcher import SWAP_ERROR, SWAP_FAILS, Install, signed_program
from test_publisher import OTHER, REFUSED

pytestmark = pytest.mark.gui

ARTIFACTS = Path(__file__).resolve().parent / "artifacts"
TITLE = "Downloading Update..."
READY = "Update ready! Restarting..."


@pytest.fixture(scope="module", autouse=True)
def display():
    probe = subprocess.run([sys.executable, "-c", "import tkinter; tkinter.Tk().destroy()"],
                           capture_output=True, text=True, timeout=30)
    if probe.returncode != 0:
        pytest.fail(f"cannot open a Tk window on DISPLAY={os.environ.get('DISPLAY')}: {probe.stderr.strip()}")
    missing = [tool for tool in desktop.TOOLS if shutil.which(tool) is None]
    assert not missing, f"tools needed by the window tests are missing: {missing}"


# The child samples the window from the GUI thread every 20 ms: each sample
# is (monotonic time, title text, bar value, status text); the newest one is
# also written to STATE for the test to poll.  Dialogs are recorded with the
# window's state when they open, then shown for real.
PRELUDE = """
    import json, os, sys, time, tkinter, tkinter.messagebox
    sys.frozen = True
    sys.executable = os.path.join({install!r}, "updater.exe")
    import updater
    updater.UPDATE_URL = os.environ["TEST_UPDATE_URL"]
    STATE = {state!r}
    READY_INTERVAL = int(os.environ.get("TEST_READY_INTERVAL", "500"))
    samples, dialogs = [], []

    def sample(root):
        (card,) = root.winfo_children()
        title, bar, status = card.winfo_children()
        return [time.monotonic(), title.cget("text"), float(bar.cget("value")), status.cget("text")]

    class ProbeTk(tkinter.Tk):
        def __init__(self):
            super().__init__()
            ProbeTk.instance = self
            self.after(20, self.tick)

        def after(self, ms, *args):
            # The completion request's 500 ms, stretched when a test needs
            # time to act in the interval before the swap.
            return super().after(READY_INTERVAL if ms == 500 else ms, *args)

        def tick(self):
            samples.append(sample(self))
            with open(STATE + ".tmp", "w") as f:
                json.dump({{"sample": samples[-1], "count": len(samples)}}, f)
            try:
                os.replace(STATE + ".tmp", STATE)
            except PermissionError:  # Windows: the test has the last one open; the next tick writes again
                pass
            self.after(20, self.tick)

    tkinter.Tk = ProbeTk
    real_showerror = tkinter.messagebox.showerror

    def showerror(*args, **kwargs):
        dialogs.append([args, kwargs, sample(ProbeTk.instance)])
        return real_showerror(*args, **kwargs)

    tkinter.messagebox.showerror = showerror

    def window_listed():
        from support import desktop
        return desktop.visible_window("Brivex Updater") is not None

    try:
        updater.UpdaterGUI()
    except SystemExit as exc:
        emit({{"exit": exc.code, "samples": samples, "dialogs": dialogs}})
        raise
    emit({{"returned": True, "samples": samples, "dialogs": dialogs, "window_listed": window_listed()}})
"""


def artifact(name: str) -> Path:
    """Where a screenshot is kept for people to look at, one per system."""
    ARTIFACTS.mkdir(exist_ok=True)
    return ARTIFACTS / f"{name}.{sys.platform}.png"


def start(run_scenario, install, env, tmp_path):
    state = tmp_path / "state.json"
    source = PRELUDE.format(install=str(install.dir), state=str(state))
    return run_scenario.start(source, env=env), state


def statuses(samples):
    seen = []
    for _, _, _, text in samples:
        if not seen or seen[-1] != text:
            seen.append(text)
    return seen


def test_successful_update(https_server, trusted_env, run_scenario, tmp_path):
    install = Install(tmp_path, body_size=5 * 65536)
    https_server.configure(body=install.new_body, mode="slow", block_size=65536, delay=0.1)
    running, _ = start(run_scenario, install, trusted_env, tmp_path)
    outcome = running.wait(30)
    assert (outcome.returncode, outcome.stderr) == (0, ""), str(outcome)
    result = outcome.result
    assert result["returned"] and result["dialogs"] == [] and not result["window_listed"]
    seen = statuses(result["samples"])
    if seen[0] == "Connecting...":  # unless the first block came before the first sample
        seen.pop(0)
    assert seen.pop() == READY
    assert len(seen) >= 2 and all(re.fullmatch(r"(20|40|60|80|100)\.0% • \d+\.\d KB/s", s) for s in seen), seen
    ready = [s for s in result["samples"] if s[3] == READY]
    assert ready[-1][0] - ready[0][0] >= 0.4  # the ready text stands for about 500 ms
    assert {s[1] for s in result["samples"]} == {TITLE} and ready[0][2] == 100.0
    assert install.started() == "new\n"
    assert install.launcher.read_bytes() == install.new_body
    assert install.listing() == ["BrivexLauncher.exe"]


FAILED = ("Update Failed", "Could not download update.", [TITLE, 0.0, "Download failed!"])
PLAIN = "the plain-HTTP server"
# id: (route, install setting, (dialog title, message, the window when the dialog opened))
FAILURES = {
    "download-fails": ({"mode": "not_found"}, {}, FAILED),
    "redirect-to-plain-http": ({"mode": "redirect", "redirect_to": PLAIN}, {}, FAILED),
    "swap-fails": ({"mode": "normal"}, SWAP_FAILS,
                   ("Update Error", "Failed to replace and run: " + SWAP_ERROR, [TITLE, 100.0, READY])),
    "publisher-refused": pytest.param(
        {"mode": "normal"}, {"signed": ("brivex", "other")},
        ("Update Error", "Failed to replace and run: " + OTHER + REFUSED, [TITLE, 100.0, READY]),
        marks=pytest.mark.skipif(os.name != "nt", reason="Authenticode is Windows': the POSIX build has no check")),
}


@pytest.mark.parametrize("route, setting, dialog", FAILURES.values(), ids=FAILURES.keys())
def test_failure_shows_dialog_and_exits_1(https_server, plain_http_server, trusted_env, run_scenario, tmp_path,
                                          running_programs, request, route, setting, dialog):
    install = Install(tmp_path, launcher_mode=setting.get("launcher_mode", 0o755))
    if setting.get("running_backup"):
        install.keep_backup_running(running_programs)
    if setting.get("signed"):  # (the installed launcher's signer, the download's)
        install.old_body, install.new_body = (signed_program(signer, text) for signer, text in
                                              zip(setting["signed"], ["old", "new"]))
        install.launcher.write_bytes(install.old_body)
    plain_http_server.configure(body=install.new_body)
    https_server.configure(body=install.new_body, **{
        key: plain_http_server.url() if value == PLAIN else value for key, value in route.items()})
    running, _ = start(run_scenario, install, trusted_env, tmp_path)
    title, message, shown = dialog
    window = desktop.find_window(title, alive=lambda: running.poll() is None)
    assert running.poll() is None
    time.sleep(0.3)  # let the dialog draw itself
    desktop.screenshot(window, artifact(f"dialog-{request.node.callspec.id}"))
    desktop.dismiss(window, running)
    outcome = running.wait(15)
    assert (outcome.returncode, outcome.stderr) == (1, ""), str(outcome)
    result = outcome.result
    assert result["exit"] == 1
    ((args, kwargs, at_dialog),) = result["dialogs"]
    message = message.format(launcher=str(install.launcher), backup=str(install.backup))
    assert (args, kwargs, at_dialog[1:]) == ([title, message], {}, shown)
    # A new launcher that failed to start gave its place back to the old one.
    assert install.launcher.read_bytes() == install.old_body
    assert install.started(wait=0.3) is None
    if setting.get("running_backup"):  # refused before anything moved
        assert install.listing() == ["BrivexLauncher.exe", "BrivexLauncher.exe.old", "BrivexLauncher_new.exe"]
        assert install.new_file.read_bytes() == install.new_body
    else:
        assert install.listing() == ["BrivexLauncher.exe"]


def wait_for(state: Path, predicate, running, timeout=15):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        assert running.poll() is None, "the update ended early"
        try:
            current = json.loads(state.read_text())
        except (FileNotFoundError, PermissionError, json.JSONDecodeError):  # not there yet, or being replaced
            current = None
        if current and predicate(current["sample"]):
            return current["sample"]
        time.sleep(0.02)
    raise AssertionError(f"the window did not reach the expected state within {timeout} s")


def test_closing_during_a_slow_download(https_server, trusted_env, run_scenario, tmp_path):
    install = Install(tmp_path, body_size=16 * 65536)
    https_server.configure(body=install.new_body, mode="slow", block_size=65536, delay=0.25)
    running, state = start(run_scenario, install, trusted_env, tmp_path)
    window = desktop.find_window("Brivex Updater", alive=lambda: running.poll() is None)

    before = wait_for(state, lambda s: s[2] >= 18, running)
    time.sleep(0.1)  # let the window redraw
    shot = desktop.screenshot(window, artifact("update-window-mid-download"))
    after = wait_for(state, lambda s: True, running)
    geometry = desktop.geometry(window)
    resizable = desktop.resizable(window)

    desktop.send_close_request(window)
    outcome = running.wait(15)
    assert (outcome.returncode, outcome.stderr) == (0, ""), str(outcome)
    result = outcome.result
    assert result["exit"] == 0 and result["dialogs"] == []

    # The download was still running when the close request was answered,
    # and the GUI thread kept ticking all along.
    last = result["samples"][-1]
    assert 0 < last[2] < 100 and last[3].endswith(" KB/s")
    times = [s[0] for s in result["samples"]]
    assert len(times) >= 20
    assert max(b - a for a, b in zip(times, times[1:])) < 0.5
    assert 0 < install.new_file.stat().st_size < len(install.new_body)
    assert install.launcher.read_bytes() == install.old_body
    assert install.started(wait=0.3) is None

    # Centred, fixed size, and drawn as designed.
    width, height = desktop.display_size()
    assert (geometry["x"], geometry["y"], geometry["width"], geometry["height"]) == (
        (width - 400) // 2, (height - 200) // 2, 400, 200)
    assert not resizable
    check_screenshot(shot, before[2], after[2])


def test_closing_in_the_ready_interval(https_server, trusted_env, run_scenario, tmp_path):
    install = Install(tmp_path)
    https_server.configure(body=install.new_body)
    env = {**trusted_env, "TEST_READY_INTERVAL": "15000"}
    running, state = start(run_scenario, install, env, tmp_path)
    window = desktop.find_window("Brivex Updater", alive=lambda: running.poll() is None)
    wait_for(state, lambda s: s[3] == READY, running)
    closed = time.monotonic()
    desktop.send_close_request(window)
    outcome = running.wait(15)
    assert time.monotonic() - closed < 10, "the close waited for the swap"
    assert (outcome.returncode, outcome.stderr) == (0, ""), str(outcome)
    assert outcome.result["exit"] == 0 and outcome.result["dialogs"] == []
    # Nothing swapped or started; the finished download stays for the next run.
    assert install.launcher.read_bytes() == install.old_body
    assert install.new_file.read_bytes() == install.new_body
    assert install.listing() == ["BrivexLauncher.exe", "BrivexLauncher_new.exe"]
    assert install.started(wait=0.3) is None


def check_screenshot(shot, low, high):
    assert (shot.width, shot.height) == (400, 200)
    for corner in [(0, 0), (399, 0), (0, 199), (399, 199), (10, 100), (390, 100), (200, 10), (200, 190)]:
        assert shot[corner] == "#121212", corner
    assert shot[20, 100] == shot[379, 100] == "#333333"  # the card's outline
    assert shot[30, 30] == shot[370, 170] == "#1e1e1e"
    green_rows = [y for y in range(shot.height) if "#4caf50" in shot.row(y)]
    assert green_rows, "no green bar"
    row = shot.row(green_rows[len(green_rows) // 2])
    frame = [x for x in range(21, 379) if row[x] != "#1e1e1e"]  # the bar, border included
    assert frame[-1] - frame[0] + 1 == 300
    inside = row[frame[0] + 1 : frame[-1]]
    green = [x for x, p in enumerate(inside) if p == "#4caf50"]
    assert green == list(range(green[0], green[-1] + 1)), "the filled part is not one stretch"
    assert set(inside[green[-1] + 3 :]) == {"#121212"}, "the rest of the trough is not empty"
    fraction = (len(inside) - inside.count("#121212")) / len(inside)
    assert low / 100 - 0.05 <= fraction <= high / 100 + 0.05, (fraction, low, high)
    below_bar = shot.region(40, green_rows[-1] + 5, 360, 180)
    light = [p for p in below_bar if all(0x90 <= int(p[i : i + 2], 16) for i in (1, 3, 5))]
    assert len(light) > 20, "no status text"
    above_bar = shot.region(40, 25, 360, green_rows[0] - 5)
    assert above_bar.count("#ffffff") > 20, "no title text"
