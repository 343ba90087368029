"""The command line: subcommands, options and the checks of single option values.

Values that need one another (a date range, a grouping that must hold a column) are
checked in ``arguments``; a parse error ends the command with one line, not a usage text.
"""

from __future__ import annotations

import argparse
import datetime as dt
import re

from .catalog import COLOR_SCHEMA, ENV_URL, MAX_SCALE, REPORTS, SAMPLE_SCALE, Report
from .errors import UsageError
from .pager import DEFAULT_PAGER

FORMATS = ("table", "csv", "json", "markdown")

__all__ = ["build_parser"]

_PERIODS = (
    "today",
    "yesterday",
    "last_7_days",
    "last_30_days",
    "month_to_date",
    "last_month",
    "year_to_date",
)
_DATE = re.compile(r"\d{4}-\d{2}-\d{2}")


class _Parser(argparse.ArgumentParser):
    """An argument parser whose errors end the command with one line, not a usage text.

    Abbreviated options are refused: a script written with ``--group`` would start to
    fail, or change meaning, once another option beginning with it is added."""

    def __init__(self, *args, **kwargs):
        kwargs.setdefault("allow_abbrev", False)
        super().__init__(*args, **kwargs)
        self.add_argument(
            "--debug",
            action="store_true",
            default=argparse.SUPPRESS,
            help="on an unexpected failure, show the traceback",
        )

    def error(self, message: str):
        raise UsageError(f"{message} (see '{self.prog} --help')", self.prog)


def _date(text: str) -> dt.date:
    try:
        if _DATE.fullmatch(text.strip()):
            return dt.date.fromisoformat(text.strip())
    except ValueError as exc:
        raise argparse.ArgumentTypeError(f"not a date: {text!r} ({exc})") from None
    raise argparse.ArgumentTypeError(f"not a date: {text!r} (expected YYYY-MM-DD)")


def _period(text: str) -> tuple[dt.date, dt.date]:
    from reports.dependencies import _get_interval_date

    name = text.strip().lower()
    today = dt.date.today()
    if name.lstrip("-").isdigit():
        days = int(name)
        if days < 1:
            raise argparse.ArgumentTypeError(f"a period of {text!r} days: give at least 1")
        if days > (today - dt.date.min).days + 1:
            raise argparse.ArgumentTypeError(f"a period of {text!r} days reaches before year 1")
        return _get_interval_date(days, today)
    try:
        return _get_interval_date(name, today)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"unknown period {text!r} (choose from {', '.join(_PERIODS)} or a number of days)"
        ) from None


def _names(text: str) -> list[str]:
    names = [name.strip() for name in text.split(",")]
    if not all(names):
        raise argparse.ArgumentTypeError(f"empty column name in {text!r}")
    return names


def _filter(text: str) -> tuple[str, str]:
    column, equals, value = text.partition("=")
    if not equals or not column.strip():
        raise argparse.ArgumentTypeError(f"expected COLUMN=VALUE, got {text!r}")
    return column.strip(), value


def _positive(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        number = 0
    if number < 1:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, got {text!r}")
    return number


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("reports")
    except PackageNotFoundError:
        return "(not installed)"


def _scale(text: str) -> int:
    number = _positive(text)
    if number > MAX_SCALE:
        raise argparse.ArgumentTypeError(
            f"at most {MAX_SCALE:,} orders in a sample database, got {text!r}"
        )
    return number


def _add_database_options(parser: argparse.ArgumentParser, *, sample: bool = True) -> None:
    group = parser.add_argument_group("database")
    group.add_argument(
        "--db",
        metavar="URL",
        help=f"SQLAlchemy URL of a PostgreSQL database (default: ${ENV_URL}; without "
        "either, a sample database is started for this run and removed afterwards)",
    )
    if sample:
        group.add_argument(
            "--scale",
            type=_scale,
            metavar="N",
            help=f"orders in the sample database (default {SAMPLE_SCALE}, at most "
            f"{MAX_SCALE:,}; not with --db)",
        )


def _add_output_options(parser: argparse.ArgumentParser, *, report: bool = False) -> None:
    group = parser.add_argument_group("output (default: an aligned table on stdout)")
    exclusive = group.add_mutually_exclusive_group()
    exclusive.add_argument(
        "--csv",
        metavar="FILE",
        help="write CSV to FILE ('-' for stdout); FILE appears only once it is complete",
    )
    exclusive.add_argument("--json", action="store_true", help="write JSON to stdout")
    exclusive.add_argument(
        "--format",
        choices=FORMATS,
        help="what to write on stdout: table (default), csv, json, or markdown (a table "
        "to paste into a ticket or wiki)",
    )
    group.add_argument(
        "--null", metavar="TEXT", default="", help="how NULL is shown (default: empty)"
    )
    layout = group.add_mutually_exclusive_group()
    layout.add_argument(
        "--expanded",
        action="store_true",
        help="one block per row, a line per column (as psql's \\x); on a terminal, chosen "
        "by itself when the table is wider than the screen",
    )
    layout.add_argument("--no-expanded", action="store_true", help="never the expanded layout")
    group.add_argument(
        "--no-pager",
        action="store_true",
        help="on a terminal, output longer than the screen goes through $PAGER (default "
        f"'{DEFAULT_PAGER}'); this writes it directly",
    )
    if not report:
        return
    group.add_argument(
        "--limit", type=_positive, metavar="N", help="the first N rows, in the report's order"
    )
    group.add_argument(
        "--columns",
        type=_names,
        action="append",
        metavar="COLUMNS",
        help="result columns to show, in this order, comma-separated or repeated",
    )
    group.add_argument(
        "--sql",
        action="store_true",
        help="print the query the report would run, as the database receives it, and stop "
        "(nothing is run, no server is started)",
    )
    group.add_argument(
        "--chart",
        metavar="FILE",
        help="also draw the report's headline figure per group into FILE.png or FILE.svg "
        "(needs matplotlib: pip install 'reports[charts]')",
    )


def _add_report_parser(commands, report: Report) -> None:
    parser = commands.add_parser(
        report.name,
        help=report.summary,
        description=report.description,
    )
    dates = parser.add_argument_group("date range (default: the current month up to today)")
    # A report that ignores dates still parses them, to refuse them with its own reason.
    helps = (
        "first day, YYYY-MM-DD (default: the first day of the end date's month)",
        "last day (default: today)",
        f"instead of --start/--end: {', '.join(_PERIODS)}, or N for the last N days",
    )
    if not report.dates:
        helps = (argparse.SUPPRESS,) * 3
    dates.add_argument("--start", type=_date, metavar="DATE", help=helps[0])
    dates.add_argument("--end", type=_date, metavar="DATE", help=helps[1])
    dates.add_argument("--period", type=_period, metavar="NAME", help=helps[2])
    query = parser.add_argument_group("query")
    if report.group_by:
        query.add_argument(
            "--group-by",
            type=_names,
            action="append",
            metavar="COLUMNS",
            help=f"grouping columns, comma-separated or repeated (default: "
            f"{','.join(report.group_by)})",
        )
    if report.filters:
        query.add_argument(
            "--filter",
            type=_filter,
            action="append",
            metavar="COLUMN=VALUE",
            help="keep rows whose COLUMN equals VALUE; repeat it for more columns, or for "
            "more values of one column (rows matching any of them)",
        )
    if report.order_by:
        query.add_argument(
            "--order-by",
            type=_names,
            action="append",
            metavar="COLUMNS",
            help="row order, comma-separated or repeated: COLUMN, 'COLUMN desc' or "
            "--order-by=-COLUMN, where COLUMN is a column of the result as the output "
            "names it; double-quote a name with spaces or signs: '\"mc %%\" desc' "
            "(default: the grouping columns)",
        )
    if report.test_cards:
        query.add_argument(
            "--include-test-cards", action="store_true", help="count orders of test cards too"
        )
    _add_database_options(parser)
    _add_output_options(parser, report=True)
    parser.set_defaults(report=report)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="reports",
        description="Run a report, or read a color index table, against a PostgreSQL\n"
        "reporting database or against a sample warehouse started for the purpose.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=f"""\
examples:
  reports affid --period last_30_days --group-by crm_id,affid
  reports mtd --group-by processor --filter crm_id=1 --filter crm_id=2 --json
  reports approval --db postgresql://analyst@dbhost/warehouse --csv approval.csv
  reports affid --sql                  the query it would run, not run
  reports mtd --columns crm_id,revenue_$ --limit 5 --format markdown
  reports columns affid                what affid can group and filter by
  reports colors                       list the color index tables
  export {ENV_URL}=$(reports serve --detach)
  reports stop                         stop the server that serve --detach started

'reports COMMAND --help' describes each command.
Exit status: 0 done; 1 failed (database unreachable, query refused, output not
written); 2 input refused before any database work; 130 Ctrl-C; 143 SIGTERM.""",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", title="commands")
    for report in REPORTS.values():
        _add_report_parser(commands, report)

    columns = commands.add_parser(
        "columns",
        help="list the columns a report can group and filter by, with their types",
        description="Lists the columns of the table a report reads, with their types, from "
        "the database's catalog: the names --group-by and --filter take.",
    )
    columns.add_argument("report_name", metavar="REPORT", choices=list(REPORTS), help="report")
    _add_database_options(columns)
    _add_output_options(columns)

    colors = commands.add_parser(
        "colors",
        help=f"read a color index table of schema {COLOR_SCHEMA}, or list them",
        description=f"Reads a table of schema {COLOR_SCHEMA} keyed by one of its columns, "
        "every value as text; lists the tables and their columns when no TABLE is given.",
    )
    colors.add_argument("table", nargs="?", metavar="TABLE", help="table name")
    colors.add_argument(
        "--key", metavar="COLUMN", help="column that keys the rows (default: the first)"
    )
    _add_database_options(colors)
    _add_output_options(colors)

    serve = commands.add_parser(
        "serve",
        help="start a sample database and print its URL",
        description="Starts a PostgreSQL server holding the sample warehouse and prints its "
        f"URL on stdout, for --db or {ENV_URL}. It runs until Ctrl-C (or SIGTERM); with "
        "--detach the command returns at once and 'reports stop URL' stops the server.",
    )
    serve.add_argument(
        "--scale",
        type=_scale,
        metavar="N",
        help=f"orders (default {SAMPLE_SCALE}, at most {MAX_SCALE:,})",
    )
    serve.add_argument(
        "--detach", action="store_true", help="leave the server running in the background"
    )

    stop = commands.add_parser(
        "stop",
        help="stop a sample database started by serve --detach",
        description="Stops a server started by 'reports serve --detach' and removes its files; "
        "with --all, every such server of this user and what killed runs left behind.",
    )
    stop.add_argument("url", nargs="?", metavar="URL", help=f"its URL (default: ${ENV_URL})")
    stop.add_argument(
        "--all",
        action="store_true",
        help="stop and remove every detached sample server of this user and the sample "
        "servers of runs that were killed, listing each",
    )

    from reports.web.command_line import add_parser as add_web_parser

    add_web_parser(commands, _add_database_options)
    return parser
