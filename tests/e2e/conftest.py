"""One PostgreSQL cluster with one sample warehouse for the whole end-to-end run: the
reports run as a host runs them, and expected figures are worked out in pandas from
the rows that were loaded."""

from __future__ import annotations

import datetime as dt
import importlib
import types

import pytest

from reports import warehouse
from reports.pg import EmbeddedPostgres

SCALE = 6000  # enough orders for the BIN report's 1000-row limit
SEED = 20240517
# Four months of history: the tests' 30-day windows hold a quarter of the orders,
# enough for every case they look for; the generator's default span is two years.
SPAN_DAYS = 120


@pytest.fixture(scope="session")
def postgres():
    with EmbeddedPostgres(dbname="warehouse") as pg:
        yield pg


@pytest.fixture(scope="session")
def today() -> dt.date:
    return dt.date.today()


@pytest.fixture(scope="session")
def tables(postgres, today):
    """The generated rows as loaded, "schema.table" -> DataFrame."""
    return warehouse.load(postgres.engine, scale=SCALE, seed=SEED, today=today, span_days=SPAN_DAYS)


@pytest.fixture(scope="session")
def db(postgres, tables):
    """What a host hands to the reports: anything with ``engine``."""
    return types.SimpleNamespace(engine=postgres.engine)


# Imported by fixtures, so that a missing build fails only the tests that need it.
@pytest.fixture(scope="session")
def orvesta():
    return importlib.import_module("reports.orvesta")


@pytest.fixture(scope="session")
def tintora():
    return importlib.import_module("reports.tintora")


@pytest.fixture(scope="session")
def period(today):
    """The last 30 days."""
    return {"start_date": today - dt.timedelta(days=30), "end_date": today}


@pytest.fixture(scope="session")
def whole_period(today):
    """Holds every generated order."""
    start = today - dt.timedelta(days=SPAN_DAYS)
    return {"start_date": start, "end_date": today + dt.timedelta(days=1)}
