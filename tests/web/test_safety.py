"""The token rule, the loopback host check, the read-only connection, the cancelled query,
and colors that a hostile color table cannot turn into markup."""

from __future__ import annotations

import math
import threading
import types

import anyio
import pytest
import sqlalchemy

from reports import cli
from reports.web.app import create_app
from reports.web.colors import read_palette
from reports.web.running import Cancelled, run_report


@pytest.fixture(scope="module")
def guarded(db, test_client):
    with test_client(create_app(db.engine, token="s3cret"), follow_redirects=False) as client:
        yield client


TOKEN_CASES = [
    ("/", {}, 401), ("/static/web.css", {}, 401), ("/report/approval.csv", {}, 401),
    ("/?token=wrong", {}, 401), ("/", {"Authorization": "Bearer wrong"}, 401),
    ("/", {"Cookie": "reports_token=wrong"}, 401), ("/", {"Authorization": "Bearer s3cret"}, 200),
    ("/static/web.css", {"Cookie": "reports_token=s3cret"}, 200),
]  # fmt: skip


@pytest.mark.parametrize(("path", "headers", "status"), TOKEN_CASES)
def test_every_request_carries_the_token(guarded, path, headers, status):
    assert guarded.get(path, headers=headers).status_code == status


def test_token_in_the_address_becomes_a_cookie(guarded):
    response = guarded.get("/report/approval?period=last_7_days&token=s3cret")
    assert response.status_code == 303
    assert response.headers["location"] == "/report/approval?period=last_7_days"
    cookie = response.headers["set-cookie"]
    assert cookie.startswith("reports_token=s3cret;") and "HttpOnly" in cookie
    assert "samesite=strict" in cookie.lower()
    page = guarded.get(response.headers["location"], headers={"Cookie": "reports_token=s3cret"})
    assert page.status_code == 200 and 'id="result"' in page.text


def test_loopback_server_refuses_other_host_names(client):
    # A page on a hostile site whose name resolves to 127.0.0.1 must not read reports.
    assert client.get("/", headers={"Host": "reports.attacker.example"}).status_code == 400
    assert client.get("/", headers={"Host": "localhost:8765"}).status_code == 200


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["--host", "0.0.0.0"], "give a token with --token or $REPORTS_WEB_TOKEN"),
        (["--host", "192.0.2.1", "--token", " "], "the token is empty"),
        (["--port", "70000"], "expected a port number"),
        (["--scale", "10", "--db", "postgresql://u@h/d"], "--scale is for the sample"),
    ],
)
def test_web_command_refuses_before_starting(capsys, monkeypatch, argv, message):
    monkeypatch.delenv("REPORTS_WEB_TOKEN", raising=False)
    monkeypatch.delenv(cli.ENV_URL, raising=False)
    assert cli.main(["web", *argv]) == 2
    assert message in capsys.readouterr().err


def test_pages_only_read(client, page_error, monkeypatch):
    import pandas as pd

    from reports import orvesta

    # The report module looks up pd at each call: make its query one that writes.
    def writing(query, engine):
        return pd.read_sql("CREATE TABLE written (x int); SELECT 1 AS x", engine)

    monkeypatch.setattr(orvesta, "pd", types.SimpleNamespace(read_sql=writing))
    response = client.get("/report/inactive")
    assert response.status_code == 502
    assert page_error(response.text) == (
        "the query failed: cannot execute CREATE TABLE in a read-only transaction"
    )


def _waiting_on_lock(engine) -> bool:
    with engine.connect() as connection:
        query = "SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock'"
        return connection.exec_driver_sql(query).scalar() > 0


def test_query_is_cancelled_when_the_browser_goes_away(db):
    from reports.web.command import check_request

    gone = threading.Event()

    async def receive():
        await anyio.to_thread.run_sync(gone.wait)
        return {"type": "http.disconnect"}

    async def scenario():
        async with anyio.create_task_group() as group:
            outcome = {}

            async def page():
                try:
                    await run_report(db.engine, check_request("approval"), receive)
                except Cancelled:
                    outcome["cancelled"] = True

            group.start_soon(page)
            # The report waits on the lock below until the browser goes away.
            while not await anyio.to_thread.run_sync(_waiting_on_lock, db.engine):
                await anyio.sleep(0.05)
            gone.set()
        return outcome

    fired = []

    def cancel_waiters():  # if the page fails to cancel, fail the test instead of hanging
        fired.append(True)
        with db.engine.connect() as connection:
            connection.exec_driver_sql(
                "SELECT pg_cancel_backend(pid) FROM pg_stat_activity WHERE wait_event_type = 'Lock'"
            )

    watchdog = threading.Timer(60, cancel_waiters)
    with db.engine.connect() as blocker:
        blocker.exec_driver_sql("LOCK TABLE augmented_data.order_cycles IN ACCESS EXCLUSIVE MODE")
        watchdog.start()
        try:
            outcome = anyio.run(scenario)
        finally:
            watchdog.cancel()
        still_waiting = _waiting_on_lock(db.engine)
        blocker.rollback()
    assert outcome == {"cancelled": True} and not still_waiting and not fired


def test_palette_reads_each_table_once_and_keeps_markup_out():
    tables = {
        "approval_bands": {
            "low": {"lower_bound": "0.0", "upper_bound": "0.5", "color": "#d9534f"},
            "high": {"lower_bound": "0.5", "upper_bound": "1.0", "color": "green"},
            "bad": {"lower_bound": "x", "upper_bound": "1", "color": "red"},
        },
        "gateway_status_colors": {
            "true": {"color": 'red" onmouseover="alert(1)', "label": "enabled"},
            "false": {"color": "red;background:url(//x)", "label": "disabled"},
            "unknown": {"color": "#999", "label": "no setting"},
        },
    }
    reads = []

    def read_table(name, key):
        reads.append(name)
        if name not in tables:
            raise sqlalchemy.exc.ProgrammingError("select", {}, Exception("no such table"))
        return tables[name]

    columns = ["approval%", "approval C0%", "CB %", "enabled", "order count"]
    palette = read_palette(read_table, columns)
    assert sorted(reads) == ["approval_bands", "chargeback_bands", "gateway_status_colors"]
    assert palette.missing == ["chargeback_bands"]
    picks = [palette.color("approval C0%", v) for v in (0.25, 0.5, 1.0, 1.5, math.nan, None)]
    assert picks == [("#d9534f", "low"), ("green", "high"), ("green", "high"), None, None, None]
    assert [palette.color("enabled", v) for v in ("true", "false", None)] == [
        None,
        None,
        ("#999", "no setting"),
    ]
    assert palette.color("CB %", 0.5) is None and palette.color("order count", 1) is None
