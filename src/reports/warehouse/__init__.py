"""The sample reporting warehouse: its schema and deterministic sample data.

    engine = sqlalchemy.create_engine(url)
    tables = reports.warehouse.load(engine, scale=2000, seed=7)

``load`` (re)creates every schema and relation that the report queries read, fills
them with the rows of ``generate``, gives them the indexes and statistics of
``tuning_sql`` (``tune``) and returns those rows, one pandas DataFrame per table, so
that callers can work out by other means what a report should return.

The data are a function of ``scale``, ``seed``, ``today`` and ``span_days`` only. They
come from a model of a card-not-present subscription business: customers arrive through
affiliates and campaigns, take a trial (cycle 0, step 1, sometimes an upsell as step 2)
and are then billed monthly until they cancel or their card keeps declining; declined
attempts are retried on later days (each attempt is an order); refunds, alerts and
chargebacks follow approved orders; costs follow revenue; processors, corporations and
MIDs differ in approval, one gateway approves about a third of what its peers do and
another declines everything, and one affiliate brings customers who decline, cancel
and dispute more. ``scale`` is the number of orders (order cycles and CRM orders are the
same orders); subscriptions, continuity rows and money movements follow from them, and
gateways, BINs and blacklist entries grow with it. A few thousand orders suit tests, a
million a benchmark.

Dates are laid out around ``today`` (the current date by default) as a warehouse that
has been running for ``span_days`` (two years by default) holds them: customers arrive
over the ``span_days`` up to today, continuity cycles run to six weeks after today, so
that a report's date window reads its own slice. Tables lie in date order, as rows are
stored in the order they arrive (the cohort table, reporting.cpa_orders, in order of
acquisition). The rows cover the cases the reports must get right: inactive recurring
orders with and without retry dates and with unknown (NULL) ``active``; gateways lacking
settings, cap or trailing-cap rows; MIDs without a corporation; every card type, test
cards ('TESTCARD') and unknown card types; cap-fill, pp-customer, pending and retried
orders; declines, a gateway whose cycles are all declined; blocked, shaved, neutral and
unlisted BINs, an archived instance; chargebacks, alerts per provider and refunds without
one; revenue reversals; continuity cycles on, before and after today with retry counts
below, at and above 6; and a few color index tables, one of them empty.
"""

from __future__ import annotations

import datetime as dt
import io
from collections.abc import Mapping
from importlib import resources

import pandas as pd
import sqlalchemy
from psycopg2 import sql

from ._generate import generate_tables

__all__ = [
    "DEFAULT_SPAN_DAYS",
    "SCHEMAS",
    "TABLES",
    "copy_frames",
    "create_schema",
    "generate",
    "load",
    "schema_sql",
    "tune",
    "tuning_sql",
]

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
    "ui_tintora.chargeback_bands",
    "ui_tintora.gateway_status_colors",
    "ui_tintora.empty_palette",
)

#: Days of history the generated warehouse holds unless told otherwise: two years.
DEFAULT_SPAN_DAYS = 730

_NULL = r"\N"
_COPY_CHUNK_ROWS = 200_000


def schema_sql() -> str:
    """The DDL text that creates the schemas and tables, with their primary keys."""
    return resources.files(__package__).joinpath("schema.sql").read_text(encoding="utf-8")


def tuning_sql() -> str:
    """The DDL text that creates the indexes and extended statistics the reports need."""
    return resources.files(__package__).joinpath("tuning.sql").read_text(encoding="utf-8")


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


def _vacuum_analyze(engine: sqlalchemy.Engine) -> None:
    raw = engine.raw_connection()
    dbapi = raw.driver_connection
    try:
        dbapi.autocommit = True  # VACUUM refuses to run inside a transaction
        with dbapi.cursor() as cur:
            cur.execute("VACUUM (ANALYZE)")
    finally:
        dbapi.autocommit = False
        raw.close()


def create_schema(engine: sqlalchemy.Engine, *, replace: bool = False) -> None:
    """Create the warehouse schemas and tables in ``engine``'s database.

    With ``replace`` the seven schemas are dropped first, with everything in them.
    Without it, the tables must not exist yet.
    """
    drop = ""
    if replace:
        drop = "".join(f"DROP SCHEMA IF EXISTS {name} CASCADE;\n" for name in SCHEMAS)
    _execute_script(engine, drop + schema_sql())


def tune(engine: sqlalchemy.Engine) -> None:
    """Give the loaded warehouse the indexes and statistics of ``tuning_sql``, then
    VACUUM (ANALYZE) it: statistics for the planner, the visibility map for index-only
    scans."""
    _execute_script(engine, tuning_sql())
    _vacuum_analyze(engine)


def _check_count(name: str, value: object, least: int) -> None:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < least:
        raise ValueError(f"{name} must be at least {least}, got {value}")


def generate(
    scale: int = 500,
    seed: int = 0,
    *,
    today: dt.date | None = None,
    span_days: int = DEFAULT_SPAN_DAYS,
) -> dict[str, pd.DataFrame]:
    """Sample rows for every table of ``TABLES``, as "schema.table" -> DataFrame.

    Each frame's columns are table columns; dates and timestamps are pandas datetimes,
    nullable integers and booleans use pandas' nullable dtypes, missing values are
    None/NaN/NA. The result depends only on the arguments.
    """
    _check_count("scale", scale, 1)
    _check_count("span_days", span_days, 1)
    if today is None:
        today = dt.date.today()
    elif isinstance(today, dt.datetime):
        today = today.date()
    elif not isinstance(today, dt.date):
        raise TypeError(f"today must be a date, not {type(today).__name__}")
    tables = generate_tables(scale, seed, today, span_days)
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
    span_days: int = DEFAULT_SPAN_DAYS,
    replace: bool = True,
    tuned: bool = True,
) -> dict[str, pd.DataFrame]:
    """Create the warehouse in ``engine``'s database, fill it with ``generate(scale,
    seed, today=today, span_days=span_days)`` and return those frames. ``replace`` drops
    the warehouse schemas first (see ``create_schema``); ``tuned=False`` leaves the
    tables with their primary keys and plain statistics (``ANALYZE``) instead of calling
    ``tune``."""
    tables = generate(scale, seed, today=today, span_days=span_days)
    create_schema(engine, replace=replace)
    copy_frames(engine, tables)
    if tuned:
        tune(engine)
    else:
        _execute_script(engine, "ANALYZE;")
    return tables
