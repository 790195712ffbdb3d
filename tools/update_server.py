"""The local update server: a real HTTPS server on 127.0.0.1 with injectable faults.

One server for the tests on Linux and on Windows (tests/conftest.py's
fixtures), the demonstration (tools/demo.py) and the benchmarks (bench/timing.py).

The server runs in a background thread, one handler thread per connection, and
presents a certificate for 127.0.0.1 and localhost issued by a throwaway CA made
with ``trustme``.  A client trusts it when ``SSL_CERT_FILE`` names ``ca_pem_path``.
With ``tls=False`` the same server speaks plain HTTP, the transport the update
must refuse.

Every request is recorded (method, path, headers) before it is answered, so a
test can read ``server.requests`` as soon as its client has the response.

Each path is served by a route: a body plus a fault mode.  Modes:

``normal``           status 200, ``Content-Length`` = len(body), full body
``no_length``        no ``Content-Length``; ``Connection: close``; the body ends
                     where the connection ends (closed cleanly)
``zero_length``      ``Content-Length: 0`` and an empty body
``bad_length``       ``Content-Length: abc``, then the body and a clean close
``negative_length``  ``Content-Length: -5``, then the body and a clean close
``not_found``        status 404 with a short text body
``server_error``     status 500 with a short text body
``redirect``         302 to ``redirect_to`` (default: ``<path>.redirected``),
                     which is registered to serve the body normally; an
                     absolute ``redirect_to`` (another server) is sent as it is
``cut_short``        announces len(body), sends ``cut_at`` bytes (default half),
                     then closes the connection cleanly (TLS close_notify)
``reset``            announces len(body), sends ``cut_at`` bytes, waits a moment so
                     they reach the client, then resets the connection (RST)
``slow``             announces len(body), sends it in blocks of ``block_size``
                     bytes with ``delay`` seconds between blocks
``stall``            announces len(body), sends ``cut_at`` bytes (default half),
                     then sends nothing more and keeps the connection open
                     until the server is reset or closed

Paths without a route get a 404.  ``reset()`` restores the default route and
clears the log, so one server can serve a whole test session.
"""

from __future__ import annotations

import http.server
import os
import shutil
import socket
import socketserver
import ssl
import struct
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field

import trustme

DEFAULT_PATH = "/brivex/latest/main/BrivexLauncher.exe"

MODES = (
    "normal",
    "no_length",
    "zero_length",
    "bad_length",
    "negative_length",
    "not_found",
    "server_error",
    "redirect",
    "cut_short",
    "reset",
    "slow",
    "stall",
)

# Modes whose response announces len(body) and whose client sees fewer bytes.
SHORT_MODES = ("cut_short", "reset")


def default_body(size: int = 100_000) -> bytes:
    """A recognisable, non-repeating-per-block body of `size` bytes."""
    pattern = bytes(range(251))  # a prime length, so 64 KiB blocks differ
    return (pattern * (size // len(pattern) + 1))[:size]


@dataclass
class Route:
    body: bytes = b""
    mode: str = "normal"
    status: int | None = None  # overrides the mode's status (e.g. 403)
    cut_at: int | None = None  # for cut_short / reset / stall
    redirect_to: str | None = None  # for redirect
    block_size: int = 16384  # for slow
    delay: float = 0.1  # for slow
    extra_headers: list[tuple[str, str]] = field(default_factory=list)

    def __post_init__(self) -> None:
        if self.mode not in MODES:
            raise ValueError(f"unknown mode {self.mode!r}; known: {', '.join(MODES)}")

    @property
    def sent_bytes(self) -> int:
        """How many body bytes a short mode really sends."""
        if self.cut_at is not None:
            return self.cut_at
        return len(self.body) // 2


@dataclass(frozen=True)
class RecordedRequest:
    method: str
    path: str
    version: str
    headers: tuple[tuple[str, str], ...]  # in arrival order, duplicates kept

    def header_values(self, name: str) -> list[str]:
        lname = name.lower()
        return [v for k, v in self.headers if k.lower() == lname]

    def header(self, name: str, default: str | None = None) -> str | None:
        values = self.header_values(name)
        return values[0] if values else default

    @property
    def header_names(self) -> list[str]:
        return [k for k, _ in self.headers]


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: "_TLSServer"

    def setup(self) -> None:
        self.request.settimeout(10)
        if isinstance(self.request, ssl.SSLSocket):
            self.request.do_handshake()  # in this thread, not in the accept loop
        super().setup()

    def log_message(self, format: str, *args) -> None:  # noqa: A002
        pass  # the request log below replaces the stderr access log

    def do_GET(self) -> None:
        self._serve()

    def do_HEAD(self) -> None:
        self._serve()

    def do_POST(self) -> None:
        self._serve()

    def _serve(self) -> None:
        owner = self.server.owner
        owner._record(
            RecordedRequest(
                method=self.command,
                path=self.path,
                version=self.request_version,
                headers=tuple(self.headers.items()),
            )
        )
        route = owner.route_for(self.path)
        if route is None:
            self._simple(404, b"no such path\n")
            return
        getattr(self, "_mode_" + route.mode)(route)

    # -- helpers -----------------------------------------------------------

    def _head(self, status: int, headers: list[tuple[str, str]], route: Route | None) -> None:
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        if route is not None:
            for name, value in route.extra_headers:
                self.send_header(name, value)
        self.end_headers()

    def _simple(self, status: int, body: bytes, route: Route | None = None) -> None:
        self.close_connection = True
        self._head(
            status,
            [
                ("Content-Type", "text/plain"),
                ("Content-Length", str(len(body))),
                ("Connection", "close"),
            ],
            route,
        )
        self.wfile.write(body)
        self._close_cleanly()

    def _announced(self, route: Route, length: str, status: int = 200) -> None:
        self.close_connection = True
        self._head(
            route.status or status,
            [
                ("Content-Type", "application/octet-stream"),
                ("Content-Length", length),
                ("Connection", "close"),
            ],
            route,
        )

    def _close_cleanly(self) -> None:
        """Send TLS close_notify and close: the client sees a proper end of stream."""
        self.wfile.flush()
        sock = self.request
        try:
            sock.settimeout(1)
            if isinstance(sock, ssl.SSLSocket):
                sock.unwrap()
        except (OSError, ValueError):
            pass  # the client may already be gone or may not answer close_notify
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def _reset(self) -> None:
        """Drop the connection with a TCP reset (no close_notify, no FIN)."""
        sock = self.request
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        raw = socket.socket(fileno=sock.detach())  # skip the TLS layer's shutdown
        raw.close()

    # -- modes -------------------------------------------------------------

    def _mode_normal(self, route: Route) -> None:
        self._announced(route, str(len(route.body)))
        if self.command != "HEAD":
            self.wfile.write(route.body)
        self._close_cleanly()

    def _mode_no_length(self, route: Route) -> None:
        self.close_connection = True
        self._head(
            route.status or 200,
            [("Content-Type", "application/octet-stream"), ("Connection", "close")],
            route,
        )
        if self.command != "HEAD":
            self.wfile.write(route.body)
        self._close_cleanly()

    def _mode_zero_length(self, route: Route) -> None:
        self._announced(route, "0")
        self._close_cleanly()

    def _mode_bad_length(self, route: Route) -> None:
        self._announced(route, "abc")
        self.wfile.write(route.body)
        self._close_cleanly()

    def _mode_negative_length(self, route: Route) -> None:
        self._announced(route, "-5")
        self.wfile.write(route.body)
        self._close_cleanly()

    def _mode_not_found(self, route: Route) -> None:
        self._simple(route.status or 404, b"not found\n", route)

    def _mode_server_error(self, route: Route) -> None:
        self._simple(route.status or 500, b"internal error\n", route)

    def _mode_redirect(self, route: Route) -> None:
        target = route.redirect_to or self.path + ".redirected"
        if "://" not in target:
            target = self.server.owner.url(target)
        self.close_connection = True
        self._head(
            route.status or 302,
            [("Location", target), ("Content-Length", "0"), ("Connection", "close")],
            route,
        )
        self._close_cleanly()

    def _mode_cut_short(self, route: Route) -> None:
        self._announced(route, str(len(route.body)))
        self.wfile.write(route.body[: route.sent_bytes])
        self._close_cleanly()

    def _mode_reset(self, route: Route) -> None:
        self._announced(route, str(len(route.body)))
        self.wfile.write(route.body[: route.sent_bytes])
        # With SO_LINGER 0 unsent data is discarded, so let it leave first.
        time.sleep(0.2)
        self._reset()

    def _mode_slow(self, route: Route) -> None:
        self._announced(route, str(len(route.body)))
        stop = self.server.owner._stop_sending
        for start in range(0, len(route.body), route.block_size):
            if start and stop.wait(route.delay):
                self._reset()  # the server was reset or closed: abandon the body
                return
            self.wfile.write(route.body[start : start + route.block_size])
        self._close_cleanly()

    def _mode_stall(self, route: Route) -> None:
        self._announced(route, str(len(route.body)))
        self.wfile.write(route.body[: route.sent_bytes])
        self.wfile.flush()
        self.server.owner._stop_sending.wait(60)
        self._reset()


class _TLSServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True

    def __init__(self, owner: "HttpsServer", context: ssl.SSLContext | None) -> None:
        self.owner = owner
        self.context = context
        super().__init__(("127.0.0.1", 0), _Handler)

    def server_bind(self) -> None:
        socketserver.TCPServer.server_bind(self)  # skip HTTPServer's reverse DNS lookup
        host, port = self.server_address[:2]
        self.server_name, self.server_port = host, port

    def get_request(self):
        sock, addr = self.socket.accept()
        if self.context is None:
            return sock, addr
        tls = self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
        return tls, addr

    def handle_error(self, request, client_address) -> None:
        # Clients that reject the certificate, hang up early or get reset end up
        # here; keep the reason for debugging instead of printing a traceback.
        self.owner.errors.append(sys.exc_info()[1])


class HttpsServer:
    """A threaded HTTPS server on 127.0.0.1 with a per-path fault mode.

    ``ca`` is the ``trustme.CA`` that issues the server certificate; by default a
    fresh one.  Pass a different CA than the one in the client's trust store to
    get an untrusted-certificate server.  ``tls=False`` serves plain HTTP.
    """

    def __init__(
        self,
        body: bytes | None = None,
        mode: str = "normal",
        *,
        ca: trustme.CA | None = None,
        path: str = DEFAULT_PATH,
        tls: bool = True,
        **route_options,
    ) -> None:
        self.scheme = "https" if tls else "http"
        self.ca = ca or trustme.CA()
        self.default_path = path
        self._default_route = dict(body=default_body() if body is None else body, mode=mode, **route_options)
        self._routes: dict[str, Route] = {}
        self._requests: list[RecordedRequest] = []
        self._lock = threading.Lock()
        self._stop_sending = threading.Event()
        self.errors: list[BaseException] = []

        self._dir = tempfile.mkdtemp(prefix="https-server-")
        self.ca_pem_path = os.path.join(self._dir, "ca.pem")
        self.ca.cert_pem.write_to_path(self.ca_pem_path)

        context = None
        if tls:
            context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
            self.ca.issue_cert("127.0.0.1", "localhost").configure_cert(context)
        self._httpd = _TLSServer(self, context)
        self.port = self._httpd.server_address[1]
        self.configure(self.default_path, **self._default_route)
        self._thread = threading.Thread(
            target=self._httpd.serve_forever, kwargs={"poll_interval": 0.05},
            name=f"https-server-{self.port}", daemon=True,
        )
        self._thread.start()

    # -- configuration -------------------------------------------------------

    def configure(self, path: str | None = None, body: bytes | None = None, mode: str = "normal", **options) -> Route:
        """Serve `body` at `path` (default: the launcher path) in fault mode `mode`.

        Options: status, cut_at, redirect_to, block_size, delay, extra_headers.
        A redirect route also registers its target to serve the body normally.
        """
        path = path or self.default_path
        route = Route(body=default_body() if body is None else body, mode=mode, **options)
        with self._lock:
            self._routes[path] = route
            if mode == "redirect":
                target = route.redirect_to or path + ".redirected"
                if "://" not in target:
                    self._routes[target] = Route(body=route.body)
        return route

    def route_for(self, path: str) -> Route | None:
        with self._lock:
            return self._routes.get(path)

    def reset(self) -> None:
        """Back to the state after construction: default route only, empty log."""
        self._stop_sending.set()  # abandon bodies still trickling out
        self._stop_sending = threading.Event()
        with self._lock:
            self._routes.clear()
            self._requests.clear()
        self.errors.clear()
        self.configure(self.default_path, **self._default_route)

    # -- inspection ----------------------------------------------------------

    def _record(self, request: RecordedRequest) -> None:
        with self._lock:
            self._requests.append(request)

    @property
    def requests(self) -> list[RecordedRequest]:
        with self._lock:
            return list(self._requests)

    def url(self, path: str | None = None, host: str = "127.0.0.1") -> str:
        return f"{self.scheme}://{host}:{self.port}{path or self.default_path}"

    @property
    def base_url(self) -> str:
        return f"{self.scheme}://127.0.0.1:{self.port}"

    # -- lifetime ------------------------------------------------------------

    def close(self) -> None:
        self._stop_sending.set()
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(timeout=5)
        shutil.rmtree(self._dir, ignore_errors=True)

    def __enter__(self) -> "HttpsServer":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()


def untrusted_server(**kwargs) -> HttpsServer:
    """A server whose certificate comes from its own CA, which no client trusts.

    Its ``ca_pem_path`` is that private CA; do not hand it to the client.
    """
    return HttpsServer(ca=trustme.CA(), **kwargs)
