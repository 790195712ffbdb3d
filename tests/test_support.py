"""Checks of the test helpers themselves: a broken fixture would make every
download or swap test meaningless, so each fault mode is exercised here with
the standard library client alone (no dependency on the built module)."""

import socket
import ssl
import time
import urllib.error
import urllib.request

import pytest

from update_server import DEFAULT_PATH, default_body
from support.winos import WindowsOS, patched_shutil, shutil_for, windows_error_text

BODY = default_body(100_000)


def _context(server):
    return ssl.create_default_context(cafile=server.ca_pem_path)


def _download(server, path=None, headers=None):
    """GET like the updater does (64 KiB reads until an empty block)."""
    req = urllib.request.Request(server.url(path), headers=headers or {})
    with urllib.request.urlopen(req, context=_context(server), timeout=10) as resp:
        chunks = []
        while chunk := resp.read(65536):
            chunks.append(chunk)
        return resp.status, resp.headers.get("Content-Length"), b"".join(chunks), resp.url


@pytest.mark.parametrize(
    "mode, length_header, received",
    [
        ("normal", "100000", BODY),
        ("no_length", None, BODY),
        ("zero_length", "0", b""),
        ("bad_length", "abc", BODY),
        ("negative_length", "-5", BODY),
        ("redirect", "100000", BODY),
        ("cut_short", "100000", BODY[:50_000]),
        ("reset", "100000", BODY[:50_000]),
        ("slow", "100000", BODY),
    ],
)
def test_body_modes_deliver_what_they_announce(https_server, mode, length_header, received):
    https_server.configure(body=BODY, mode=mode, delay=0.01)
    status, announced, data, final_url = _download(https_server)
    assert (status, announced) == (200, length_header)
    assert data == received
    expected_paths = [DEFAULT_PATH, DEFAULT_PATH + ".redirected"] if mode == "redirect" else [DEFAULT_PATH]
    assert [r.path for r in https_server.requests] == expected_paths
    assert final_url == https_server.url(expected_paths[-1])
    assert https_server.errors == []


@pytest.mark.parametrize("mode, status", [("not_found", 404), ("server_error", 500)])
def test_error_modes_give_http_errors(https_server, mode, status):
    https_server.configure(mode=mode)
    with pytest.raises(urllib.error.HTTPError) as info:
        _download(https_server)
    assert info.value.code == status


def test_unknown_path_is_404_and_unknown_mode_is_refused(https_server):
    with pytest.raises(urllib.error.HTTPError) as info:
        _download(https_server, path="/elsewhere")
    assert info.value.code == 404
    with pytest.raises(ValueError, match="unknown mode"):
        https_server.configure(mode="sleepy")


def test_request_log_records_method_path_and_headers(https_server):
    _download(https_server, headers={"Cache-Control": "no-cache"})
    (request,) = https_server.requests
    assert (request.method, request.path) == ("GET", DEFAULT_PATH)
    assert request.header_values("cache-control") == ["no-cache"]
    assert request.header("Host") == f"127.0.0.1:{https_server.port}"


def test_reset_restores_default_route_and_clears_log(https_server):
    https_server.configure(mode="not_found")
    https_server.configure("/other", body=b"x")
    with pytest.raises(urllib.error.HTTPError):
        _download(https_server)
    https_server.reset()
    assert https_server.requests == []
    assert https_server.route_for("/other") is None
    assert _download(https_server)[2] == default_body()


@pytest.mark.parametrize("mode, ends_cleanly", [("cut_short", True), ("reset", False)])
def test_short_bodies_end_with_close_notify_or_reset(https_server, mode, ends_cleanly):
    # Read the raw TLS stream without urllib, with ragged EOFs reported, to tell
    # an orderly TLS close from a reset connection.
    https_server.configure(body=BODY, mode=mode, cut_at=30_000)
    raw = socket.create_connection(("127.0.0.1", https_server.port), timeout=10)
    with _context(https_server).wrap_socket(raw, server_hostname="127.0.0.1", suppress_ragged_eofs=False) as tls:
        tls.sendall(f"GET {DEFAULT_PATH} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
        data, clean = b"", None
        try:
            while chunk := tls.recv(65536):
                data += chunk
            clean = True
        except OSError:
            clean = False
    head, _, body = data.partition(b"\r\n\r\n")
    assert b"Content-Length: 100000" in head
    assert body == BODY[:30_000]
    assert clean is ends_cleanly


def test_slow_mode_spaces_its_blocks(https_server):
    https_server.configure(body=BODY, mode="slow", block_size=25_000, delay=0.1)
    started = time.monotonic()
    assert _download(https_server)[2] == BODY
    assert time.monotonic() - started >= 0.3  # three pauses between four blocks


def test_untrusted_server_is_refused_but_otherwise_works(https_server, untrusted_https_server):
    with pytest.raises(urllib.error.URLError, match="CERTIFICATE_VERIFY_FAILED"):
        urllib.request.urlopen(untrusted_https_server.url(), context=_context(https_server), timeout=10)
    # With its own CA it serves normally, so the refusal above is about trust.
    assert _download(untrusted_https_server)[2] == default_body()


def test_scenario_trusts_server_through_environment(https_server, trusted_env, run_scenario, tmp_path):
    result = run_scenario(
        """
        import os, sys, urllib.request
        with urllib.request.urlopen(os.environ["TEST_UPDATE_URL"], timeout=10) as resp:
            data = resp.read()
        print("plain line")
        print("to stderr", file=sys.stderr)
        emit({"size": len(data), "cwd": os.getcwd(), "gone": "REMOVED_VAR" in os.environ})
        sys.exit(3)
        """,
        env={**trusted_env, "REMOVED_VAR": None},
        cwd=tmp_path,
    )
    assert result.returncode == 3, result
    assert result.result == {"size": 100_000, "cwd": str(tmp_path), "gone": False}
    assert result.stdout == "plain line\n"
    assert result.stderr == "to stderr\n"


def test_scenario_without_trust_is_refused(https_server, run_scenario):
    result = run_scenario(
        f"""
        import urllib.request, urllib.error
        try:
            urllib.request.urlopen({https_server.url()!r}, timeout=10)
        except urllib.error.URLError as e:
            emit(str(e.reason))
        """
    )
    assert "CERTIFICATE_VERIFY_FAILED" in result.result


# -- the Windows `os` stand-in ---------------------------------------------------


@pytest.fixture
def files(tmp_path):
    (tmp_path / "a").write_text("A")
    (tmp_path / "b").write_text("B")
    return tmp_path


@pytest.mark.parametrize(
    "operation, running, error, message, after",
    [
        ("rename", None, FileExistsError, f"[WinError 183] {windows_error_text(183)}", {"a": "A", "b": "B"}),
        ("replace", None, None, None, {"b": "A"}),
        ("replace", "b", PermissionError, f"[WinError 5] {windows_error_text(5)}", {"a": "A", "b": "B"}),
        ("remove", None, None, None, {"b": "B"}),
        ("remove", "a", PermissionError, f"[WinError 5] {windows_error_text(5)}", {"a": "A", "b": "B"}),
    ],
)
def test_windows_os_semantics(files, operation, running, error, message, after):
    winos = WindowsOS(running=[files / running] if running else [])
    args = [str(files / "a"), str(files / "b")] if operation != "remove" else [str(files / "a")]
    if error is None:
        getattr(winos, operation)(*args)
    else:
        with pytest.raises(error) as info:
            getattr(winos, operation)(*args)
        assert str(info.value).startswith(message)
    assert {p.name: p.read_text() for p in files.iterdir()} == after
    assert winos.calls == [(operation, *args)]


def test_running_mark_follows_a_rename(files):
    winos = WindowsOS(running=[files / "a"])
    winos.rename(files / "a", files / "c")
    assert winos.is_running(files / "c") and not winos.is_running(files / "a")
    with pytest.raises(PermissionError):
        winos.remove(files / "c")
    assert winos.path is __import__("os").path and winos.getcwd() == __import__("os").getcwd()


def test_shutil_copies_use_the_standin(files):
    import shutil

    winos = WindowsOS(running=[files / "a"])
    private = shutil_for(winos)
    assert private.os is winos and shutil.os is not winos
    private.move(str(files / "a"), str(files / "c"))  # goes through winos.rename
    assert winos.calls == [("rename", str(files / "a"), str(files / "c"))]
    assert winos.is_running(files / "c")
    with patched_shutil(winos) as patched:
        assert patched is shutil and shutil.os is winos
    assert shutil.os is not winos
