"""Everything the web host takes from the ``reports`` command, in one place.

The pages accept exactly what the command accepts: a form is turned into the command's
own arguments and checked by its own parser and argument checks, so a value the command
refuses is refused here with the same message. Numbers are shown as the command's table
shows them, downloads are the command's CSV and JSON output, rows the command orders
after the query are ordered the same way, and the chart is the command's --chart. When
the command's modules change, this is the only file of the web host that follows.
"""

from __future__ import annotations

import contextlib
import dataclasses
import datetime as dt
import functools
import json
import re
import tempfile
import warnings
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path

from reports import output
from reports.cli import arguments, catalog, columns, database, parser
from reports.cli.errors import CommandError, UsageError

__all__ = [
    "PERIODS",
    "REPORTS",
    "CheckedRequest",
    "CommandError",
    "UsageError",
    "cell_texts",
    "chart_svg",
    "check_request",
    "check_source_columns",
    "csv_text",
    "database_label",
    "database_message",
    "json_text",
    "ordered",
    "sample_or_given_database",
]

REPORTS = catalog.REPORTS
PERIODS = parser._PERIODS

# The command names its options in messages; the page names its fields.
_OPTION_WORDS = {
    "--start": "start",
    "--end": "end",
    "--period": "period",
    "--group-by": "grouping",
    "--filter": "filter",
    "--order-by": "ordering",
}
_SEE_HELP = re.compile(r"\s*\(see '[^']*--help'\)$")
_SEE_COLUMNS = re.compile(r"\s*see 'reports columns \w+'")
_ARGUMENT_PREFIX = re.compile(r"^argument (?:--[\w-]+/)?(--[\w-]+): ")


@dataclasses.dataclass(frozen=True)
class CheckedRequest:
    """A report request that passed the command's checks, and its query text."""

    report: catalog.Report
    function: Callable
    kwargs: dict
    sql: str
    #: The ordering the command applies to the result rather than in the query.
    result_ordering: list | None

    @property
    def start(self) -> dt.date:
        return self.kwargs["reporting_query"]["start_date"]

    @property
    def end(self) -> dt.date:
        return self.kwargs["reporting_query"]["end_date"]

    @property
    def labels(self) -> int:
        return self.report.labels(self.kwargs.get("group_by", ()))


def _page_message(message: str) -> str:
    message = _SEE_HELP.sub("", message)
    message = _SEE_COLUMNS.sub("", message).replace("? )", "?)").replace(" ()", "")
    message = _ARGUMENT_PREFIX.sub(lambda m: f"{_OPTION_WORDS.get(m[1], m[1])}: ", message)
    for option, word in _OPTION_WORDS.items():
        message = re.sub(rf"{re.escape(option)}\b", word, message)
    return message


@functools.cache
def _parser():
    # Built once: building it costs milliseconds, parsing leaves it unchanged.
    return parser.build_parser()


# -- the query text -----------------------------------------------------------------------


class _CapturingConnection:
    """A DB-API connection as pandas sees one: each statement it is asked to run is kept
    and refused, so that no database is ever reached.

    The command captures its --sql text by swapping the report module's ``pd`` for the
    length of the call; a server runs other reports on other threads meanwhile, which
    would find the stand-in. This stand-in goes in through the database object instead,
    which belongs to this one call."""

    def __init__(self):
        self.statements: list[str] = []

    def cursor(self):
        return self

    def execute(self, statement, *args):
        self.statements.append(str(statement))
        raise CommandError("captured")

    def rollback(self):
        pass

    def close(self):
        pass


def _query_text(function: Callable, kwargs: dict) -> str:
    """The query ``function`` runs for ``kwargs``, as the database receives it; input the
    report refuses ends as a UsageError, as in the command's check_arguments."""
    connection = _CapturingConnection()
    holder = type("StandIn", (), {"engine": connection})()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # pandas warns about a connection it does not know
            function(holder, **kwargs)
    except (ValueError, TypeError) as exc:
        if not connection.statements:
            raise UsageError(str(exc)) from None
    except Exception:
        if not connection.statements:
            raise
    if not connection.statements:
        raise CommandError(f"{function.__name__} ran no query")
    # psycopg2 reads "%%" as "%": the query is sent with an (empty) parameter set.
    return connection.statements[0].replace("%%", "%")


def check_request(
    report_name: str,
    *,
    start: str = "",
    end: str = "",
    period: str = "",
    group_by: str = "",
    filters: Sequence[tuple[str, str]] = (),
    order_by: str = "",
    include_test_cards: bool = False,
) -> CheckedRequest:
    """The report call for a form's fields, checked as the command checks its arguments;
    UsageError (with a message that names the form's fields) when refused. Empty fields
    take the command's defaults; ``filters`` are (column, value) pairs."""
    report = REPORTS[report_name]
    # Every value as --option=VALUE, so that none is ever read as an option of its own.
    argv = [report.name]
    for option, value in (("--start", start), ("--end", end), ("--period", period)):
        if value.strip():
            argv.append(f"{option}={value.strip()}")
    if group_by.strip() and report.group_by:
        argv.append(f"--group-by={group_by.strip()}")
    if report.filters:
        argv.extend(f"--filter={column}={value}" for column, value in filters)
    elif filters:
        raise UsageError(f"the {report.name} report takes no filters")
    if order_by.strip() and report.order_by:
        argv.append(f"--order-by={order_by.strip()}")
    if include_test_cards and report.test_cards:
        argv.append("--include-test-cards")
    try:
        args, extras = _parser().parse_known_args(argv)
        if extras:
            raise UsageError(f"not understood: {' '.join(extras)}")
        kwargs = arguments.report_arguments(args)
        from reports import orvesta

        function = getattr(orvesta, report.function_name)
        sql = _query_text(function, kwargs)
        columns.check_filter_names(report, kwargs)
        ordering = arguments.result_ordering(args)
    except UsageError as exc:
        raise UsageError(_page_message(str(exc))) from None
    return CheckedRequest(report, function, kwargs, sql, ordering)


def check_source_columns(checked: CheckedRequest, engine) -> None:
    """Refuse grouping and filter columns the report's table lacks, naming the nearest
    ones, as the command does once it has a database."""
    try:
        columns.check_columns(checked.report, checked.kwargs, engine)
    except UsageError as exc:
        raise UsageError(_page_message(str(exc))) from None


def ordered(checked: CheckedRequest, frame):
    """The result in the order the command gives it."""
    if checked.result_ordering:
        return arguments.order_result(frame, checked.result_ordering)
    return frame


# -- the database -------------------------------------------------------------------------


def database_message(exc: BaseException, checked: CheckedRequest | None = None) -> str:
    """One line for a failed query: the database's own message, with the command's hint
    on where the columns come from when a column is unknown."""
    message = database.database_message(exc)
    orig = getattr(exc, "orig", None)
    if checked is not None and getattr(orig, "pgcode", None) == "42703":
        if checked.report.columns_hint:
            message += f" ({checked.report.columns_hint})"
    return f"the query failed: {message}"


@contextlib.contextmanager
def sample_or_given_database(args, progress) -> Iterator:
    """The command's database for the web server's lifetime: --db, the environment URL, or
    a sample warehouse started and removed as the command does."""
    database.check_database_options(args)
    with database.database(args, progress) as db:
        yield db


def database_label(args) -> str:
    """Where the rows come from, for the page header."""
    target = database.database_url(args)
    if target is None:
        return "sample warehouse (made-up data)"
    from sqlalchemy.engine import make_url

    try:
        return make_url(target[0]).render_as_string(hide_password=True)
    except Exception:
        return target[1]


# -- output -------------------------------------------------------------------------------


def cell_texts(name: str, values: list) -> tuple[list[str], bool]:
    """A result column as the command's table shows it, and whether it is numeric."""
    return output._column_cells(name, values)


def csv_text(frame) -> str:
    """The command's --csv output for ``frame``."""
    return output.format_csv(frame)


def json_text(frame) -> str:
    """The command's --json output for ``frame``."""
    return json.dumps(output.frame_records(frame), indent=2, ensure_ascii=False) + "\n"


def chart_svg(checked: CheckedRequest, frame) -> bytes:
    """The command's --chart drawing of ``frame`` as SVG; CommandError when the result
    cannot be drawn, UsageError when matplotlib is missing."""
    from reports.cli import charts

    with tempfile.TemporaryDirectory(prefix="reports-web-chart-") as folder:
        path = Path(folder) / "chart.svg"
        charts.check_chart(str(path), checked.report)
        charts.draw_chart(
            str(path), checked.report, frame, checked.labels, checked.kwargs["reporting_query"]
        )
        return path.read_bytes()
