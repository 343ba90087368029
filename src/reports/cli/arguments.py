"""From parsed options to the report function's keyword arguments, checked by building
the report's query once against a stand-in database object, so that a typo costs no
server start."""

from __future__ import annotations

import datetime as dt
from collections.abc import Callable

from .catalog import Report
from .errors import UsageError


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


def _continuity_ordering(item: str) -> str:
    # continuity_report takes plain column orderings; "-name" is written out here.
    return f"{item[1:].strip()} DESC" if item.startswith("-") else item


def report_arguments(args) -> dict:
    """The keyword arguments of the report function for parsed arguments ``args``."""
    report: Report = args.report
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
        order_by = _joined(args.order_by)
        if report.name == "continuity":
            order_by = [_continuity_ordering(item) for item in order_by]
        kwargs["order_by"] = order_by or False
    if report.test_cards:
        kwargs["inc_test_cc"] = args.include_test_cards
    return kwargs


class _NoDatabase(Exception):
    pass


class _Unconnected:
    """Stands in for the database object: the reports read ``engine`` only once the
    query text is complete, so reaching it means every argument was accepted."""

    @property
    def engine(self):
        raise _NoDatabase


def check_arguments(function: Callable, kwargs: dict) -> None:
    try:
        function(_Unconnected(), **kwargs)
    except _NoDatabase:
        return
    except (ValueError, TypeError) as exc:
        raise UsageError(str(exc)) from None
