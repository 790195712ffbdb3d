"""A daemon thread ended by the interpreter while it is inside the module.

The update window's worker is a daemon thread: when the window is closed in
the middle of a download, the GUI thread exits the process while the worker
is blocked in a read (or in any other call that lets go of the interpreter
lock).  When such a thread wakes up during finalisation, CPython 3.12 ends it
with pthread_exit, whose unwinding runs the destructors of the module's frames
on the worker's stack, with no thread state.  Those must not touch any object:
the process has to end with the exit status it was given, not with a crash.

Each scenario blocks the worker at one place inside the module (one of its
callables, or its first import), then lets the main thread finish; a
finaliser kept alive until late in finalisation holds the interpreter open
(lock released) long enough for the worker to wake up and be ended there.
"""

from __future__ import annotations

import os

import pytest

SCENARIO = """
    import os, sys, tempfile, threading, time
    from support.standins import Response, Urllib, fake_sys

    WORKER_BLOCKS = 0.5     # seconds the worker stays blocked, lock released
    FINALISER_WAITS = 1.5   # seconds finalisation stays open for it

    blocked = threading.Event()

    def block(*args, sleep=time.sleep):
        blocked.set()
        sleep(WORKER_BLOCKS)

    class Stalling(Response):
        def read(self, amount=None):
            if {where!r} == "read":
                block()
            return b"x" * 10

    if {where!r} != "first import":
        import updater
        directory = tempfile.mkdtemp()
        updater.sys = fake_sys(frozen=True, executable=os.path.join(directory, "updater.exe"), exit=sys.exit)
        updater.urllib = Urllib(Stalling([], 1000))

    class Root:
        def after(self, ms, request, *args):
            if {where!r} == "window request":
                block()

    class Window:
        root = Root()

    def report(*values):
        if {where!r} == "progress report":
            block()

    class WaitingFinder:  # the body's import of shutil waits here until the thread is ended
        def find_spec(self, name, path=None, target=None):
            while name == "shutil":
                block()

    if {where!r} == "first import":
        if os.name == "nt":  # imported below; the waiting worker will hold the import lock
            import ctypes.wintypes
        sys.modules.pop("shutil")
        sys.meta_path.insert(0, WaitingFinder())
        worker = threading.Thread(target=__import__, args=("updater",), daemon=True)
    elif {where!r} == "window request":
        worker = threading.Thread(target=updater.UpdaterGUI._run_update, args=(Window(),), daemon=True)
    else:
        worker = threading.Thread(target=updater.download_new_exe_with_progress, args=(report,), daemon=True)
    worker.start()
    blocked.wait(30)

    # Whether the worker's system thread still exists, asked without the interpreter.
    if os.name == "nt":
        import ctypes
        from ctypes import wintypes
        kernel32 = ctypes.WinDLL("kernel32")
        kernel32.OpenThread.restype = wintypes.HANDLE
        kernel32.OpenThread.argtypes = [wintypes.DWORD, wintypes.BOOL, wintypes.DWORD]
        kernel32.GetExitCodeThread.argtypes = [wintypes.HANDLE, ctypes.POINTER(wintypes.DWORD)]
        kernel32.CloseHandle.argtypes = [wintypes.HANDLE]

        def worker_alive(tid=worker.native_id, k=kernel32, code=wintypes.DWORD(), byref=ctypes.byref):
            handle = k.OpenThread(0x0800, False, tid)  # THREAD_QUERY_LIMITED_INFORMATION
            if not handle:
                return False
            running = k.GetExitCodeThread(handle, byref(code)) and code.value == 259  # STILL_ACTIVE
            k.CloseHandle(handle)
            return bool(running)
    else:
        def worker_alive(tid=str(worker.native_id), listdir=os.listdir):
            return tid in listdir("/proc/self/task")

    held = threading.Lock()
    held.acquire()

    class ClearedLate:
        # Kept in sys, whose namespace is cleared last.  By then this module's
        # globals are None: what the finaliser needs comes in as defaults.
        # It waits on a lock: time.sleep on Windows also waits for Ctrl+C's
        # event, which is gone by then.
        def __del__(self, held=held, write=os.write, alive=worker_alive, wait=FINALISER_WAITS):
            before = alive()
            held.acquire(True, wait)
            after = alive()
            write(1, f"worker during finalisation: {{before}} -> {{after}}\\n".encode())

    sys.cleared_late = ClearedLate()
    sys.exit({status})
"""


@pytest.mark.skipif(os.name != "nt" and not os.path.isdir("/proc/self/task"), reason="finds threads through /proc")
@pytest.mark.parametrize(
    "where, status",
    [("read", 0), ("progress report", 1), ("window request", 0), ("window request", 1), ("first import", 0)],
)
def test_worker_ended_during_finalisation_leaves_a_clean_exit(run_scenario, where, status):
    outcome = run_scenario(SCENARIO.format(where=where, status=status), timeout=60)
    assert outcome.returncode == status, outcome
    # The worker was still there when finalisation began and was gone by the end.
    assert "worker during finalisation: True -> False" in outcome.stdout, outcome
    assert outcome.stderr == "", outcome
