"""Publisher continuity on Windows: a signed launcher is only ever replaced by
a launcher that the same publisher signed.  Whole console updates with real
wintrust and crypt32, launchers signed by tools/windows/signing.py (stage.py
build makes them on Linux with openssl and osslsigncode)."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

from support.launcher import Install, program
from support.winos import UNDER_WINE
from test_console import BANNER, READY, SCENARIO

pytestmark = pytest.mark.skipif(os.name != "nt", reason="Authenticode is Windows': the POSIX build has no check")

SIGNED = Path(__file__).resolve().parents[1] / "build" / "windows" / "signed"
BRIVEX = '"CN=Brivex Launcher, O=Brivex Ltd, C=GB"'
REFUSED = ", and the installed launcher is signed by " + BRIVEX + ": only a launcher signed by the same publisher may replace it"


def launcher(name: str | None, text: str) -> bytes:
    """The signed stand-in `<text>-<name>.exe`, or unsigned for None; both
    write `text` to started.txt in the working directory when started."""
    if name is None:
        return program(text, Path("started.txt"))
    path = SIGNED / f"{text}-{name}.exe"
    if not path.is_file():
        pytest.fail(f"{path} is missing: tools/windows/stage.py build signs the tests' launchers "
                    "(tools/windows/signing.py, with openssl and osslsigncode)", pytrace=False)
    return path.read_bytes()


def changed_after_signing() -> bytes:
    body = launcher("brivex", "new")
    return body.replace(b"\tnew\n", b"\tneW\n")


# id: (installed launcher's signer, download (signer or bytes), refusal: what was wrong)
ROWS = {
    "same-publisher": ("brivex", "brivex", None),
    "renewed-key-other-issuer": ("brivex", "renewed", None),
    "unsigned-to-signed": (None, "brivex", None),
    "unsigned-to-unsigned": (None, None, None),
    "other-publisher": ("brivex", "other", 'the download is signed by "CN=Acme Games Launcher, O=Acme Games Inc, C=US"'),
    "same-name-other-organisation": ("brivex", "impostor",
                                     'the download is signed by "CN=Brivex Launcher, O=Impostor Ltd, C=GB"'),
    "unsigned-download": ("brivex", None, "the download is not signed"),
    "changed-after-signing": ("brivex", changed_after_signing,
                              "the download's signature is not valid (WinVerifyTrust error 0x80096010)"),
    "untrusted-root": pytest.param(
        "brivex", "stranger", "the download's signature is not valid (WinVerifyTrust error 0x800B0109)",
        marks=pytest.mark.skipif(UNDER_WINE, reason="Wine's WinVerifyTrust does not check that a chain ends at a "
                                                    "trusted root (the Windows workflow runs this row)")),
}


@pytest.mark.parametrize("installed, download, wrong", ROWS.values(), ids=ROWS.keys())
def test_only_the_same_publisher_replaces_a_signed_launcher(https_server, trusted_env, run_scenario, tmp_path,
                                                              installed, download, wrong):
    install = Install(tmp_path)
    old_body = launcher(installed, "old")
    new_body = download() if callable(download) else launcher(download, "new")
    install.launcher.write_bytes(old_body)
    https_server.configure(body=new_body)
    outcome = run_scenario(SCENARIO.format(install=str(install.dir)), env=trusted_env, timeout=60)
    lines = outcome.stdout.splitlines()
    assert lines[0] == BANNER and outcome.stderr == "", str(outcome)
    if wrong is None:
        assert (outcome.returncode, lines[-1]) == (0, READY), str(outcome)
        assert install.started() == "new\n"
        assert install.launcher.read_bytes() == new_body
    else:
        assert (outcome.returncode, lines[-1]) == (1, "Error: Failed to replace and run: " + wrong + REFUSED), \
            str(outcome)
        assert install.started(wait=0.3) is None
        assert install.launcher.read_bytes() == old_body
    assert install.listing() == ["BrivexLauncher.exe"]  # a refused download is deleted too
