"""Imported by scenario scripts that the `run_scenario` fixture runs in a fresh
interpreter: `emit` hands a JSON value back to the test."""

import json
import sys

RESULT_MARKER = "@@RESULT@@"


def emit(obj) -> None:
    """Print `obj` as JSON on one marker line; the test reads it back.

    Tuples come back as lists; values JSON cannot hold come back as their repr().
    """
    sys.stdout.write(RESULT_MARKER + json.dumps(obj, default=repr) + "\n")
    sys.stdout.flush()
