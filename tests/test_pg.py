"""The throwaway PostgreSQL cluster of ``reports.pg``."""

from __future__ import annotations

import os
import pwd
import tempfile
import time
from pathlib import Path

import pandas as pd
import pytest

from reports import pg as pg_module
from reports.pg import EmbeddedPostgres, PostgresNotFoundError


def _postmaster_pid(cluster: EmbeddedPostgres) -> int:
    return int((cluster.data_dir / "postmaster.pid").read_text().split()[0])


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


def test_serves_a_unix_socket_only_and_cleans_up():
    with EmbeddedPostgres(dbname="scratch") as cluster:
        root, pid = cluster.socket_dir, _postmaster_pid(cluster)
        settings = pd.read_sql(
            "select current_database() as db, current_setting('listen_addresses') as listen,"
            " current_setting('unix_socket_directories') as sockets",
            cluster.engine,
        ).iloc[0]
        assert settings["db"] == "scratch"
        assert settings["listen"] == ""
        assert settings["sockets"] == str(root)
        assert "host=" in cluster.url and "postgresql+psycopg2://" in cluster.url
        if os.geteuid() == 0:
            # The server may not run as root.
            owner = pd.read_sql("select current_setting('data_directory') as d", cluster.engine)
            assert os.stat(owner["d"][0]).st_uid != 0
    assert not root.exists()
    assert _gone(pid)
    assert cluster.engine is None


@pytest.mark.parametrize("error", [RuntimeError("boom"), KeyboardInterrupt()])
def test_cleans_up_when_the_block_raises(error):
    with pytest.raises(type(error)), EmbeddedPostgres() as cluster:
        root, pid = cluster.socket_dir, _postmaster_pid(cluster)
        raise error
    assert not root.exists()
    assert _gone(pid)


def test_cleans_up_when_interrupted_while_starting(monkeypatch):
    made = []
    real_mkdtemp = tempfile.mkdtemp

    def recording_mkdtemp(*args, **kwargs):
        made.append(real_mkdtemp(*args, **kwargs))
        return made[-1]

    def interrupted(*args, **kwargs):
        # The server is up by now; Ctrl-C arrives while the database is created.
        raise KeyboardInterrupt

    monkeypatch.setattr(pg_module.tempfile, "mkdtemp", recording_mkdtemp)
    monkeypatch.setattr(pg_module.psycopg2, "connect", interrupted)
    with pytest.raises(KeyboardInterrupt), EmbeddedPostgres():
        pytest.fail("the block must not run")
    assert len(made) == 1
    assert not os.path.exists(made[0])


@pytest.mark.skipif(os.geteuid() != 0, reason="only root chooses the server's account")
def test_runs_as_nobody_where_no_postgres_account_exists():
    with EmbeddedPostgres(os_user="nobody") as cluster:
        data_dir = pd.read_sql("select current_setting('data_directory') as d", cluster.engine)
        assert os.stat(data_dir["d"][0]).st_uid == pwd.getpwnam("nobody").pw_uid
        root = cluster.socket_dir
    assert not root.exists()


def test_clear_error_without_server_binaries(tmp_path):
    with pytest.raises(PostgresNotFoundError, match="initdb"), EmbeddedPostgres(bin_dir=tmp_path):
        pytest.fail("the block must not run")


def test_finds_the_newest_installed_server():
    bin_dir = pg_module.find_bin_dir()
    assert (bin_dir / "initdb").exists() and (bin_dir / "pg_ctl").exists()
