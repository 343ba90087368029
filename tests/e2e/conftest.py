"""One PostgreSQL cluster and one sample warehouse for the whole end-to-end run.

The reports run exactly as a host runs them: real pandas, SQLAlchemy and psycopg2
against a throwaway PostgreSQL server, with the reference helper module
``reports.dependencies``. Expected figures are worked out with pandas from the rows
that were loaded.
"""

from __future__ import annotations

import datetime as dt
import importlib
import types

import pytest

from reports import warehouse
from reports.pg import EmbeddedPostgres

# Enough orders that the BIN report's 1000-row limit is reached.
SCALE = 6000
SEED = 20240517


@pytest.fixture(scope="session")
def postgres():
    with EmbeddedPostgres(dbname="warehouse") as pg:
        yield pg


@pytest.fixture(scope="session")
def today() -> dt.date:
    return dt.date.today()


@pytest.fixture(scope="session")
def tables(postgres, today):
    """The generated rows, "schema.table" -> DataFrame, as loaded into the database."""
    return warehouse.load(postgres.engine, scale=SCALE, seed=SEED, today=today)


@pytest.fixture(scope="session")
def db(postgres, tables):
    """The database object a host hands to the reports: anything with ``engine``."""
    return types.SimpleNamespace(engine=postgres.engine)


@pytest.fixture(scope="session")
def orvesta():
    # Imported here rather than at module level, so that a missing build fails the
    # tests that need it and nothing else.
    return importlib.import_module("reports.orvesta")


@pytest.fixture(scope="session")
def tintora():
    return importlib.import_module("reports.tintora")


@pytest.fixture(scope="session")
def period(today):
    """The last 30 days, as a report request."""
    return {"start_date": today - dt.timedelta(days=30), "end_date": today}


@pytest.fixture(scope="session")
def whole_period(today):
    """Every generated order falls in it."""
    return {"start_date": today - dt.timedelta(days=120), "end_date": today + dt.timedelta(days=1)}
