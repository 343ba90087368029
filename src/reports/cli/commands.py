"""The commands that read the database: a report, and the color index tables."""

from __future__ import annotations

from ..progress import Progress
from .arguments import check_arguments, order_result, report_arguments, result_ordering
from .catalog import COLOR_SCHEMA, Report
from .charts import check_chart, draw_chart
from .columns import check_columns, check_filter_names, nearest_hint
from .database import check_database_options, database, query_errors
from .emit import check_output, emit, write_stdout
from .errors import CommandError, UsageError
from .signals import interruptible_queries


def _shaped(frame, args, labels: int):
    """The rows and columns asked for with --columns and --limit, and how many of the
    leading columns label a row."""
    names = [name for names in args.columns or [] for name in names]
    if names:
        known = [str(column) for column in frame.columns]
        for name in names:
            if name not in known:
                raise UsageError(
                    f"--columns: no result column {name!r} "
                    f"({nearest_hint(name, known)}columns: {', '.join(known)})"
                )
        if len(set(names)) < len(names):
            raise UsageError("--columns names a column twice")
        leading = set(known[:labels])
        labels = next((i for i, name in enumerate(names) if name not in leading), len(names))
        frame = frame[names]
    if args.limit is not None:
        frame = frame.head(args.limit)
    return frame, labels


def run_report(args, progress: Progress) -> None:
    from reports import orvesta

    report: Report = args.report
    kwargs = report_arguments(args)
    check_database_options(args)
    check_output(args)
    if args.chart is not None:
        check_chart(args.chart, report)
    function = getattr(orvesta, report.function_name)
    text = check_arguments(function, kwargs)
    check_filter_names(report, kwargs)
    if args.sql:
        write_stdout(text if text.endswith("\n") else text + "\n")
        return
    with database(args, progress) as db:
        check_columns(report, kwargs, db.engine)
        with (
            progress.step(f"running the {report.name} report"),
            query_errors(report.columns_hint),
            interruptible_queries(),
        ):
            frame = function(db, **kwargs)
    ordering = result_ordering(args)
    if ordering:
        frame = order_result(frame, ordering)
    labels = report.labels(kwargs.get("group_by", ()))
    if args.chart is not None:
        with progress.step(f"drawing {args.chart}"):
            draw_chart(args.chart, report, frame, labels, kwargs["reporting_query"])
    frame, labels = _shaped(frame, args, labels)
    emit(args, frame, labels=labels, progress=progress)


def _color_tables(engine) -> dict[str, list[str]]:
    """The tables (and views) of the color index schema with their columns, in order."""
    import sqlalchemy

    query = sqlalchemy.text(
        "SELECT table_name, column_name FROM information_schema.columns "
        "WHERE table_schema = :schema ORDER BY table_name, ordinal_position"
    )
    tables: dict[str, list[str]] = {}
    with engine.connect() as connection:
        for table, column in connection.execute(query, {"schema": COLOR_SCHEMA}):
            tables.setdefault(table, []).append(column)
    return tables


def run_colors(args, progress: Progress) -> None:
    import pandas as pd

    if args.table is None and args.key is not None:
        raise UsageError("--key needs a TABLE")
    check_database_options(args)
    check_output(args)
    with database(args, progress) as db, query_errors():
        tables = _color_tables(db.engine)
        if args.table is None:
            listing = [{"table": name, "columns": columns} for name, columns in tables.items()]
            frame = pd.DataFrame(
                [(name, ", ".join(columns)) for name, columns in tables.items()],
                columns=["table", "columns"],
            )
            emit(args, frame, labels=1, json_data=listing, progress=progress)
            return
        columns = tables.get(args.table)
        if columns is None:
            known = ", ".join(tables) or "none"
            raise CommandError(
                f"no table {args.table!r} in schema {COLOR_SCHEMA} (tables: {known})"
            )
        key = args.key if args.key is not None else columns[0]
        if key not in columns:
            raise CommandError(
                f"table {COLOR_SCHEMA}.{args.table} has no column {key!r} "
                f"(columns: {', '.join(columns)})"
            )
        if args.json:
            # JSON gives the rows as Tintora.get returns them, every value as text.
            from reports.tintora import Tintora

            with progress.step(f"reading {COLOR_SCHEMA}.{args.table}"):
                rows = Tintora(db).get(args.table, key)
            emit(args, None, labels=1, json_data=rows, progress=progress)
            return
        with progress.step(f"reading {COLOR_SCHEMA}.{args.table}"):
            frame = _color_rows(db.engine, args.table, [key, *(c for c in columns if c != key)])
    emit(args, frame, labels=1, progress=progress)


def _color_rows(engine, table: str, columns: list[str]):
    """A color index table's rows with their values as the database types them (the
    table and CSV show NULL and booleans as the reports do), ordered by the first of
    ``columns``; the names come from the catalog."""
    import pandas as pd

    quote = engine.dialect.identifier_preparer.quote
    names = ", ".join(quote(column) for column in columns)
    query = (
        f"SELECT {names} FROM {quote(COLOR_SCHEMA)}.{quote(table)} "
        f"ORDER BY {quote(columns[0])} NULLS LAST"
    )
    with engine.connect() as connection:
        return pd.read_sql_query(query, connection, coerce_float=False)
