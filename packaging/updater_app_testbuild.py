"""Entry script of the test build of Brivex Updater (updater_app.spec -- --test-build,
build_frozen.sh --test-build): the shipped application, plus an update address
taken from the environment.  Never ship it.

BRIVEX_UPDATE_URL, when set and not empty, replaces the update address that was
compiled into the module, so that the tests can point the real executable at
their local HTTPS server.  Whoever sets this process's environment chooses the
program it installs and starts; that is why only this build reads it.  The
shipped build is made from updater_app.py alone and does not contain this file.
"""

from __future__ import annotations

import os
import sys

import updater
import updater_app

BUILD = "test build: takes its update address from BRIVEX_UPDATE_URL; never ship it"


def main(argv: list[str]) -> int:
    url = os.environ.get("BRIVEX_UPDATE_URL", "")
    if url:
        updater.UPDATE_URL = url
    return updater_app.main(argv, build=BUILD)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
