"""The command as a process, with sample databases of its own: a run without a database,
``serve`` until Ctrl-C or SIGTERM, and ``serve --detach`` with ``stop``.

Each process gets a temporary directory of its own (TMPDIR) for its cluster, so that the
tests can see that nothing is left behind.
"""

from __future__ import annotations

import datetime as dt
import json
import math
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import types
from pathlib import Path

import pandas as pd
import pytest
import sqlalchemy

from reports import orvesta, warehouse


@pytest.fixture
def cluster_dir():
    # Under /tmp rather than pytest's tmp_path: the server runs as an unprivileged account
    # that must reach it, and its socket path must stay short.
    path = Path(tempfile.mkdtemp(prefix="cli-", dir="/tmp"))
    path.chmod(0o755)
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def env(command_env, cluster_dir) -> dict:
    return {**command_env, "TMPDIR": str(cluster_dir)}


def _kill_after(process: subprocess.Popen, seconds: float) -> threading.Timer:
    timer = threading.Timer(seconds, process.kill)
    timer.start()
    return timer


def test_first_run_starts_loads_and_removes_a_sample_database(env, cluster_dir, make_database):
    today = dt.date.today()
    start, end = (today - dt.timedelta(days=60)).isoformat(), today.isoformat()
    result = subprocess.run(
        [sys.executable, "-m", "reports", "affid", "--scale", "60", "--group-by", "crm_id"]
        + ["--start", start, "--end", end, "--json"],
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""  # no progress when stderr is not a terminal
    assert list(cluster_dir.iterdir()) == []

    # The same sample in a database of the tests' cluster, and the report run directly.
    _, engine = make_database("sample_scale_60")
    warehouse.load(engine, scale=60)
    expected = orvesta.affid_report(
        types.SimpleNamespace(engine=engine),
        ["crm_id"],
        {},
        {"start_date": start, "end_date": end},
    )
    rows = json.loads(result.stdout)
    assert len(rows) == len(expected) > 0
    for row, want in zip(rows, expected.to_dict("records"), strict=True):
        assert list(row) == list(want)
        for column, value in want.items():
            if pd.isna(value):
                assert row[column] is None, column
            else:
                assert math.isclose(row[column], value, rel_tol=1e-12), column


@pytest.mark.parametrize("stop_signal", [signal.SIGINT, signal.SIGTERM], ids=["ctrl-c", "term"])
def test_serve_until_stopped(run, env, cluster_dir, stop_signal):
    process = subprocess.Popen(
        [sys.executable, "-m", "reports", "serve", "--scale", "50"],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    timer = _kill_after(process, 300)
    try:
        url = process.stdout.readline().strip()
        assert url.startswith("postgresql"), process.stderr.read()

        served = run("inactive", "--db", url, "--json")
        assert served.status == 0, served.err
        engine = sqlalchemy.create_engine(url)
        try:
            direct = orvesta.inactive_report(
                types.SimpleNamespace(engine=engine),
                reporting_query={"start_date": "2000-01-01", "end_date": "2000-01-01"},
            )
        finally:
            engine.dispose()
        assert len(json.loads(served.out)) == len(direct) > 0

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
    assert run("inactive", "--db", url).status == 1


def test_serve_detached_then_stop(run, env, cluster_dir, console_script):
    started = subprocess.run(
        [str(console_script), "serve", "--detach", "--scale", "50"],
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert started.returncode == 0, started.stderr
    url = started.stdout.strip()
    try:
        assert f"reports stop '{url}'" in started.stderr
        listing = run("colors", "--db", url, "--json")
        assert listing.status == 0, listing.err
        assert "status_colors" in {entry["table"] for entry in json.loads(listing.out)}

        stopped = subprocess.run(
            [str(console_script), "stop"],
            env={**env, "REPORTS_DATABASE_URL": url},
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert stopped.returncode == 0, stopped.stderr
        assert list(cluster_dir.iterdir()) == []
        unreachable = run("colors", "--db", url)
        assert unreachable.status == 1
        assert "cannot reach the database" in unreachable.err
    finally:
        if any(cluster_dir.iterdir()):
            run("stop", url)
