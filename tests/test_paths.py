"""Install paths: where packed resources and the launcher's directory are, in
plain and frozen runs, and how failures there read through the callers."""

import os

import pytest

from support.frame_helpers import entries
from support.standins import Raises, Subprocess, fake_sys

@pytest.fixture
def updater(updater_module, monkeypatch):
    # Every test rebinds `sys` (and sometimes `__file__`); monkeypatch undoes it.
    monkeypatch.setattr(updater_module, "sys", fake_sys())
    return updater_module


@pytest.fixture
def elsewhere(tmp_path, monkeypatch):
    """A working directory unrelated to the module's file."""
    work = tmp_path / "work dir"
    work.mkdir()
    monkeypatch.chdir(work)
    return str(work)


# -- get_resource_path ------------------------------------------------------------


@pytest.mark.posix_only(reason="expects POSIX path spelling")
@pytest.mark.parametrize(
    "relative, expected",
    [
        ("icon.ico", "/opt/_MEI123/icon.ico"),
        ("img/logo.png", "/opt/_MEI123/img/logo.png"),
        ("", "/opt/_MEI123/"),
        ("/abs/icon.ico", "/abs/icon.ico"),  # an absolute argument replaces the base
    ],
)
def test_resource_path_in_frozen_build_uses_unpack_dir(updater, monkeypatch, elsewhere, relative, expected):
    monkeypatch.setattr(updater, "sys", fake_sys(frozen=True, executable="/apps/x.exe", meipass="/opt/_MEI123"))
    assert updater.get_resource_path(relative) == expected
    assert updater.get_resource_path(relative_path=relative) == expected


@pytest.mark.posix_only(reason="expects POSIX path spelling")
def test_resource_path_in_plain_run_follows_working_directory(updater, monkeypatch, tmp_path, elsewhere):
    assert updater.get_resource_path("icon.ico") == os.path.join(elsewhere, "icon.ico")
    other = tmp_path / "other"
    other.mkdir()
    monkeypatch.chdir(other)
    # Read afresh on every call: no cached base directory.
    assert updater.get_resource_path("icon.ico") == os.path.join(str(other), "icon.ico")
    monkeypatch.setattr(updater, "sys", fake_sys(meipass="/late/_MEI"))
    assert updater.get_resource_path("icon.ico") == "/late/_MEI/icon.ico"


def test_any_exception_reading_unpack_dir_falls_back(updater, monkeypatch, elsewhere):
    monkeypatch.setattr(updater, "sys", fake_sys(meipass=Raises(RuntimeError("broken build"))))
    assert updater.get_resource_path("icon.ico") == os.path.join(elsewhere, "icon.ico")


def test_interrupt_reading_unpack_dir_passes_through(updater, monkeypatch):
    monkeypatch.setattr(updater, "sys", fake_sys(meipass=Raises(KeyboardInterrupt())))
    with pytest.raises(KeyboardInterrupt) as info:
        updater.get_resource_path("icon.ico")
    assert entries(info.value) == [("updater.get_resource_path", 20)]


def test_resource_path_join_error_has_entry(updater, monkeypatch):
    monkeypatch.setattr(updater, "sys", fake_sys(meipass="/opt/_MEI"))
    with pytest.raises(TypeError) as info:
        updater.get_resource_path(5)
    assert entries(info.value) == [("updater.get_resource_path", 23)]


# -- get_exe_dir --------------------------------------------------------------------


@pytest.mark.parametrize("frozen", [True, 1, "yes", [0]])
@pytest.mark.parametrize(
    "executable, expected",
    [
        ("/apps/Brivex/updater.exe", "/apps/Brivex"),
        ("/apps/x/../Brivex/updater.exe", "/apps/x/../Brivex"),  # not normalised
        ("bin/updater.exe", "bin"),  # nor made absolute
        ("updater.exe", ""),
    ],
)
def test_exe_dir_in_frozen_build_is_executable_dir(updater, monkeypatch, elsewhere, frozen, executable, expected):
    monkeypatch.setattr(updater, "sys", fake_sys(frozen=frozen, executable=executable, meipass="/opt/_MEI123"))
    assert updater.get_exe_dir() == expected


@pytest.mark.parametrize("frozen", ["absent", False, 0, "", None])
def test_exe_dir_in_plain_run_is_module_dir(updater, monkeypatch, tmp_path, elsewhere, frozen):
    attrs = {} if frozen == "absent" else {"frozen": frozen}
    monkeypatch.setattr(updater, "sys", fake_sys(executable="/usr/bin/python3", meipass="/opt/_MEI", **attrs))
    expected = os.path.abspath(os.path.dirname(updater.__file__))
    assert updater.get_exe_dir() == expected
    monkeypatch.chdir(tmp_path)
    assert updater.get_exe_dir() == expected


@pytest.mark.posix_only(reason="expects POSIX path spelling")
@pytest.mark.parametrize(
    "module_file, expected",
    [
        ("/x/y/../z/updater.so", "/x/z"),  # directory part first, then made absolute
        ("lib/updater.so", "{cwd}/lib"),
        ("updater.so", "{cwd}"),  # no directory part: the working directory
    ],
)
def test_exe_dir_takes_module_file_at_call_time(updater, monkeypatch, elsewhere, module_file, expected):
    monkeypatch.setattr(updater, "__file__", module_file)
    assert updater.get_exe_dir() == expected.format(cwd=elsewhere)


@pytest.mark.parametrize(
    "standin, drop_file, error, line",
    [
        (fake_sys(frozen=True), False, AttributeError, 41),
        # Only a missing attribute counts as "not frozen"; other errors escape.
        (fake_sys(frozen=Raises(ValueError("frozen unreadable"))), False, ValueError, 40),
        (fake_sys(), True, NameError, 42),
    ],
    ids=["no-executable", "frozen-raises", "no-module-file"],
)
def test_exe_dir_failures_propagate_with_entry(updater, monkeypatch, standin, drop_file, error, line):
    monkeypatch.setattr(updater, "sys", standin)
    if drop_file:
        monkeypatch.delattr(updater, "__file__")
    with pytest.raises(error) as info:
        updater.get_exe_dir()
    assert entries(info.value) == [("updater.get_exe_dir", line)]


# -- failures of the install paths seen through their callers ------------------------


@pytest.mark.parametrize(
    "standin, drop_file, error, inner_line",
    [(fake_sys(frozen=True), False, AttributeError, 41), (fake_sys(), True, NameError, 42)],
    ids=["frozen-without-executable", "plain-without-module-file"],
)
def test_exe_dir_failure_reads_outer_first_and_touches_nothing(
    updater, monkeypatch, tmp_path, elsewhere, standin, drop_file, error, inner_line
):
    monkeypatch.setattr(updater, "sys", standin)
    if drop_file:
        monkeypatch.delattr(updater, "__file__")
    popen = Subprocess()
    monkeypatch.setattr(updater, "subprocess", popen)
    reports = []

    with pytest.raises(error) as info:
        updater.download_new_exe_with_progress(lambda *a: reports.append(a))
    assert entries(info.value) == [
        ("updater.download_new_exe_with_progress", 45),
        ("updater.get_exe_dir", inner_line),
    ]
    assert reports == []  # outside the protected region: no failure report

    new_exe = tmp_path / "BrivexLauncher_new.exe"
    new_exe.write_bytes(b"new")
    with pytest.raises(error) as info:
        updater.replace_and_run(str(new_exe))
    assert entries(info.value) == [("updater.replace_and_run", 79), ("updater.get_exe_dir", inner_line)]
    assert not isinstance(info.value, RuntimeError)  # not wrapped
    assert popen.calls == []
    assert sorted(p.name for p in tmp_path.iterdir()) == ["BrivexLauncher_new.exe", "work dir"]
    assert os.listdir(elsewhere) == []


@pytest.mark.parametrize(
    "constant, value, call, line",
    [
        ("TEMP_EXE_NAME", 7, "download", 46),
        ("MAIN_EXE_NAME", 7, "replace", 80),
    ],
)
def test_path_errors_before_protected_region_escape_unwrapped(updater, monkeypatch, tmp_path, constant, value, call, line):
    monkeypatch.setattr(updater, "sys", fake_sys(frozen=True, executable=str(tmp_path / "updater.exe")))
    monkeypatch.setattr(updater, constant, value)
    reports = []
    with pytest.raises(TypeError) as info:
        if call == "download":
            updater.download_new_exe_with_progress(lambda *a: reports.append(a))
        else:
            updater.replace_and_run(str(tmp_path / "new.exe"))
    name = "updater.download_new_exe_with_progress" if call == "download" else "updater.replace_and_run"
    assert entries(info.value) == [(name, line)]
    assert reports == [] and list(tmp_path.iterdir()) == []
