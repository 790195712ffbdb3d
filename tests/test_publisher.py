"""Publisher continuity on Windows: a signed launcher is only ever replaced by
a launcher that the same publisher signed, the same program at the same or a
newer version.  Whole console updates with real wintrust, crypt32 and
version.dll, launchers signed by tools/windows/signing.py (stage.py build
makes them on Linux with openssl and osslsigncode)."""

from __future__ import annotations

import os
import re
import threading
from types import SimpleNamespace
from pathlib import Path
from typing import NamedTuple

import pytest

from support.frame_helpers import entries
from support.launcher import Install, signed_program
from support.standins import Subprocess, install_frozen
from support.winos import UNDER_WINE
from test_console import BANNER, READY, SCENARIO

pytestmark = pytest.mark.skipif(os.name != "nt", reason="Authenticode is Windows': the POSIX build has no check")

BRIVEX = '"CN=Brivex Launcher, O=Brivex Ltd, C=GB"'
REFUSED = (", and the installed launcher is signed by " + BRIVEX
           + ": only a launcher signed by the same publisher may replace it")
OTHER = 'the download is signed by "CN=Acme Games Launcher, O=Acme Games Inc, C=US"'

def changed_after_signing(text: str) -> bytes:
    """The stand-in signed by the publisher, one letter changed since."""
    body = signed_program("brivex", text)
    return body.replace(f"\t{text}\n".encode(), f"\t{text.upper()}\n".encode())


def beyond_wine(wrong: str) -> str | re.Pattern:
    """What the check says of a download whose chain or signature Wine's
    WinVerifyTrust lets through; on Windows that call may refuse it first, with its own code."""
    if UNDER_WINE:
        return wrong
    return re.compile(f"(?:{re.escape(wrong)}|the download's signature is not valid \\(WinVerifyTrust error "
                      f"0x[0-9A-F]{{8}}\\)){re.escape(REFUSED)}")


def whole(reason: str) -> re.Pattern:
    """A refusal's whole reason, as when the publisher is the same."""
    return re.compile(re.escape(reason))


class Backup(str):
    """A signer whose launcher is only there as the backup, BrivexLauncher.exe.old."""


class Then(NamedTuple):
    """Two whole updates in a row: `first` served with the outcome `wrong`,
    then `second` with the row's."""
    first: str
    wrong: str | re.Pattern | None
    second: str


# A clock for downloads of up to 32 MiB (one read a block of 64 KiB).
CLOCK = " ".join(str(100.0 + n) for n in range(520))
UNPROVABLE = "the download's signature would prove no publisher once installed ({})"
GMBH = '"CN=Brivex Software GmbH, O=Brivex Software GmbH, C=DE"'


# id: (installed launcher, download: each a signer, None (unsigned) or a maker of the
# bytes; for a refusal, what was wrong with the download, or a pattern of the whole reason).
# old-* are version 1.0.0.0, new-* 2.0.0.0 (tools/windows/signing.py).
ROWS = {
    "same-publisher": ("brivex", "brivex", None),
    "same-version": (lambda _: signed_program("brivex", "new"), "brivex", None),
    "older-version": (lambda _: signed_program("brivex", "new"), lambda _: signed_program("brivex", "old"),
                      whole("the download is version 1.0.0.0 and the installed launcher 2.0.0.0: an older "
                            "launcher never replaces a newer one")),
    "other-program": ("brivex", "brivex-uninstaller",
                      whole('the download is "uninstall.exe", not "BrivexLauncher.exe"')),
    "download-without-version": ("brivex", "brivex-unversioned", whole(
        "the download has no file version and the installed launcher is version 1.0.0.0: only a launcher of the "
        "same or a newer version may replace it")),
    "installed-without-version": ("brivex-unversioned", "brivex-unversioned", None),
    "renewed-key-other-issuer": ("brivex", "renewed", None),
    "unsigned-to-signed": (None, "brivex", None),
    "unsigned-to-unsigned": (None, None, None),
    "other-publisher": ("brivex", "other", OTHER),
    "same-name-other-organisation": ("brivex", "impostor",
                                     'the download is signed by "CN=Brivex Launcher, O=Impostor Ltd, C=GB"'),
    "unsigned-download": ("brivex", None, "the download is not signed"),
    "changed-after-signing": ("brivex", changed_after_signing,
                              "the download's signature is not valid (WinVerifyTrust error 0x80096010)"),
    # The country counts where the installed launcher's certificate has one.
    "other-country": ("brivex", "abroad", 'the download is signed by "CN=Brivex Launcher, O=Brivex Ltd, C=US"'),
    "installed-without-country": ("nocountry", "brivex", None),
    # An installed signature that no longer verifies still names the publisher.
    "installed-changed-after-signing": (changed_after_signing, "other", OTHER),
    "untrusted-root": pytest.param(
        "brivex", "stranger", "the download's signature is not valid (WinVerifyTrust error 0x800B0109)",
        marks=pytest.mark.skipif(UNDER_WINE, reason="Wine's WinVerifyTrust does not check that a chain ends at a "
                                                    "trusted root (the Windows workflow runs this row)")),
    # A hostile server's downloads, each with the publisher's name somewhere.
    "forged-issuer-signature": ("brivex", "forged", beyond_wine(
        "the download's certificate chain does not hold (chain error status 0x00000008)")),
    "usage-not-code-signing": ("brivex", "serverauth",
                               beyond_wine("the download's certificate is not for code signing")),
    "script-signature-on-a-program": ("brivex", "script", beyond_wine(
        "the download's signature was made for another kind of file")),
    "two-organisations-publisher-first": ("brivex", "twoorgs", 'the download\'s signer "CN=Brivex Launcher, '
                                          'O=Brivex Ltd, O=Acme Games Inc, C=GB" names more than one organisation'),
    "organisation-only-in-alternative-names": ("brivex", "altname",
                                               'the download is signed by "CN=Brivex Launcher, C=GB"'),
    "publisher-signed-dll": ("brivex", "dll", "the download is a DLL, not a program"),
    "line-break-in-name": ("brivex", "linebreak",
                           'the download is signed by "CN=Brivex\\nLauncher, O=Brivex Ltd, C=GB"'),
    "signed-backup-without-launcher": (Backup("brivex"), "other", OTHER),
    "installed-names-no-publisher": ("twoorgs", "brivex", whole(
        'the installed launcher carries a signature but no proven publisher (its signer "CN=Brivex Launcher, '
        'O=Brivex Ltd, O=Acme Games Inc, C=GB" names more than one organisation): no download may replace it')),
    # What the download proves is what it will prove once installed.
    "vendor-key-under-another-name-then-genuine": ("brivex", Then("bagkey", beyond_wine(UNPROVABLE.format(
        "certificates that name different publishers verify its signature")), "brivex"), None),
    "padded-certificate-table": ("brivex", "padded", beyond_wine(UNPROVABLE.format("its signature cannot be read"))),
    "indefinite-length-signature": ("brivex", "indefinite",
                                    beyond_wine(UNPROVABLE.format("its signature cannot be read"))),
    # A bag certificate the signer information does not name proves nothing; names compare as values.
    "colliding-names-then-misissued": ("gmbh", Then("colliding", None, "misissued"), whole(
        'the download is signed by "CN=Brivex Software GmbH, O=Brivex Software GmbH\\, C\\=DE", and the '
        f"installed launcher is signed by {GMBH}: only a launcher signed by the same publisher may replace it")),
    "unpaired-surrogate": ("brivex", "surrogate",
                           'the download is signed by "CN=Brivex Launcher, O=Brivex Ltd \\uD800, C=GB"'),
    "decomposed-renewal": ("loesungen", "loesungen-nfd", None),
    # The strings in 040904B0, the translation naming code page 1252.
    "installed-translation-elsewhere": ("brivex-cp1252", "brivex-uninstaller",
                                        whole('the download is "uninstall.exe", not "BrivexLauncher.exe"')),
    "download-translation-elsewhere": ("brivex", "brivex-cp1252", None),
    "unpaired-surrogate-in-program-name": ("brivex", "brivex-unpaired", whole(
        'the download is "BrivexLauncher\\uD800exe", not "BrivexLauncher.exe"')),
    "revocation-list-unreachable": pytest.param(
        "brivex", "unreachablecrl", None,
        marks=pytest.mark.skipif(UNDER_WINE, reason="Wine's WinVerifyTrust lets an unknown revocation status through "
                                                    "as any other: the row would show nothing (the Windows workflow "
                                                    "runs it)")),
}


@pytest.mark.parametrize("installed, download, wrong", ROWS.values(), ids=ROWS.keys())
def test_only_the_same_publisher_replaces_a_signed_launcher(https_server, trusted_env, run_scenario, tmp_path,
                                                              installed, download, wrong):
    install = Install(tmp_path)
    old_body = installed("old") if callable(installed) else signed_program(installed, "old")
    place = install.backup if isinstance(installed, Backup) else install.launcher
    install.launcher.unlink()
    place.write_bytes(old_body)
    steps = [download[:2], (download.second, wrong)] if isinstance(download, Then) else [(download, wrong)]
    for served, refused in steps:
        new_body = served("new") if callable(served) else signed_program(served, "new")
        https_server.configure(body=new_body)
        install.marker.unlink(missing_ok=True)
        outcome = run_scenario(SCENARIO.format(install=str(install.dir)), env={**trusted_env, "TEST_CLOCK": CLOCK},
                               timeout=60)
        lines = outcome.stdout.splitlines()
        assert lines[0] == BANNER and outcome.stderr == "", str(outcome)
        if refused is None:
            assert (outcome.returncode, lines[-1]) == (0, READY), str(outcome)
            assert install.started() == "new\n"
            assert install.launcher.read_bytes() == new_body
            old_body, place = new_body, install.launcher
        else:
            reason = refused if isinstance(refused, re.Pattern) else re.compile(re.escape(refused + REFUSED))
            assert outcome.returncode == 1 and re.fullmatch("Error: Failed to replace and run: " + reason.pattern,
                                                            lines[-1]), str(outcome)
            assert install.started(wait=0.3) is None
            assert place.read_bytes() == old_body
        assert install.listing() == [place.name]  # a refused download is deleted too


# id: (the download's bytes, or None for none; the error the swap fails with; its line;
# the file a scanner holds open for writing at first, if any)
IN_PROCESS = {
    # the check raises nothing of its own for a path it cannot open: the move fails, as without it
    "download-missing": (None, FileNotFoundError, 86, None),
    "unsigned-download": (lambda: signed_program(None, "new"), RuntimeError, 84, None),
    # a held file is waited for, never taken for an unsigned launcher or an unreadable download
    "launcher-held": (lambda: signed_program(None, "new"), RuntimeError, 84, "BrivexLauncher.exe"),
    "download-held": (lambda: signed_program(None, "new"), RuntimeError, 84, "BrivexLauncher_new.exe"),
}


@pytest.mark.parametrize("download, error, line, held", IN_PROCESS.values(), ids=IN_PROCESS.keys())
def test_what_the_swap_fails_with_over_a_signed_launcher(updater_module, monkeypatch, tmp_path, download, error,
                                                         line, held):
    app = Path(install_frozen(updater_module, monkeypatch, tmp_path / "app"))
    old_body = signed_program("brivex", "old")
    (app / "BrivexLauncher.exe").write_bytes(old_body)
    if download:
        (app / "BrivexLauncher_new.exe").write_bytes(download())
    popen = Subprocess()
    monkeypatch.setattr(updater_module, "subprocess", popen)
    if held:
        holder = open(app / held, "ab")
        threading.Timer(0.3, holder.close).start()
    with pytest.raises(RuntimeError) as info:
        updater_module.replace_and_run(str(app / "BrivexLauncher_new.exe"))
    cause = info.value.__context__
    assert (type(cause), entries(cause)[0]) == (error, ("updater.replace_and_run", line))
    assert [p.name for p in app.iterdir()] == ["BrivexLauncher.exe"] and popen.calls == []
    assert (app / "BrivexLauncher.exe").read_bytes() == old_body


def test_a_second_writer_cannot_change_the_checked_download(updater_module, monkeypatch, tmp_path):
    """From the check until the move, the download is open for reading and deleting only."""
    import _winapi
    app = Path(install_frozen(updater_module, monkeypatch, tmp_path / "app"))
    (app / "BrivexLauncher.exe").write_bytes(signed_program("brivex", "old"))
    new_body = signed_program("brivex", "new")
    (app / "BrivexLauncher_new.exe").write_bytes(new_body)
    refused = []

    def replace(source, target):  # a second updater writes its download just before the move
        try:  # Windows' own error, which the C runtime's open() would turn into an errno
            _winapi.CloseHandle(_winapi.CreateFile(source, _winapi.GENERIC_WRITE, 7, 0, _winapi.OPEN_EXISTING, 0, 0))
        except OSError as error:
            refused.append(error.winerror)
        return os.replace(source, target)

    monkeypatch.setattr(updater_module, "os", SimpleNamespace(**{**vars(os), "replace": replace}))
    monkeypatch.setattr(updater_module, "subprocess", Subprocess())
    updater_module.replace_and_run(str(app / "BrivexLauncher_new.exe"))
    assert refused == [32]
    assert (app / "BrivexLauncher.exe").read_bytes() == new_body
    open(app / "BrivexLauncher.exe", "r+b").close()  # let go once in place
