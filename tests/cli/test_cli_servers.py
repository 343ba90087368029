"""The command as a process, with sample databases of its own: a run without a database,
``serve`` until Ctrl-C or SIGTERM, and ``serve --detach`` with ``stop``. Each process
gets a temporary directory of its own (TMPDIR) for its cluster, so that the tests can see
that nothing is left behind."""

from __future__ import annotations

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import types
from pathlib import Path

import pytest
import sqlalchemy

from reports import cli, orvesta, warehouse


@pytest.fixture
def cluster_dir():
    """TMPDIR of the command: under /tmp rather than pytest's tmp_path, as the server runs
    as an unprivileged account that must reach it, and its socket path must stay short."""
    path = Path(tempfile.mkdtemp(prefix="cli-", dir="/tmp"))
    path.chmod(0o755)
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def env(cluster_dir) -> dict:
    env = {k: v for k, v in os.environ.items() if k != cli.ENV_URL}
    return {**env, "TMPDIR": str(cluster_dir), "PYTHONUNBUFFERED": "1"}


def command(*argv: str, env: dict) -> subprocess.CompletedProcess:
    """The installed console script (``serve`` below runs ``python -m reports``)."""
    script = Path(sys.executable).parent / "reports"
    return subprocess.run([script, *argv], env=env, capture_output=True, text=True, timeout=300)


def test_first_run_starts_loads_and_removes_a_sample_database(
    env, cluster_dir, postgres, period, same_rows
):
    dates = ["--start", str(period["start_date"]), "--end", str(period["end_date"])]
    result = command("affid", "--scale", "60", "--group-by", "crm_id", *dates, "--json", env=env)
    assert result.returncode == 0, result.stderr
    # No progress off a terminal; the one line that says the numbers are made up.
    assert result.stderr.splitlines() == [
        "reports: running on a generated sample warehouse (60 orders), not on real data; "
        f"give --db URL or set {cli.ENV_URL} for a real database"
    ]
    assert list(cluster_dir.iterdir()) == []

    # The same sample in another database of the tests' cluster, and the report run directly.
    with postgres.engine.connect().execution_options(isolation_level="AUTOCOMMIT") as conn:
        conn.exec_driver_sql("CREATE DATABASE sample_scale_60")
    engine = sqlalchemy.create_engine(
        sqlalchemy.make_url(postgres.url).set(database="sample_scale_60")
    )
    try:
        warehouse.load(engine, scale=60)
        expected = orvesta.affid_report(
            types.SimpleNamespace(engine=engine), ["crm_id"], {}, period
        )
    finally:
        engine.dispose()
    same_rows(json.loads(result.stdout), expected, ["crm_id"])


@pytest.mark.parametrize("stop_signal", [signal.SIGINT, signal.SIGTERM], ids=["ctrl-c", "term"])
def test_serve_until_stopped(run, env, cluster_dir, stop_signal):
    process = subprocess.Popen(
        [sys.executable, "-m", "reports", "serve", "--scale", "50"],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    timer = threading.Timer(300, process.kill)  # should the server never come up
    timer.start()
    try:
        url = process.stdout.readline().strip()
        assert url.startswith("postgresql"), process.stderr.read()
        served = run("colors", "--db", url, "--json")
        assert served.status == 0, served.err
        assert "status_colors" in {entry["table"] for entry in json.loads(served.out)}
        process.send_signal(stop_signal)
        out, err = process.communicate(timeout=120)
    finally:
        timer.cancel()
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == 0, err
    assert "Ctrl-C" in err
    assert list(cluster_dir.iterdir()) == []
    assert run("colors", "--db", url).status == 1


def test_serve_detached_then_stop(run, env, cluster_dir):
    started = command("serve", "--detach", "--scale", "50", env=env)
    assert started.returncode == 0, started.stderr
    url = started.stdout.strip()
    try:
        assert f"reports stop '{url}'" in started.stderr
        assert run("colors", "--db", url, "--json").status == 0
        stopped = command("stop", env={**env, cli.ENV_URL: url})
        assert stopped.returncode == 0, stopped.stderr
        assert list(cluster_dir.iterdir()) == []
        unreachable = run("colors", "--db", url)
        assert unreachable.status == 1
        assert "cannot reach the database" in unreachable.err
    finally:
        if any(cluster_dir.iterdir()):
            run("stop", url)
