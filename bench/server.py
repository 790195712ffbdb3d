"""The benchmark's HTTPS server, run in a process of its own.

    python bench/server.py SIZE_MIB [SIZE_MIB...]

Serves one body of each size (in MiB) with Content-Length over HTTPS on
127.0.0.1, certificate from a throwaway CA (the test suite's server, reused).
Prints one JSON line when ready: {"port", "ca_pem", "urls": {size: url}}.
Runs until its standard input reaches end of file, so it ends with the
driver that started it.  Keeping it in its own process keeps the server's
encryption and Python work off the measured interpreter and its GIL.
"""

import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

from support.https_server import HttpsServer, default_body  # noqa: E402


def path_for(size_mib: int) -> str:
    # Same tail as the real update address.
    return f"/bench/{size_mib}m/latest/main/BrivexLauncher.exe"


def main() -> None:
    sizes = [int(a) for a in sys.argv[1:]] or [256]
    server = HttpsServer(body=b"")
    urls = {}
    for size in sizes:
        path = path_for(size)
        server.configure(path, body=default_body(size * 1024 * 1024))
        urls[str(size)] = server.url(path)
    sys.stdout.write(json.dumps({"port": server.port, "ca_pem": server.ca_pem_path, "urls": urls}) + "\n")
    sys.stdout.flush()
    try:
        sys.stdin.read()  # until the driver closes the pipe
    finally:
        server.close()


if __name__ == "__main__":
    main()
