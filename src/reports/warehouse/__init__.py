"""The sample reporting warehouse: its schema and deterministic sample data.

    engine = sqlalchemy.create_engine(url)
    tables = reports.warehouse.load(engine, scale=2000, seed=7)

``load`` (re)creates every schema and relation that the report queries read, fills
them with the rows of ``generate`` and returns those rows, one pandas DataFrame per
table, so that callers can work out by other means what a report should return.

The data are a function of ``scale``, ``seed`` and ``today`` only. ``scale`` is the
number of orders (and of recurring orders, order cycles and continuity rows; revenue
transactions are twice as many); gateways, BINs and blacklist entries grow with it.
A few hundred orders suit tests, a million a benchmark.

Dates are laid out around ``today`` (the current date by default): orders fall in the
90 days up to it, revenue transactions in the 60 days up to it, continuity cycles from
three weeks before to six weeks after it. The rows cover the cases the reports must get
right: inactive recurring orders with and without retry dates and with unknown
(NULL) ``active``; gateways lacking steps, settings, cap or trailing-cap rows; MIDs
without a corporation; every card type, test cards ('TESTCARD') and unknown card types;
cap-fill, pp-customer, pending and retried orders; declines, a gateway whose cycles are
all declined; blocked, shaved, neutral and unlisted BINs, an archived instance;
chargebacks, alerts per provider and refunds without one; revenue reversals; continuity
cycles on, before and after today with retry counts below, at and above 6; and a few
color index tables, one of them empty.
"""

from __future__ import annotations

import datetime as dt
import io
from collections.abc import Mapping
from importlib import resources

import pandas as pd
import sqlalchemy
from psycopg2 import sql

from . import report_colors
from ._generate import generate_tables

__all__ = ["SCHEMAS", "TABLES", "copy_frames", "create_schema", "generate", "load", "schema_sql"]

#: The schemas that the warehouse consists of.
SCHEMAS = (
    "processing",
    "reporting",
    "augmented_data",
    "crm_global",
    "ui_54407332_clients",
    "ui_54407332_bins",
    "ui_tintora",
)

#: Every table, as "schema.table", in the order ``generate`` returns them.
TABLES = (
    "ui_54407332_clients.instance_data",
    "ui_54407332_clients.corps",
    "ui_54407332_clients.mids",
    "ui_54407332_clients.steps",
    "ui_54407332_clients.gateway_settings",
    "processing.cap",
    "processing.trailing_cap",
    "ui_54407332_bins.bin_blacklist",
    "processing.recurring_orders",
    "reporting.continuity",
    "augmented_data.order_cycles",
    "crm_global.orders",
    "reporting.cpa_orders",
    "reporting.ui_revenue_transactions",
    "ui_tintora.approval_bands",
    "ui_tintora.bin_category_colors",
    "ui_tintora.status_colors",
    "ui_tintora.empty_palette",
)

_NULL = r"\N"
_COPY_CHUNK_ROWS = 200_000


def schema_sql() -> str:
    """The DDL text that creates the schemas, tables and indexes."""
    return resources.files(__package__).joinpath("schema.sql").read_text(encoding="utf-8")


def _execute_script(engine: sqlalchemy.Engine, text: str) -> None:
    # Straight to the DBAPI cursor without parameters, so that nothing in the text is
    # taken for a parameter marker.
    raw = engine.raw_connection()
    try:
        with raw.cursor() as cur:
            cur.execute(text)
        raw.commit()
    finally:
        raw.close()


def create_schema(engine: sqlalchemy.Engine, *, replace: bool = False) -> None:
    """Create the warehouse schemas, tables and indexes in ``engine``'s database.

    With ``replace`` the seven schemas are dropped first, with everything in them.
    Without it, the tables must not exist yet.
    """
    drop = ""
    if replace:
        drop = "".join(f"DROP SCHEMA IF EXISTS {name} CASCADE;\n" for name in SCHEMAS)
    _execute_script(engine, drop + schema_sql())


def generate(
    scale: int = 500, seed: int = 0, *, today: dt.date | None = None
) -> dict[str, pd.DataFrame]:
    """Sample rows for every table of ``TABLES``, as "schema.table" -> DataFrame.

    Each frame's columns are table columns; dates and timestamps are pandas datetimes,
    nullable integers and booleans use pandas' nullable dtypes, missing values are
    None/NaN/NA. The result depends only on the arguments.
    """
    if isinstance(scale, bool) or not isinstance(scale, int):
        raise TypeError(f"scale must be an int, not {type(scale).__name__}")
    if scale < 1:
        raise ValueError(f"scale must be at least 1, got {scale}")
    if today is None:
        today = dt.date.today()
    elif isinstance(today, dt.datetime):
        today = today.date()
    elif not isinstance(today, dt.date):
        raise TypeError(f"today must be a date, not {type(today).__name__}")
    tables = generate_tables(scale, seed, today)
    return {name: tables[name] for name in TABLES}


def copy_frames(engine: sqlalchemy.Engine, frames: Mapping[str, pd.DataFrame]) -> None:
    """Append each frame to its table ("schema.table" -> frame) with COPY, in one
    transaction. Frame columns must be table columns; text values must not be the
    two characters backslash and N, which stand for NULL in the copied text."""
    raw = engine.raw_connection()
    try:
        with raw.cursor() as cur:
            for name, frame in frames.items():
                schema, table = name.split(".")
                statement = sql.SQL("COPY {}.{} ({}) FROM STDIN WITH (FORMAT csv, NULL {})").format(
                    sql.Identifier(schema),
                    sql.Identifier(table),
                    sql.SQL(", ").join(map(sql.Identifier, frame.columns)),
                    sql.Literal(_NULL),
                )
                for start in range(0, max(len(frame), 1), _COPY_CHUNK_ROWS):
                    chunk = frame.iloc[start : start + _COPY_CHUNK_ROWS]
                    buf = io.StringIO()
                    chunk.to_csv(buf, index=False, header=False, na_rep=_NULL)
                    buf.seek(0)
                    cur.copy_expert(statement, buf)
        raw.commit()
    finally:
        raw.close()


def load(
    engine: sqlalchemy.Engine,
    scale: int = 500,
    seed: int = 0,
    *,
    today: dt.date | None = None,
    replace: bool = True,
) -> dict[str, pd.DataFrame]:
    """Create the warehouse in ``engine``'s database, fill it with ``generate(scale,
    seed, today=today)`` and the color tables of ``report_colors``, and return those
    frames. ``replace`` drops the warehouse schemas first (see ``create_schema``)."""
    tables = generate(scale, seed, today=today)
    create_schema(engine, replace=replace)
    copy_frames(engine, tables)
    tables.update(report_colors.load_report_colors(engine))
    _execute_script(engine, "ANALYZE;")
    return tables
