"""The download with its progress reports, against the local HTTPS server and
against recording stand-ins, under a scripted clock."""

import errno
import gc
import os
import sys
import urllib.error
import urllib.request
import warnings

import pytest

from support.frame_helpers import entries
from update_server import DEFAULT_PATH, default_body
from support.standins import STANDIN_URL, RecordingOs, Response, ScriptedClock, Urllib, install_frozen

BODY = default_body(100_000)
FAIL = (-1, 0, False, 0)
PREVIOUS = b"left over from an earlier run"


class Reports(list):
    """A progress callback that records its reports.

    `raising` maps a progress report's index, or "failure" for the failure
    report, to the error raised on receiving it.  `errors` holds the error
    being handled when each failure report came.
    """

    def __init__(self, raising=None):
        super().__init__()
        self.raising = raising or {}
        self.errors = []

    def __call__(self, *args, **kwargs):
        assert kwargs == {} and len(args) == 4
        self.append(args)
        if args[0] == -1:
            self.errors.append(sys.exception())
        error = self.raising.get("failure" if args[0] == -1 else len(self) - 1)
        if error is not None:
            raise error


def typed(reports):
    """Reports with the type of every value, so 0, 0.0 and False differ."""
    return [tuple((type(v).__name__, v) for v in report) for report in reports]


def open_fds_on(path):
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == str(path):
                found.append(fd)
        except OSError:
            pass
    return found


@pytest.fixture
def updater(updater_module, monkeypatch, tmp_path):
    install_frozen(updater_module, monkeypatch, tmp_path / "app dir")
    return updater_module


@pytest.fixture
def target(updater, tmp_path):
    path = tmp_path / "app dir" / "BrivexLauncher_new.exe"
    path.write_bytes(PREVIOUS)
    return path


@pytest.fixture
def trust(monkeypatch, https_server):
    # urlopen builds a fresh default TLS context per connection, which reads
    # SSL_CERT_FILE then, so setting it in-process is enough.
    monkeypatch.setenv("SSL_CERT_FILE", https_server.ca_pem_path)
    monkeypatch.setenv("NO_PROXY", "127.0.0.1,localhost")
    monkeypatch.setenv("no_proxy", "127.0.0.1,localhost")


@pytest.fixture
def server(https_server, trust, updater, monkeypatch):
    monkeypatch.setattr(updater, "UPDATE_URL", https_server.url())
    return https_server


@pytest.fixture
def clock(updater, monkeypatch):
    def script(*values):
        standin = ScriptedClock(*values)
        monkeypatch.setattr(updater, "time", standin)
        return standin

    return script


@pytest.fixture
def fake_net(updater, monkeypatch):
    """Bind a recording `urllib` stand-in serving `response`."""

    def bind(response):
        standin = Urllib(response)
        monkeypatch.setattr(updater, "urllib", standin)
        monkeypatch.setattr(updater, "UPDATE_URL", "https://updates.invalid/brivex/BrivexLauncher.exe")
        return standin

    return bind


# -- every edge case against the real server -------------------------------------------

A, B = 65536 / 100_000 * 100, 70_000 / 100_000 * 100  # true division first, then * 100
STEADY = (10.0, 10.0, 10.5)  # start, first report (clock not moved), second report

CASES = {
    # id: (mode, body, route options, clock, reports, succeeds, file afterwards)
    "announced": ("normal", BODY, {}, STEADY,
                  [(A, 0, True, 65536), (100.0, 195.3125, True, 100_000)], True, BODY),
    "redirect": ("redirect", BODY, {}, STEADY,
                 [(A, 0, True, 65536), (100.0, 195.3125, True, 100_000)], True, BODY),
    "clock-backwards": ("normal", BODY, {}, (10.0, 9.5, 10.5),
                        [(A, 0, True, 65536), (100.0, 195.3125, True, 100_000)], True, BODY),
    "no-length": ("no_length", BODY, {}, (10.0, 10.25, 10.5),
                  [(0, 256.0, False, 65536), (0, 195.3125, False, 100_000)], True, BODY),
    "negative-length": ("negative_length", BODY, {}, (10.0, 10.25, 10.5),
                        [(0, 256.0, False, 65536), (0, 195.3125, False, 100_000)], True, BODY),
    "zero-length-empty": ("zero_length", b"", {}, (10.0,), [], True, b""),
    "no-length-empty": ("no_length", b"", {}, (10.0,), [], True, b""),
    "bad-length": ("bad_length", BODY, {}, (), [FAIL], False, PREVIOUS),
    "404": ("not_found", BODY, {}, (), [FAIL], False, PREVIOUS),
    "500": ("server_error", BODY, {}, (), [FAIL], False, PREVIOUS),
    "cut-short": ("cut_short", BODY, {"cut_at": 70_000}, STEADY,
                  [(A, 0, True, 65536), (B, 70_000 / 1024 / 0.5, True, 70_000), FAIL], False, BODY[:70_000]),
    "connection-reset": ("reset", BODY, {"cut_at": 70_000}, STEADY,
                         [(A, 0, True, 65536), (B, 70_000 / 1024 / 0.5, True, 70_000), FAIL], False, BODY[:70_000]),
}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_download_edge_cases(updater, server, clock, target, case):
    mode, body, options, ticks, expected, succeeds, after = case
    server.configure(body=body, mode=mode, **options)
    scripted = clock(*ticks)
    reports = Reports()

    result = updater.download_new_exe_with_progress(reports)

    assert typed(reports) == typed(expected)
    assert result == (str(target) if succeeds else None)
    assert target.read_bytes() == after
    assert (scripted.calls, scripted.unused) == (len(ticks), 0)  # one start, one read per report
    paths = [DEFAULT_PATH, DEFAULT_PATH + ".redirected"] if mode == "redirect" else [DEFAULT_PATH]
    assert [(r.method, r.path, r.header_values("Cache-Control")) for r in server.requests] == [
        ("GET", p, ["no-cache"]) for p in paths
    ]


def test_untrusted_certificate_is_a_failure(updater, trust, untrusted_https_server, clock, target, monkeypatch):
    monkeypatch.setattr(updater, "UPDATE_URL", untrusted_https_server.url())
    scripted = clock()
    reports = Reports()
    assert updater.download_new_exe_with_progress(progress_callback=reports) is None
    assert typed(reports) == typed([FAIL])
    assert target.read_bytes() == PREVIOUS and scripted.calls == 0
    assert untrusted_https_server.requests == []  # refused during the handshake


@pytest.mark.parametrize("route", ["plain-http-address", "redirect-to-plain-http"])
def test_launcher_never_arrives_over_plain_http(updater, server, plain_http_server, clock, target, monkeypatch, route):
    plain_http_server.configure(body=BODY)
    if route == "plain-http-address":
        monkeypatch.setattr(updater, "UPDATE_URL", plain_http_server.url())
    else:
        server.configure(mode="redirect", redirect_to=plain_http_server.url())
    scripted = clock()
    reports = Reports()

    assert updater.download_new_exe_with_progress(reports) is None

    assert typed(reports) == typed([FAIL])
    (error,) = reports.errors
    assert type(error) is urllib.error.URLError
    assert error.reason == f"refusing to download the launcher over plain HTTP: {plain_http_server.url()}"
    assert entries(error) == [("updater.download_new_exe_with_progress", 49)]
    assert target.read_bytes() == PREVIOUS and scripted.calls == 0  # nothing written, no clock started
    assert [r.path for r in plain_http_server.requests] == [DEFAULT_PATH]


def test_no_cache_is_the_only_added_header(updater, server, target):
    with urllib.request.urlopen(server.url(), timeout=10) as resp:
        resp.read()
    updater.download_new_exe_with_progress(Reports())
    plain, ours = server.requests
    assert ours.method == "GET" and ours.path == DEFAULT_PATH
    assert [v for k, v in ours.headers if k.lower() == "cache-control"] == ["no-cache"]
    assert sorted(k.lower() for k in ours.header_names) == sorted(
        [k.lower() for k in plain.header_names] + ["cache-control"]
    )


# -- the request and the reads, through a recording urllib ---------------------------------


def test_request_timeout_reads_and_globals_at_use(updater, fake_net, clock, tmp_path, monkeypatch):
    response = Response([b"abc"], length="3")
    net = fake_net(response)
    clock(1.0, 1.0)
    monkeypatch.setattr(updater, "TEMP_EXE_NAME", "next launcher.exe")

    result = updater.download_new_exe_with_progress(Reports())

    assert result == str(tmp_path / "app dir" / "next launcher.exe")
    ((args, kwargs),) = net.calls
    assert kwargs == {"timeout": 60} and len(args) == 1
    (req,) = args
    assert isinstance(req, urllib.request.Request)
    assert req.full_url == "https://updates.invalid/brivex/BrivexLauncher.exe"
    assert req.get_method() == "GET" and req.data is None
    assert req.header_items() == [("Cache-control", "no-cache")]
    assert response.reads == [65536, 65536]  # never more than one block asked for
    assert response.exit_args == (None, None, None)


@pytest.mark.parametrize(
    "length, blocks, expected, succeeds",
    [
        # fewer bytes per read than asked for, sizes as announced
        (" 15 ", [b"a" * 10, b"b" * 5], [(10 / 15 * 100, 0, True, 10), (100.0, 15 / 1024 / 0.5, True, 15)], True),
        # more than announced: neither clamped nor a failure
        ("5", [b"a" * 6, b"b" * 4], [(120.0, 0, True, 6), (200.0, 10 / 1024 / 0.5, True, 10)], True),
        # announced 0 but a body came anyway: unknown size
        ("0", [b"a" * 6], [(0, 0, False, 6)], True),
        # the short body: progress reports, then the failure report
        ("100", [b"a" * 60], [(60.0, 0, True, 60), FAIL], False),
        ("100", [b"a" * 60, ConnectionResetError(104, "reset")], [(60.0, 0, True, 60), FAIL], False),
    ],
    ids=["blanks", "overshoot", "zero-with-body", "short", "broken"],
)
def test_reported_values(updater, fake_net, clock, target, length, blocks, expected, succeeds):
    response = Response(blocks, length=length)
    fake_net(response)
    clock(3.0, 3.0, 3.5)
    reports = Reports()
    result = updater.download_new_exe_with_progress(reports)
    assert typed(reports) == typed(expected)
    assert result == (str(target) if succeeds else None)
    assert target.read_bytes() == b"".join(b for b in blocks if isinstance(b, bytes))


# Before anything is written, the response must tell where it came from, that
# must be an https address, and it must be a context manager by its type: the
# interpreter looks special methods up on the type, never on the instance.


class Bare:
    """A response without the context-manager methods on its type."""

    url = STANDIN_URL
    headers = {"Content-Length": "3"}

    def read(self, amount):
        return b""


class EnterOnly(Bare):
    def __enter__(self):
        return self


def coming_from(url):
    return lambda: Response([b"abc"], length="3", url=url)


def refused(reason):
    return "<urlopen error refusing to download the launcher" + reason + ">"


ACCEPTANCE = {
    "https": (coming_from(STANDIN_URL), None),
    "https-upper-case": (coming_from("HTTPS://updates.invalid/BrivexLauncher.exe"), None),
    "http": (coming_from("http://updates.invalid/BrivexLauncher.exe"),
             (urllib.error.URLError, refused(" over plain HTTP: http://updates.invalid/BrivexLauncher.exe"))),
    "file": (coming_from("file:///tmp/BrivexLauncher.exe"),
             (urllib.error.URLError, refused(" from an address that is not HTTPS: file:///tmp/BrivexLauncher.exe"))),
    "untold": (coming_from(None), (urllib.error.URLError, refused(": the response does not tell where it came from"))),
    "no-with-methods-on-the-type": (Bare, (TypeError, "'Bare' object does not support the context manager protocol")),
    "no-exit-on-the-type": (EnterOnly, (
        TypeError, "'EnterOnly' object does not support the context manager protocol (missed __exit__ method)")),
}


def not_called(*args):
    raise AssertionError("an instance attribute was used as a special method")


@pytest.mark.parametrize("make, error", ACCEPTANCE.values(), ids=ACCEPTANCE.keys())
def test_response_accepted_or_refused_before_anything_is_written(updater, fake_net, clock, target, make, error):
    response = make()
    response.__enter__ = response.__exit__ = not_called
    fake_net(response)
    clock(1.0, 1.0)
    reports = Reports()
    result = updater.download_new_exe_with_progress(reports)
    if error is None:
        assert result == str(target) and target.read_bytes() == b"abc"
        assert response.exit_args == (None, None, None)
        return
    assert result is None and typed(reports) == typed([FAIL])
    assert [(type(e), str(e)) for e in reports.errors] == [error]
    assert target.read_bytes() == PREVIOUS and getattr(response, "reads", []) == []
    if isinstance(response, Response):  # refused inside its with: the response was closed
        assert response.exit_args[0] is error[0]


# -- callbacks that raise ------------------------------------------------------------------


class ReportRefused(Exception):
    pass


def test_callback_raising_on_progress_is_a_failure(updater, fake_net, clock, target):
    response = Response([b"a" * 10, b"b" * 10], length="20")
    fake_net(response)
    clock(1.0, 1.0)
    reports = Reports({0: ReportRefused("no")})
    assert updater.download_new_exe_with_progress(reports) is None
    assert typed(reports) == typed([(50.0, 0, True, 10), FAIL])
    assert response.reads == [65536] and target.read_bytes() == b"a" * 10


@pytest.mark.parametrize(
    "setup, cause, line",
    [
        ("not_found", urllib.error.HTTPError, 49),
        ("bad_length", ValueError, 50),
        ("no_target_dir", FileNotFoundError, 54),
        ("callback", ReportRefused, 70),
        ("cut_short", urllib.error.ContentTooShortError, 71),
        ("sync_refused", OSError, 54),
    ],
)
def test_callback_raising_on_failure_report_propagates(updater, server, clock, target, monkeypatch, setup, cause, line):
    clock(1.0, 1.0, 1.5)
    reports = Reports({"failure": ReportRefused("failure report refused")})
    if setup == "callback":
        reports.raising[0] = ReportRefused("progress report refused")
        server.configure(body=BODY)
    elif setup == "no_target_dir":
        monkeypatch.setattr(updater, "TEMP_EXE_NAME", os.path.join("no such dir", "new.exe"))
    elif setup == "sync_refused":
        monkeypatch.setattr(updater, "os", RecordingOs(errors={"fsync": OSError(errno.EIO, "Input/output error")}))
        server.configure(body=BODY)
    else:
        server.configure(body=BODY, mode=setup, cut_at=70_000)

    with pytest.raises(ReportRefused, match="failure report refused") as info:
        updater.download_new_exe_with_progress(reports)

    assert reports[-1] == FAIL
    assert entries(info.value) == [("updater.download_new_exe_with_progress", 74)]
    context = info.value.__context__
    assert type(context) is cause and info.value.__cause__ is None
    assert entries(context)[0] == ("updater.download_new_exe_with_progress", line)
    if setup == "callback":
        assert str(context) == "progress report refused"
    if setup == "not_found":
        assert context.code == 404
        context.close()  # the error holds the unread 404 response
    if setup == "cut_short":
        assert str(context) == "<urlopen error retrieval incomplete: got only 70000 out of 100000 bytes>"
        assert target.read_bytes() == BODY[:70_000]
    if setup == "sync_refused":  # written whole, and left as any failed download leaves its file
        assert target.read_bytes() == BODY


# -- closing on every path -----------------------------------------------------------------


def _watch_order(target, events, disk):
    """On leaving the response, note what the file holds on disk (small blocks
    stay in the file's buffer until it is flushed or closed) and which of the
    descriptors `disk`, a RecordingOs, saw are still open."""
    return lambda: events.append(("response closed with file", target.read_bytes(), disk.open_descriptors()))


@pytest.mark.parametrize("length, succeeds", [("20", True), ("30", False)], ids=["complete", "short"])
def test_file_synced_and_closed_before_response_and_both_before_failure_report(updater, fake_net, clock, target,
                                                                               monkeypatch, length, succeeds):
    events = []
    monkeypatch.setattr(updater, "os", disk := RecordingOs(events=events))
    response = Response([b"a" * 10, b"b" * 10], length=length, events=events,
                        on_exit=_watch_order(target, events, disk))
    fake_net(response)
    clock(1.0, 1.0, 1.0)

    def callback(*report):
        events.append(report)

    result = updater.download_new_exe_with_progress(callback)
    assert result == (str(target) if succeeds else None)
    tail = [] if succeeds else [FAIL]
    assert events == [
        "enter",
        (50.0 if succeeds else 10 / 30 * 100, 0, True, 10),
        (100.0 if succeeds else 20 / 30 * 100, 0, True, 20),
        ("fsync", 20),  # once, after the last block: all of it written and flushed
        "response closed",
        ("response closed with file", b"a" * 10 + b"b" * 10, []),
        *tail,
    ]


@pytest.mark.posix_only(reason="finds open files through /proc/self/fd")
@pytest.mark.parametrize("make_error", [KeyboardInterrupt, lambda: SystemExit(3)], ids=["interrupt", "exit"])
@pytest.mark.parametrize("source, line", [("callback", 70), ("read", 56)])
def test_interrupt_passes_through_and_closes_everything(updater, fake_net, clock, target, monkeypatch, make_error,
                                                        source, line):
    error = make_error()
    events = []
    blocks = [b"a" * 10, b"b" * 10, b"c" * 10]
    if source == "read":
        blocks[1] = error
    monkeypatch.setattr(updater, "os", disk := RecordingOs(events=events))
    response = Response(blocks, length="30", events=events, on_exit=_watch_order(target, events, disk))
    fake_net(response)
    clock(1.0, 1.0, 1.0)
    reports = Reports({1: error} if source == "callback" else {})
    gc.collect()  # what earlier tests left for the collector warns before, not below

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(type(error)) as info:
            updater.download_new_exe_with_progress(reports)
        gc.collect()

    assert info.value is error
    assert FAIL not in reports
    assert len(reports) == (2 if source == "callback" else 1)
    assert response.exit_args[0] is type(error)
    on_disk = b"a" * 10 + (b"b" * 10 if source == "callback" else b"")
    # closed unsynced: what the buffer held reached the file only with the close
    assert events[-2:] == ["response closed", ("response closed with file", on_disk, [])]
    assert [e for e in events if e[0] == "fsync"] == []
    assert open_fds_on(target) == []
    assert [w for w in caught if issubclass(w.category, ResourceWarning) and str(target) in str(w.message)] == []
    assert entries(info.value) == [("updater.download_new_exe_with_progress", line)]
