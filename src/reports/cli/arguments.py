"""From parsed options to the report function's keyword arguments, checked by building
the report's query once against a stand-in database object, so that a typo costs no
server start."""

from __future__ import annotations

import dataclasses
import datetime as dt
import re
from collections.abc import Callable

from .catalog import Report
from .errors import CommandError, UsageError


def _joined(lists: list[list[str]] | None) -> list[str]:
    return [name for names in lists or [] for name in names]


def _date_range(args) -> tuple[dt.date, dt.date]:
    if args.period is not None:
        if args.start is not None or args.end is not None:
            raise UsageError("--period cannot be combined with --start or --end")
        return args.period
    end = args.end if args.end is not None else dt.date.today()
    start = args.start if args.start is not None else end.replace(day=1)
    if start > end:
        raise UsageError(f"the start date {start} is after the end date {end}")
    return start, end


def _filters(items: list[tuple[str, str]] | None) -> dict[str, str | list[str]]:
    """COLUMN=VALUE items as a filter dictionary: one value as it is, several values of
    one column as a list, columns in the order first given."""
    values: dict[str, list[str]] = {}
    for column, value in items or []:
        values.setdefault(column, []).append(value)
    return {column: found[0] if len(found) == 1 else found for column, found in values.items()}


_ORDER_ITEM = re.compile(
    r'\s*(?P<minus>-)?\s*(?P<name>"(?:[^"]|"")+"|[^\s"]+)(?:\s+(?P<direction>asc|desc))?\s*',
    re.IGNORECASE,
)
_PLAIN_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_$]*")


@dataclasses.dataclass(frozen=True)
class Ordering:
    column: str
    descending: bool
    #: As typed, "desc" or "asc", or "" for none (or a minus).
    direction: str = ""
    quoted: bool = False

    @property
    def plain(self) -> bool:
        return _PLAIN_NAME.fullmatch(self.column) is not None


def _orderings(items: list[str]) -> list[Ordering]:
    """--order-by items, each checked the same way for every report."""
    orderings = []
    for item in items:
        match = _ORDER_ITEM.fullmatch(item)
        if match is None or (match["minus"] and match["direction"]):
            raise UsageError(
                f"invalid ordering item {item!r} (expected COLUMN, 'COLUMN desc' or -COLUMN; "
                "double-quote a name with spaces or signs)"
            )
        name = match["name"]
        if name.startswith('"'):
            name = name[1:-1].replace('""', '"')
        direction = match["direction"] or ""
        descending = bool(match["minus"]) or direction.lower() == "desc"
        orderings.append(Ordering(name, descending, direction, quoted=name != match["name"]))
    return orderings


def _query_ordering(report: Report, orderings: list[Ordering]) -> list[str]:
    texts = []
    for o in orderings:
        column = o.column
        if report.name == "continuity" and (o.quoted or not o.plain):
            # continuity_report takes column orderings as SQL text: quoted names pass.
            column = '"' + column.replace('"', '""') + '"'
        if o.direction:
            texts.append(f"{column} {o.direction}")
        elif o.descending:
            # continuity_report has no "-name" form: it is written out for it.
            texts.append(f"{column} DESC" if report.name == "continuity" else f"-{column}")
        else:
            texts.append(column)
    return texts


def result_ordering(args) -> list[Ordering] | None:
    """The ordering to apply to the result rather than in the query: that of the
    affiliate and month-to-date reports when it names a column that is not a plain SQL
    name ("mc %"), which their queries cannot order by."""
    report: Report = args.report
    if not report.order_by or report.name == "continuity":
        return None
    orderings = _orderings(_joined(args.order_by))
    return orderings if any(not o.plain for o in orderings) else None


def order_result(frame, orderings: list[Ordering]):
    """``frame`` sorted as ``orderings`` say, NULLs last, equal rows kept in order."""
    missing = [o.column for o in orderings if o.column not in frame.columns]
    if missing:
        raise CommandError(
            f"no result column {missing[0]!r} to order by (columns: "
            f"{', '.join(map(str, frame.columns))})"
        )
    return frame.sort_values(
        [o.column for o in orderings],
        ascending=[not o.descending for o in orderings],
        kind="stable",
        na_position="last",
    ).reset_index(drop=True)


def report_arguments(args) -> dict:
    """The keyword arguments of the report function for parsed arguments ``args``."""
    report: Report = args.report
    if not report.dates:
        given = [name for name in ("start", "end", "period") if getattr(args, name) is not None]
        if given:
            raise UsageError(
                f"the {report.name} report does not depend on dates and takes no --{given[0]}"
            )
    start, end = _date_range(args)
    kwargs: dict = {"reporting_query": {"start_date": start, "end_date": end}}
    if report.group_by:
        group_by = _joined(args.group_by) or list(report.group_by)
        required = report.required_group
        if required and required not in (name.strip('"') for name in group_by):
            raise UsageError(f"the {report.name} report's grouping must include {required}")
        kwargs["group_by"] = group_by
    if report.filters:
        kwargs["filters"] = _filters(args.filter)
    if report.order_by:
        orderings = _orderings(_joined(args.order_by))
        if result_ordering(args) is not None:
            orderings = []
        kwargs["order_by"] = _query_ordering(report, orderings) or False
    if report.test_cards:
        kwargs["inc_test_cc"] = args.include_test_cards
    return kwargs


class _Captured(BaseException):
    """Carries the query text out of the report. Not an Exception: the month-to-date
    report retries a failed query, and must not build it again."""

    def __init__(self, text: str):
        super().__init__()
        self.text = text


class _CapturingPandas:
    """Stands in for pandas in the report module: takes the query instead of running it."""

    @staticmethod
    def read_sql(qry, con, *args, **kwargs):
        raise _Captured(qry)


class _Unconnected:
    """Stands in for the database object: the reports read ``engine`` only once the
    query text is complete."""

    engine = None


# The one step between the text the report hands to pandas and what the database
# receives: psycopg2 reads "%%" as "%", as the query is sent with an (empty) parameter set.
_PERCENT = re.compile("%%")


def check_arguments(function: Callable, kwargs: dict) -> str:
    """The query text ``function`` runs for ``kwargs``, as the database receives it,
    built without a database; arguments the report refuses end as a UsageError."""
    from reports import orvesta

    pandas = orvesta.pd
    orvesta.pd = _CapturingPandas
    try:
        function(_Unconnected(), **kwargs)
    except _Captured as captured:
        return _PERCENT.sub("%", captured.text)
    except (ValueError, TypeError) as exc:
        raise UsageError(str(exc)) from None
    finally:
        orvesta.pd = pandas
    raise CommandError(f"{function.__name__} ran no query")
