"""The command as a process, with sample databases of its own: a run without a database,
``serve`` until Ctrl-C or SIGTERM, and ``serve --detach`` with ``stop``. Each process
gets a temporary directory of its own (TMPDIR) for its cluster, so that the tests can see
that nothing is left behind."""

from __future__ import annotations

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
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


def _default_sigint():
    # A test run in the background of a shell inherits SIGINT ignored; the command must
    # see Ctrl-C as a terminal would deliver it.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def spawn(*argv: str, env: dict) -> subprocess.Popen:
    return subprocess.Popen(
        [sys.executable, "-m", "reports", *argv],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        preexec_fn=_default_sigint,
    )


def command(*argv: str, env: dict) -> subprocess.CompletedProcess:
    """The installed console script (``serve`` below runs ``python -m reports``)."""
    script = Path(sys.executable).parent / "reports"
    return subprocess.run([script, *argv], env=env, capture_output=True, text=True, timeout=300)


def test_first_run_starts_loads_and_removes_a_sample_database(
    env, cluster_dir, postgres, period, date_options, same_rows
):
    result = command(
        "affid", "--scale", "60", "--group-by", "crm_id", *date_options("affid"), "--json", env=env
    )
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
    process = spawn("serve", "--scale", "50", env=env)
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


def _finish(process: subprocess.Popen) -> tuple[str, str]:
    try:
        return process.communicate(timeout=120)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


@pytest.mark.parametrize("stop_signal, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_signal_while_connecting_ends_the_command_at_once(env, stop_signal, status):
    """A server that accepts the connection and never answers: without the interrupt
    the command would wait out the URL's connect timeout of ten minutes."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        listener.settimeout(120)
        port = listener.getsockname()[1]
        url = f"postgresql://analyst@127.0.0.1:{port}/warehouse?connect_timeout=600"
        process = spawn("affid", "--db", url, "--json", env=env)
        try:
            connection, _ = listener.accept()
        except BaseException:
            process.kill()
            raise
        with connection:
            connection.recv(1024)  # the command now waits for the server's answer
            process.send_signal(stop_signal)
            out, err = _finish(process)
    assert (process.returncode, out, err) == (status, "", "reports: interrupted\n")


def _wait_for_server(cluster_dir: Path, process: subprocess.Popen) -> None:
    deadline = time.monotonic() + 120  # guards against a hang; not a timing assertion
    while not list(cluster_dir.glob("reports-pg-*/.s.PGSQL.*")):  # the server listens
        assert process.poll() is None, process.stderr.read()
        assert time.monotonic() < deadline, "the sample server never started"
        time.sleep(0.05)


CLEANUPS = [
    # (signal that ends the run, its exit status, the command that must remove what is left)
    (signal.SIGTERM, 143, None),
    (signal.SIGKILL, -9, ["stop", "--all"]),
    (signal.SIGKILL, -9, ["colors", "--scale", "20", "--json"]),  # any next sample run
]


@pytest.mark.parametrize("stop_signal, status, then", CLEANUPS, ids=["term", "stop-all", "next"])
def test_run_ended_by_a_signal_leaves_no_server_behind(env, cluster_dir, stop_signal, status, then):
    process = spawn("affid", "--scale", "5000", "--json", env=env)
    try:
        _wait_for_server(cluster_dir, process)
        process.send_signal(stop_signal)
    finally:
        _finish(process)
    assert process.returncode == status
    if then is not None:
        leftovers = [str(path) for path in cluster_dir.iterdir()]
        assert len(leftovers) == 1
        result = command(*then, env=env)
        assert result.returncode == 0, result.stderr
        assert leftovers[0] in (result.stdout if then[0] == "stop" else result.stderr)
    assert list(cluster_dir.iterdir()) == []
