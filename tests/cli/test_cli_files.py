"""Where the result goes when it is not a terminal: a CSV file of any kind (regular,
through a symlink, a FIFO, a device), read-only or gone, and a stdout that fails. What
is left on disk, the exit status and the one line on stderr."""

from __future__ import annotations

import contextlib
import os
import pwd
import shutil
import stat
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

import pytest

from reports import cli

LISTING_HEADER = "table,columns\n"  # the CSV of 'reports colors'


def test_csv_through_a_symlink_replaces_the_target_and_keeps_its_mode(run, db, tmp_path):
    target = tmp_path / "real.csv"
    target.write_text("earlier result\n", encoding="utf-8")
    target.chmod(0o640)
    link = tmp_path / "link.csv"
    link.symlink_to(target)
    result = run("colors", "--db", db.url, "--csv", str(link))
    assert result.status == 0, result.err
    assert link.is_symlink() and link.resolve() == target
    assert stat.S_IMODE(target.stat().st_mode) == 0o640
    assert target.read_text(encoding="utf-8").startswith(LISTING_HEADER)
    assert sorted(os.listdir(tmp_path)) == ["link.csv", "real.csv"]


def _device(path: Path, minor: int) -> None:
    try:
        os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, minor))
    except PermissionError:
        pytest.skip("making a device node needs root")


@pytest.mark.parametrize("kind", ["fifo", "null device", "full device"])
def test_csv_into_a_fifo_or_device_writes_in_place(run, db, tmp_path, kind):
    """Renaming a file over them would turn them into a plain file (as root, even
    /dev/null); they are opened and written as a shell's > would."""
    path = tmp_path / "out"
    received: list[str] = []
    reader = None
    if kind == "fifo":
        os.mkfifo(path)
        reader = threading.Thread(target=lambda: received.append(path.read_text()), daemon=True)
        reader.start()
    else:
        _device(path, 3 if kind == "null device" else 7)  # as /dev/null, /dev/full
    try:
        result = run("colors", "--db", db.url, "--csv", str(path))
    finally:
        if reader is not None:
            reader.join(10)
            if reader.is_alive():  # the command never opened it: release the reader
                with contextlib.suppress(OSError):  # no reader left: nothing to release
                    os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK))
                reader.join(10)
    mode = path.lstat().st_mode
    assert stat.S_ISFIFO(mode) if kind == "fifo" else stat.S_ISCHR(mode)
    assert os.listdir(tmp_path) == ["out"]
    if kind == "full device":
        assert (result.status, result.out) == (1, "")
        assert (
            result.err == f"reports colors: error: cannot write {path}: No space left on device\n"
        )
    else:
        assert result.status == 0, result.err
    if kind == "fifo":
        assert received[0].startswith(LISTING_HEADER)


def test_csv_folder_gone_before_the_write(run, db, tmp_path, monkeypatch):
    folder = tmp_path / "out"
    folder.mkdir()
    format_csv = cli.emit.format_csv

    def remove_folder_then_format(frame, **options):
        shutil.rmtree(folder)
        return format_csv(frame, **options)

    monkeypatch.setattr(cli.emit, "format_csv", remove_folder_then_format)
    result = run("colors", "--db", db.url, "--csv", str(folder / "listing.csv"))
    assert (result.status, result.out) == (1, "")
    assert result.err.count("\n") == 1 and "cannot write" in result.err
    assert os.listdir(tmp_path) == []


@contextlib.contextmanager
def as_nobody():
    """Runs the block as an unprivileged user (root may write a read-only file)."""
    if os.geteuid() != 0:
        yield
        return
    nobody = pwd.getpwnam("nobody")
    os.setegid(nobody.pw_gid)
    os.seteuid(nobody.pw_uid)
    try:
        yield
    finally:
        os.seteuid(0)
        os.setegid(0)


def test_csv_refuses_a_read_only_file_before_any_database_work(run):
    folder = Path(tempfile.mkdtemp(prefix="cli-ro-", dir="/tmp"))
    try:
        target = folder / "kept.csv"
        target.write_text("earlier result\n", encoding="utf-8")
        target.chmod(0o444)
        folder.chmod(0o777)
        with as_nobody():
            result = run(
                "affid", "--db", "postgresql://u@/d?host=/nonexistent", "--csv", str(target)
            )
        assert (result.status, result.out) == (2, "")
        assert result.err == f"reports affid: error: --csv {target}: the file is not writable\n"
        assert target.read_text(encoding="utf-8") == "earlier result\n"
        assert stat.S_IMODE(target.stat().st_mode) == 0o444
        assert os.listdir(folder) == ["kept.csv"]
    finally:
        shutil.rmtree(folder, ignore_errors=True)


@pytest.mark.parametrize("stdout", ["/dev/full", "closed pipe"])
def test_stdout_that_fails_ends_without_a_traceback(db, stdout):
    env = {k: v for k, v in os.environ.items() if k != cli.ENV_URL}
    argv = [sys.executable, "-m", "reports", "colors", "--db", db.url, "--json"]
    if stdout == "/dev/full":
        with open("/dev/full", "w") as full:
            result = subprocess.run(argv, stdout=full, stderr=subprocess.PIPE, text=True, env=env)
        expected = "reports colors: error: cannot write to stdout: No space left on device\n"
    else:
        read_end, write_end = os.pipe()
        os.close(read_end)  # as 'reports ... | head -1' once head has exited
        try:
            result = subprocess.run(
                argv, stdout=write_end, stderr=subprocess.PIPE, text=True, env=env
            )
        finally:
            os.close(write_end)
        expected = ""
    assert (result.returncode, result.stderr) == (1, expected)
