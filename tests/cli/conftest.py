"""One PostgreSQL cluster for the command's tests, and the command run in-process.

The cluster holds the sample warehouse in its main database; tests that need another
database of the same cluster make one with ``make_database``.
"""

from __future__ import annotations

import contextlib
import dataclasses
import datetime as dt
import os
import sys
import types
from pathlib import Path

import psycopg2
import pytest
import sqlalchemy
from psycopg2 import sql

from reports import cli, warehouse
from reports.pg import EmbeddedPostgres

SCALE = 800
SEED = 31


@dataclasses.dataclass
class Result:
    status: int
    out: str
    err: str


@pytest.fixture(scope="session")
def postgres():
    with EmbeddedPostgres(dbname="cli") as pg:
        yield pg


@pytest.fixture(scope="session")
def tables(postgres):
    return warehouse.load(postgres.engine, scale=SCALE, seed=SEED)


@pytest.fixture(scope="session")
def url(postgres, tables) -> str:
    """URL of the sample warehouse, for --db."""
    return postgres.url


@pytest.fixture(scope="session")
def db(postgres, tables):
    return types.SimpleNamespace(engine=postgres.engine)


@pytest.fixture(scope="session")
def make_database(postgres):
    """A new empty database in the shared cluster: name -> (URL, engine)."""
    engines = []

    def make(name: str):
        with contextlib.closing(
            psycopg2.connect(
                host=str(postgres.socket_dir), port=5432, user=postgres.user, dbname="postgres"
            )
        ) as conn:
            conn.autocommit = True
            with conn.cursor() as cur:
                cur.execute(sql.SQL("CREATE DATABASE {}").format(sql.Identifier(name)))
        db_url = (
            sqlalchemy.engine.make_url(postgres.url)
            .set(database=name)
            .render_as_string(hide_password=False)
        )
        engine = sqlalchemy.create_engine(db_url)
        engines.append(engine)
        return db_url, engine

    yield make
    for engine in engines:
        engine.dispose()


@pytest.fixture(scope="session")
def period() -> dict:
    """A date range that holds every generated order and transaction."""
    today = dt.date.today()
    return {"start_date": today - dt.timedelta(days=100), "end_date": today}


@pytest.fixture(scope="session")
def period_args(period) -> list[str]:
    return ["--start", period["start_date"].isoformat(), "--end", period["end_date"].isoformat()]


@pytest.fixture
def no_sample_server(monkeypatch):
    """Fails the test if the command starts a sample database."""

    class Refused(EmbeddedPostgres):
        def start(self):
            raise AssertionError("the command started a sample database")

    monkeypatch.setattr("reports.pg.EmbeddedPostgres", Refused)


@pytest.fixture
def run(capsys, monkeypatch):
    """The command run in-process with the given arguments, environment URL unset."""
    monkeypatch.delenv(cli.ENV_URL, raising=False)

    def run(*argv: str) -> Result:
        status = cli.main(list(argv))
        out, err = capsys.readouterr()
        return Result(status, out, err)

    return run


@pytest.fixture(scope="session")
def command_env() -> dict:
    """Environment for running the command as a process."""
    env = {k: v for k, v in os.environ.items() if k != cli.ENV_URL}
    env["PYTHONUNBUFFERED"] = "1"
    return env


@pytest.fixture(scope="session")
def console_script() -> Path:
    """The installed ``reports`` console script beside this interpreter."""
    return Path(sys.executable).parent / "reports"
