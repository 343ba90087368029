"""Everything the web host takes from the ``reports`` command, in one place.

The pages accept exactly what the command accepts: a form is turned into the command's
own arguments and checked by its own parser and argument checks, so a value the command
refuses is refused here with the same message. Numbers are shown as the command's table
shows them, and downloads are the command's CSV and JSON output. When the command's
modules change, this is the only file of the web host that follows.
"""

from __future__ import annotations

import contextlib
import dataclasses
import datetime as dt
import functools
import json
import re
import warnings
from collections.abc import Callable, Iterator, Sequence

from reports import cli, output

__all__ = [
    "PERIODS",
    "REPORTS",
    "CheckedRequest",
    "CommandError",
    "UsageError",
    "cell_texts",
    "check_request",
    "csv_text",
    "database",
    "database_message",
    "json_text",
    "query_text",
]

REPORTS = cli.REPORTS
PERIODS = cli._PERIODS
CommandError = cli.CommandError
UsageError = cli.UsageError
ENV_URL = cli.ENV_URL

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
_ARGUMENT_PREFIX = re.compile(r"^argument (?:--[\w-]+/)?(--[\w-]+): ")


@dataclasses.dataclass(frozen=True)
class CheckedRequest:
    """A report request that passed the command's checks."""

    report: cli.Report
    function: Callable
    kwargs: dict
    start: dt.date
    end: dt.date


@functools.cache
def _parser():
    # Built once: building it costs milliseconds, parsing leaves it unchanged.
    return cli.build_parser()


def _page_message(message: str) -> str:
    message = _SEE_HELP.sub("", message)
    message = _ARGUMENT_PREFIX.sub(lambda m: f"{_OPTION_WORDS.get(m[1], m[1])}: ", message)
    for option, word in _OPTION_WORDS.items():
        message = re.sub(rf"{re.escape(option)}\b", word, message)
    return message


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
        kwargs = cli.report_arguments(args)
        from reports import orvesta

        function = getattr(orvesta, report.function_name)
        cli._check_arguments(function, kwargs)
    except UsageError as exc:
        raise UsageError(_page_message(str(exc))) from None
    dates = kwargs["reporting_query"]
    return CheckedRequest(report, function, kwargs, dates["start_date"], dates["end_date"])


# -- the query text -----------------------------------------------------------------------


class _Captured(Exception):
    pass


class _CapturingConnection:
    """A DB-API connection as pandas sees one: the first statement it is asked to run is
    kept and refused, so that no database is ever reached."""

    def __init__(self):
        self.statements: list[str] = []

    def cursor(self):
        return self

    def execute(self, statement, *args):
        self.statements.append(statement)
        raise _Captured

    def rollback(self):
        pass

    def close(self):
        pass


def query_text(checked: CheckedRequest) -> str:
    """The query the report runs for ``checked``, as the database receives it (the
    driver reads every doubled percent sign as one)."""
    connection = _CapturingConnection()
    holder = type("StandIn", (), {"engine": connection})()
    with warnings.catch_warnings(), contextlib.suppress(Exception):
        warnings.simplefilter("ignore")  # pandas warns about a connection it does not know
        checked.function(holder, **checked.kwargs)
    if not connection.statements:
        return ""
    return str(connection.statements[0]).replace("%%", "%")


# -- the database -------------------------------------------------------------------------


def database_message(exc: BaseException, checked: CheckedRequest | None = None) -> str:
    """One line for a failed query: the database's own message, with the command's hint
    on where the columns come from when a column is unknown."""
    message = cli._database_message(exc)
    orig = getattr(exc, "orig", None)
    if checked is not None and getattr(orig, "pgcode", None) == "42703":
        if checked.report.columns_hint:
            message += f" ({checked.report.columns_hint})"
    return f"the query failed: {message}"


@contextlib.contextmanager
def database(args, progress) -> Iterator:
    """The command's database for the web server's lifetime: --db, the environment URL, or
    a sample warehouse started and removed as the command does."""
    cli._check_database_options(args)
    with cli._database(args, progress) as db:
        yield db


def database_label(args) -> str:
    """Where the rows come from, for the page header."""
    target = cli._database_url(args)
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
    return frame.to_csv(index=False)


def json_text(frame) -> str:
    """The command's --json output for ``frame``."""
    return json.dumps(output.frame_records(frame), indent=2, ensure_ascii=False) + "\n"
