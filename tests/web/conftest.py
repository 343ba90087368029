"""The web host on a sample warehouse: a test client for HTTP tests, and a real server on
a loopback port for the browser tests."""

from __future__ import annotations

import re
import socket
import threading
import types
import warnings

import pytest
import uvicorn

with warnings.catch_warnings():
    # Newer Starlette prefers another HTTP client for its test client; httpx still works.
    warnings.simplefilter("ignore")
    from starlette.testclient import TestClient

from reports import cli, warehouse
from reports.pg import EmbeddedPostgres
from reports.tintora import Tintora
from reports.web.app import create_app

BASE = "http://127.0.0.1"


@pytest.fixture(scope="session")
def db():
    with EmbeddedPostgres(dbname="web") as pg:
        warehouse.load(pg.engine, scale=600, seed=5)
        yield types.SimpleNamespace(engine=pg.engine, url=pg.url)


@pytest.fixture(scope="session")
def app(db):
    # The app puts its filter names into Tintora._col_map, as a host does; other test
    # folders expect the table as the module made it.
    saved = dict(Tintora._col_map)
    yield create_app(db.engine, database_label="test warehouse")
    Tintora._col_map.clear()
    Tintora._col_map.update(saved)


@pytest.fixture(scope="session")
def client(app):
    with TestClient(app, base_url=BASE) as client:
        yield client


@pytest.fixture
def command(db, capsys, monkeypatch):
    """The reports command's stdout for ``argv`` on the same database."""
    monkeypatch.delenv(cli.ENV_URL, raising=False)

    def run(*argv: str) -> str:
        assert cli.main([*argv, "--db", db.url]) == 0, capsys.readouterr().err
        return capsys.readouterr().out

    return run


def _page_error(html: str) -> str | None:
    found = re.search(r'<p class="error" role="alert" id="error">(.*?)</p>', html, re.S)
    return found[1] if found else None


@pytest.fixture(scope="session")
def page_error():
    """The one-line message a page shows, or None."""
    return _page_error


@pytest.fixture(scope="session")
def test_client():
    """Starlette's test client class, on the address the loopback check accepts."""
    return lambda app, **options: TestClient(app, base_url=BASE, **options)


@pytest.fixture(scope="session")
def live_server(app):
    """The app served by uvicorn on a free loopback port, for a real browser."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    server = uvicorn.Server(uvicorn.Config(app, log_level="warning", lifespan="off"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    try:
        while not server.started:
            if not thread.is_alive():
                raise RuntimeError("the web server did not start")
            threading.Event().wait(0.05)
        yield f"http://127.0.0.1:{port}"
    finally:
        server.should_exit = True
        thread.join(30)
        sock.close()
