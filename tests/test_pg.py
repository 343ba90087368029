"""The throwaway PostgreSQL cluster of ``reports.pg``: served on a socket only, and
gone, server and files, whichever way the ``with`` block is left."""

from __future__ import annotations

import contextlib
import os
import pwd
import shutil
import time
from pathlib import Path

import pandas as pd
import pytest

from reports import pg as pg_module
from reports.pg import EmbeddedPostgres, PostgresNotFoundError


def _gone(pid: int) -> bool:
    """Whether the process has exited. The postmaster removes its pid file, which
    pg_ctl waits for, a moment before it exits; allow for that moment."""
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        try:
            state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
        except FileNotFoundError:
            return True
        if state in ("Z", "X"):  # exited, waiting to be reaped
            return True
        time.sleep(0.05)
    return False


def _setting(cluster: EmbeddedPostgres, expression: str):
    return pd.read_sql(f"select {expression} as v", cluster.engine)["v"][0]


@pytest.fixture
def removals(monkeypatch) -> dict:
    """Each directory reports.pg deletes -> whether a server still held it then (its
    postmaster.pid, which the server removes as the last step of shutting down)."""
    removals = {}

    def rmtree(path, *args, real=shutil.rmtree, **kwargs):
        removals[Path(path)] = (Path(path) / "data" / "postmaster.pid").exists()
        real(path, *args, **kwargs)

    monkeypatch.setattr(pg_module.shutil, "rmtree", rmtree)
    return removals


@pytest.mark.parametrize("error", [None, RuntimeError("boom"), KeyboardInterrupt()])
def test_serves_a_unix_socket_only_and_cleans_up_however_left(removals, error):
    raises = pytest.raises(type(error)) if error else contextlib.nullcontext()
    with raises, EmbeddedPostgres(dbname="scratch") as cluster:
        root = cluster.socket_dir
        pid = int((cluster.data_dir / "postmaster.pid").read_text().split()[0])
        assert _setting(cluster, "current_database()") == "scratch"
        assert _setting(cluster, "current_setting('listen_addresses')") == ""
        assert _setting(cluster, "current_setting('unix_socket_directories')") == str(root)
        assert "host=" in cluster.url and "postgresql+psycopg2://" in cluster.url
        if os.geteuid() == 0:  # the server may not run as root
            assert os.stat(_setting(cluster, "current_setting('data_directory')")).st_uid != 0
        if error:
            raise error
    assert removals == {root: False} and not root.exists()
    assert _gone(pid)
    assert cluster.engine is None


def test_cleans_up_when_interrupted_while_starting(monkeypatch, removals):
    def interrupted(*args, **kwargs):
        # The server is up by now; Ctrl-C arrives while the database is created.
        raise KeyboardInterrupt

    monkeypatch.setattr(pg_module.psycopg2, "connect", interrupted)
    with pytest.raises(KeyboardInterrupt), EmbeddedPostgres():
        pytest.fail("the block must not run")
    assert list(removals.values()) == [False]
    assert not any(path.exists() for path in removals)


@pytest.mark.skipif(os.geteuid() != 0, reason="only root chooses the server's account")
def test_runs_as_the_account_asked_for(removals):
    with EmbeddedPostgres(os_user="nobody") as cluster:
        data_dir = _setting(cluster, "current_setting('data_directory')")
        assert os.stat(data_dir).st_uid == pwd.getpwnam("nobody").pw_uid
        root = cluster.socket_dir
    assert removals == {root: False} and not root.exists()


def test_server_binaries_found_or_a_clear_error(tmp_path):
    bin_dir = pg_module.find_bin_dir()
    assert (bin_dir / "initdb").exists() and (bin_dir / "pg_ctl").exists()
    with pytest.raises(PostgresNotFoundError, match="initdb"), EmbeddedPostgres(bin_dir=tmp_path):
        pytest.fail("the block must not run")
