"""One PostgreSQL cluster holding the sample warehouse, the command run in-process, and
the comparison of the command's rows with a report function's data frame."""

from __future__ import annotations

import collections
import datetime as dt
import math
import types

import pandas as pd
import pytest

from reports import cli, warehouse
from reports.pg import EmbeddedPostgres

Result = collections.namedtuple("Result", "status out err")


@pytest.fixture(scope="session")
def postgres():
    with EmbeddedPostgres(dbname="cli") as pg:
        yield pg


@pytest.fixture(scope="session")
def db(postgres):
    """The sample warehouse: ``db`` for the report functions, ``db.url`` for --db and
    ``db.tables`` as loaded."""
    tables = warehouse.load(postgres.engine, scale=800, seed=31)
    return types.SimpleNamespace(engine=postgres.engine, url=postgres.url, tables=tables)


@pytest.fixture(scope="session")
def period() -> dict:
    """A date range that holds every generated order and transaction."""
    today = dt.date.today()
    return {"start_date": today - dt.timedelta(days=warehouse.DEFAULT_SPAN_DAYS), "end_date": today}


@pytest.fixture(scope="session")
def date_options(period):
    """The command's options for ``period``, none for a report that takes no dates."""

    def options(report: str) -> list[str]:
        if not cli.REPORTS[report].dates:
            return []
        return ["--start", str(period["start_date"]), "--end", str(period["end_date"])]

    return options


@pytest.fixture
def run(capsys, monkeypatch):
    """The command run in-process with the given arguments, environment URL unset."""
    monkeypatch.delenv(cli.ENV_URL, raising=False)

    def run(*argv: str) -> Result:
        status = cli.main(list(argv))
        return Result(status, *capsys.readouterr())

    return run


def _null(value) -> bool:
    return value is None or value is pd.NaT or (isinstance(value, float) and math.isnan(value))


def _key(values) -> tuple:
    return tuple(None if _null(v) or v == "" else str(v) for v in values)


def assert_same_rows(rows: list[dict], frame: pd.DataFrame, keys: list, tol=1e-12) -> None:
    """Rows read back from JSON (values) or CSV and tables (texts) hold the frame's columns
    in order and, matched on ``keys``, its values (numbers to ``tol``)."""
    assert len(rows) == len(frame) > 0, "a comparison over no rows proves nothing"
    by_key = {_key(row[k] for k in keys): row for row in rows}
    assert len(by_key) == len(rows), f"{keys} do not identify the rows"
    for record in frame.to_dict("records"):
        row = by_key[_key(record[k] for k in keys)]
        assert list(row) == list(record)
        for column, want in record.items():
            got, where = row[column], (column, _key(record[k] for k in keys))
            if _null(want):
                assert got in (None, ""), where
            elif isinstance(want, str):
                assert got == want, where
            elif isinstance(want, dt.date):
                assert pd.Timestamp(got) == pd.Timestamp(want), where
            else:
                assert float(got) == pytest.approx(float(want), rel=1e-12, abs=tol), where


@pytest.fixture(scope="session")
def same_rows():
    return assert_same_rows
