"""PostgreSQL settings for the sessions that run reports.

    engine = sqlalchemy.create_engine(url)
    configure_report_engine(engine)

Each setting was measured with EXPLAIN (ANALYZE, BUFFERS) at a million orders, after
the warehouse had the indexes and statistics it needs (see reports.warehouse's
tuning.sql): what those could not mend is set here. A host application gives the same
settings to the role that runs reports instead, e.g.
``ALTER ROLE analyst SET work_mem = '16MB'``.
"""

from __future__ import annotations

import sqlalchemy
from sqlalchemy import event

__all__ = ["REPORT_SESSION_SETTINGS", "configure_report_engine"]

#: name -> value, applied with SET to every connection of a report engine.
REPORT_SESSION_SETTINGS = {
    # The approval report's hash join and grouping sort, and the continuity and
    # month-to-date aggregates, spill to disk at the default 4MB once their window holds
    # a few hundred thousand rows; 16MB keeps them in memory (approval 1.4 times faster
    # with a million orders in its window). More buys nothing: the BIN report's sorts
    # for count(DISTINCT ...) are about a tenth slower in memory than on disk.
    "work_mem": "16MB",
    # The inactive report joins two subqueries (a GROUP BY and a DISTINCT ON) whose
    # columns no statistics reach: the planner expects a dozen rows where thousands come
    # and reorders the joins into a nested loop comparing every pair, or a hash join on
    # the instance alone that builds millions of rows (1 to 3 s instead of 0.05 s). No
    # index or statistic reaches inside those subqueries. Every report writes its joins
    # in an order that joins on keys step by step; keeping that order keeps the plans
    # sound whatever the estimates.
    "join_collapse_limit": "1",
}

_SET_TEXT = "".join(f"SET {name} = '{value}';" for name, value in REPORT_SESSION_SETTINGS.items())


def _apply_settings(dbapi_connection, connection_record) -> None:
    # SET outside a transaction, so that no rollback of the caller's undoes it.
    autocommit = dbapi_connection.autocommit
    dbapi_connection.autocommit = True
    try:
        with dbapi_connection.cursor() as cursor:
            cursor.execute(_SET_TEXT)
    finally:
        dbapi_connection.autocommit = autocommit


def configure_report_engine(engine: sqlalchemy.Engine) -> None:
    """Apply ``REPORT_SESSION_SETTINGS`` to every connection ``engine`` opens from now
    on (a psycopg2 engine). Calling it again for the same engine changes nothing."""
    if not event.contains(engine, "connect", _apply_settings):
        event.listen(engine, "connect", _apply_settings)
