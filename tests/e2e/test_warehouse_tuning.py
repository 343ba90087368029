"""The warehouse's indexes and statistics, and the report session settings: the plans
that need an index use it, the statistics reach the planner, the settings hold on every
connection."""

from __future__ import annotations

import contextlib
import re
import types

import pytest
import sqlalchemy
from e2e_support import REPORT_CALLS
from sqlalchemy import event

from reports.session_settings import REPORT_SESSION_SETTINGS, configure_report_engine


@pytest.fixture(scope="module")
def report_engine(postgres, tables):
    engine = sqlalchemy.create_engine(postgres.url)
    configure_report_engine(engine)
    yield engine
    engine.dispose()


def _statement_of(engine, call):
    """The report's statement, with its parameters (pandas may look up the text as a
    table name first)."""
    sent = []

    def record(conn, cursor, statement, parameters, context, executemany):
        sent.append((statement, parameters))

    event.listen(engine, "before_cursor_execute", record)
    try:
        call(types.SimpleNamespace(engine=engine))
    finally:
        event.remove(engine, "before_cursor_execute", record)
    statement, parameters = sent[-1]
    return statement, dict(parameters)


def _plan(engine, statement, parameters, *settings) -> str:
    with contextlib.closing(engine.raw_connection()) as raw, raw.cursor() as cur:
        for setting in settings:
            cur.execute(setting)
        cur.execute("EXPLAIN (ANALYZE, BUFFERS) " + statement, parameters)
        plan = "\n".join(row[0] for row in cur.fetchall())
        raw.rollback()
    return plan


# On a warehouse this small a sequential scan is the cheaper plan, so the test turns
# sequential scans off: what it asks is whether the report's own conditions reach the
# index (a wrong column, expression or partial-index predicate would not).
INDEXES = {
    "inactive": ["recurring_orders_inactive_idx"],
    "continuity": ["continuity_upcoming_idx"],
    "approval": ["order_cycles_month_date_brin", "orders_month_date_brin"],
    "bin": ["cpa_orders_acquisition_date_brin"],
    "affid": ["cpa_orders_acquisition_date_brin"],
    "mtd": ["ui_revenue_transactions_date_brin"],
}


@pytest.mark.parametrize("name", INDEXES)
def test_report_plans_use_their_indexes(orvesta, report_engine, period, name):
    call = REPORT_CALLS[name]
    statement, parameters = _statement_of(report_engine, lambda db: call(orvesta, db, period))
    plan = _plan(report_engine, statement, parameters, "SET enable_seqscan = off")
    for index in INDEXES[name]:
        assert re.search(rf"\b{index}\b", plan), plan


@pytest.mark.parametrize(
    "table, columns",
    [
        ("processing.recurring_orders", "crm_id, destination_gateway"),
        ("reporting.continuity", "crm_id, gateway_id"),
        ("reporting.ui_revenue_transactions", "crm_id, mid_id, processor"),
    ],
)
def test_group_estimates_know_that_gateways_belong_to_one_instance(postgres, table, columns):
    # Without the extended statistics the planner multiplies the columns' distinct
    # counts and expects several times the groups there are.
    with postgres.engine.connect() as conn:
        plan = conn.execute(
            sqlalchemy.text(
                f"EXPLAIN (ANALYZE, FORMAT JSON) SELECT {columns} FROM {table} GROUP BY {columns}"
            )
        ).scalar_one()[0]["Plan"]
    estimated, actual = plan["Plan Rows"], plan["Actual Rows"]
    assert actual / 1.5 <= estimated <= actual * 1.5, (estimated, actual)


def test_settings_hold_on_every_connection_after_a_rollback(report_engine):
    for _ in range(2):
        with report_engine.connect() as conn:
            conn.rollback()
            for name, value in REPORT_SESSION_SETTINGS.items():
                shown = conn.execute(sqlalchemy.text(f"SHOW {name}")).scalar_one()
                assert shown == value, name
        report_engine.dispose()  # the second round opens a new connection
