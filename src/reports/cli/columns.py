"""The columns a report can group and filter by: listed from the database's catalog
(``reports columns REPORT``), and a mistyped name refused with the nearest ones before
the report's query runs."""

from __future__ import annotations

import difflib

from ..progress import Progress
from .catalog import REPORTS, Report
from .database import check_database_options, database, query_errors
from .emit import check_output, emit
from .errors import CommandError, UsageError

__all__ = ["check_columns", "nearest_hint", "run_columns", "source_columns"]


def source_columns(engine, source: str) -> dict[str, str]:
    """The columns of table ``source`` (schema.name) with their types, in table order;
    empty when the database has no such table (or hides it)."""
    import sqlalchemy

    schema, _, table = source.partition(".")
    query = sqlalchemy.text(
        "SELECT column_name, data_type FROM information_schema.columns "
        "WHERE table_schema = :schema AND table_name = :table ORDER BY ordinal_position"
    )
    with engine.connect() as connection:
        return dict(connection.execute(query, {"schema": schema, "table": table}).all())


def _as_named(name: str) -> str:
    # An unquoted name means its lower-case form, as PostgreSQL folds it.
    return name[1:-1] if name.startswith('"') and name.endswith('"') else name.lower()


def nearest_hint(name: str, known) -> str:
    """ "did you mean ...? " with the names of ``known`` nearest to ``name``, or nothing."""
    nearest = difflib.get_close_matches(name, list(known), n=3, cutoff=0.6)
    return f"did you mean {', '.join(nearest)}? " if nearest else ""


def _refuse(report: Report, what: str, name: str, known) -> None:
    hint = nearest_hint(_as_named(name), known)
    where = f"in {report.source}" if report.source else f"among {', '.join(known)}"
    raise UsageError(
        f"no {what} column {name!r} {where} ({hint}see 'reports columns {report.name}')"
    )


def check_filter_names(report: Report, kwargs: dict) -> None:
    """Filters that name result columns are checked before any database work."""
    if report.filter_names:
        for name in kwargs.get("filters", {}):
            if _as_named(name) not in report.filter_names:
                _refuse(report, "filter", name, report.filter_names)


def check_columns(report: Report, kwargs: dict, engine) -> None:
    """Refuse grouping and filter columns that the report's table does not have."""
    if report.source is None:
        return
    known = source_columns(engine, report.source)
    if not known:  # not this layout, or not visible to this user: the query will say
        return
    for what, names in (
        ("grouping", kwargs.get("group_by", ())),
        ("filter", kwargs.get("filters", {})),
    ):
        for name in names:
            if _as_named(name) not in known:
                _refuse(report, what, name, known)


def run_columns(args, progress: Progress) -> None:
    import pandas as pd

    report = REPORTS[args.report_name]
    if report.source is None and not report.filter_names:
        raise UsageError(f"the {report.name} report takes no grouping or filter columns")
    check_database_options(args)
    check_output(args)
    if report.source is None:
        frame = pd.DataFrame({"column": report.filter_names, "type": "result column"})
    else:
        with database(args, progress) as db, query_errors():
            known = source_columns(db.engine, report.source)
        if not known:
            raise CommandError(f"the database has no table {report.source}")
        frame = pd.DataFrame({"column": list(known), "type": list(known.values())})
    emit(args, frame, labels=1, progress=progress)
