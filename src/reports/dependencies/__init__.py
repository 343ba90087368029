"""Helpers that build the variable parts of report queries: filter clauses, grouping
and ordering lists, and the current date.

The report modules join the texts returned here verbatim into PostgreSQL query text
and run it with ``pandas.read_sql(text, engine)`` and no query parameters. So:

* No caller object chooses its own text. Names (filter names, their translations, the
  qualifier, the prefix, grouping and ordering columns) are first copied into exact
  ``str`` objects, values into plain values of exact built-in types (see ``_plain``);
  only those copies are checked, quoted, cached and written. A subclass's
  ``__str__``, ``__format__``, ``isoformat`` or ``replace`` is never called.
* Column names are checked: only identifiers (a letter or underscore, then letters,
  digits, underscores or dollar signs; at most 63 characters) are accepted, anything
  else raises ValueError. Names that PostgreSQL would not read as written (reserved
  words such as ``order``, names with upper-case letters) come back double-quoted.
* Values are rendered as SQL literals: None, bool, int, float (NaN and the infinities
  as PostgreSQL writes them), Decimal, str, date, datetime (with or without time zone),
  time and UUID; numpy and pandas scalars as their plain equivalents, pandas.NaT and
  pandas.NA as NULL. Anything else raises TypeError. Strings are quoted with quotes
  doubled; strings that hold a backslash or a control character (a line break among
  them) are written as escape-string literals (E'...', control characters as \\xHH),
  so every clause is one line of text and reads the same whatever the server's
  ``standard_conforming_strings``.
* Every percent sign of a clause is doubled. pandas hands the text to SQLAlchemy's
  ``exec_driver_sql`` with no parameters, SQLAlchemy passes psycopg2 an empty
  parameter mapping, and psycopg2 then applies its pyformat substitution to the whole
  text: "%%" reaches the server as "%", and a lone "%" makes the call fail. This holds
  inside quoted literals and SQL comments alike, and is why the report texts write
  "approval%%" and "LIKE '4%%'".
"""

from __future__ import annotations

import datetime as dt
import numbers
import re
import uuid
from collections.abc import Iterable, Mapping
from decimal import Decimal
from typing import Any, Literal, TypeAlias

import numpy as np

from ._plain import exact_str, plain_value
from ._sql import IDENTIFIER, column, literal

__all__ = [
    "now",
    "today",
    "_get_interval_date",
    "get_cast",
    "get_order_by",
    "get_filters",
    "format_group_by",
]

OrderItem: TypeAlias = "str | tuple[str, str]"
OrderBy: TypeAlias = "OrderItem | Iterable[OrderItem] | Literal[False] | None"

_QUALIFIER = re.compile(rf"(?:{IDENTIFIER.pattern}\.)?")
_PREFIXES = frozenset({"WHERE", "AND", "HAVING"})
_ORDER_ITEM = re.compile(
    r"\s*(?P<minus>-)?(?P<name>[^\s]+?)(?:\s+(?P<direction>asc|desc))?\s*", re.IGNORECASE
)
_COLLECTIONS = (list, tuple, set, frozenset)


def _copied_items(value: Any) -> list[Any] | None:
    """The items of a list, tuple, set or frozenset (or of a subclass of one), read by the
    built-in type so that no overridden ``__iter__`` picks them; None for anything else."""
    kind = type(value)
    if issubclass(kind, list):
        return list.copy(value)
    if issubclass(kind, tuple):
        return list(tuple.__getitem__(value, slice(None)))
    if issubclass(kind, frozenset):
        return list(frozenset.copy(value))
    if issubclass(kind, set):
        return list(set.copy(value))
    return None


# -- filters ----------------------------------------------------------------------------


def _condition(key: str, column_text: str, value: object) -> str | None:
    if issubclass(type(value), Mapping):
        raise TypeError(f"filter {key!r}: a mapping is not a filter value")
    items = _copied_items(value)
    if items is None:
        plain = plain_value(value, key)
        return f"{column_text} IS NULL" if plain is None else f"{column_text} = {literal(plain)}"
    if not items:
        return None  # nothing selected: no restriction
    for item in items:
        if issubclass(type(item), (*_COLLECTIONS, Mapping)):
            raise TypeError(f"filter {key!r}: nested collections are not supported")
    plains = [plain_value(item, key) for item in items]
    literals = [literal(plain) for plain in plains if plain is not None]
    if issubclass(type(value), (set, frozenset)):
        literals.sort()
    literals = list(dict.fromkeys(literals))
    parts = []
    if literals:
        parts.append(f"{column_text} IN ({', '.join(literals)})")
    if any(plain is None for plain in plains):
        parts.append(f"{column_text} IS NULL")
    return parts[0] if len(parts) == 1 else f"({' OR '.join(parts)})"


def get_filters(
    filters: Mapping[str, object] | None,
    qualifier: str = "",
    *,
    translate: Mapping[str, str] | None = None,
    prefix: str | None = None,
) -> str:
    """The filter clause for ``filters``, as one line of SQL text.

    ``filters`` maps a filter name to a value or to a list (tuple, set) of values. A
    value becomes ``column = literal``, None ``column IS NULL``, a list
    ``column IN (...)`` (with ``OR column IS NULL`` when it holds None); an empty list
    means nothing was selected and adds no condition. Conditions are joined with AND,
    in the order of ``filters``.

    ``translate`` maps filter names to column names (names it lacks are used as they
    are); ``qualifier`` is put before every column, for example "a."; it must be empty
    or an identifier followed by a full stop.

    Returns "" when there is no condition. Otherwise, with ``prefix`` ("WHERE", "AND"
    or "HAVING", any case) a clause beginning with that word, for example
    "WHERE corporation_name = 'Acme' AND crm_id IN (1, 2)"; without it a continuation
    of an open condition beginning with AND, for example "AND a.bin = '411111'".
    Percent signs come doubled (see the module documentation).

    Raises TypeError for a ``filters`` that is not a mapping, a name that is not a
    string and a value of an unsupported type (naming the filter and the type),
    ValueError for a name that is not an identifier, a bad qualifier or prefix, and a
    string holding a NUL character.
    """
    if filters is None:
        filters = {}
    if not isinstance(filters, Mapping):
        raise TypeError(f"filters must be a mapping, not {type(filters).__name__}")
    qualifier = exact_str(qualifier, "qualifier")
    if not _QUALIFIER.fullmatch(qualifier):
        raise ValueError(f"invalid qualifier {qualifier!r}: expected '' or a name and '.'")
    if translate is None:
        translate = {}
    elif not isinstance(translate, Mapping):
        raise TypeError(f"translate must be a mapping, not {type(translate).__name__}")
    if prefix is not None:
        prefix = exact_str(prefix, "prefix").strip().upper()
        if prefix not in _PREFIXES:
            raise ValueError(f"invalid prefix {prefix!r}: expected one of {sorted(_PREFIXES)}")
    if qualifier:
        qualifier = column(qualifier[:-1], "qualifier") + "."

    conditions = []
    for name, value in filters.items():
        key = exact_str(name, "filter name")
        column_text = qualifier + column(translate.get(key, key))
        condition = _condition(key, column_text, value)
        if condition is not None:
            conditions.append(condition)
    if not conditions:
        return ""
    clause = f"{prefix or 'AND'} {' AND '.join(conditions)}"
    return clause.replace("%", "%%")


# -- grouping and ordering --------------------------------------------------------------


def format_group_by(group_by: Iterable[str] | str) -> list[str]:
    """The grouping columns as a new list of SQL column names (exact str objects).

    ``group_by`` is a list (or other iterable) of column names, or one name as a
    string. Names are checked and quoted as needed (see the module documentation).
    Raises TypeError for a non-string name, ValueError for a name that is not an
    identifier, for a name given twice and for an empty grouping.
    """
    if issubclass(type(group_by), str):
        names: Iterable[object] = [group_by]
    elif (items := _copied_items(group_by)) is not None:
        names = items
    elif group_by is None or isinstance(group_by, Mapping) or not isinstance(group_by, Iterable):
        raise TypeError(f"group_by must be a list of column names, not {type(group_by).__name__}")
    else:
        names = group_by
    columns = [column(name, "grouping column") for name in names]
    if not columns:
        raise ValueError("group_by must name at least one column")
    seen = set()
    for text in columns:
        if text in seen:
            raise ValueError(f"grouping column {text} is given twice")
        seen.add(text)
    return columns


def _order_item(item: Any, group_columns: list[str]) -> str:
    kind = type(item)
    if issubclass(kind, tuple):
        pair = tuple.__getitem__(item, slice(None))
        if len(pair) != 2 or not all(issubclass(type(part), str) for part in pair):
            raise TypeError("an ordering pair must be two strings, (column, direction)")
        name, direction = exact_str(pair[0], "column"), exact_str(pair[1], "direction")
        if direction.upper() not in ("ASC", "DESC"):
            raise ValueError(f"invalid ordering direction {direction!r}")
    elif issubclass(kind, str):
        text = exact_str(item, "ordering item")
        match = _ORDER_ITEM.fullmatch(text)
        if match is None:
            raise ValueError(f"invalid ordering item {text!r}")
        name, direction = match["name"], match["direction"]
        if match["minus"]:
            if direction is not None:
                raise ValueError(f"ordering item {text!r} gives its direction twice")
            direction = "DESC"
    else:
        raise TypeError(f"ordering item must be a string, not {kind.__name__}")
    column_text = column(name, "ordering column")
    ordered = f"a.{column_text}" if column_text in group_columns else column_text
    return f"{ordered} {direction.upper()}" if direction else ordered


def get_order_by(group_by: Iterable[str] | str, order_by: OrderBy = False) -> str:
    """The text after ORDER BY in the outer query of a grouped report.

    ``group_by`` is the list returned by ``format_group_by``. When ``order_by`` is false
    (False, None, empty) the rows are ordered by the grouping columns, qualified with
    the outer query's alias: "a.crm_id, a.step". Otherwise ``order_by`` is one ordering
    item or a list of them; an item is a column name, optionally followed by ASC or
    DESC ("initials desc"), or preceded by "-" for descending ("-initials"), or a pair
    (name, "asc" | "desc"). Grouping columns come out qualified, other names (the outer
    query's output columns, such as initials) as they are.
    """
    columns = format_group_by(group_by)
    kind = type(order_by)
    if issubclass(kind, str):
        order_by = exact_str(order_by, "order_by")
        items: list[object] = [order_by] if order_by else []
    elif issubclass(kind, tuple):
        items = [order_by] if _copied_items(order_by) else []
    elif (copied := _copied_items(order_by)) is not None:
        items = copied
    elif order_by is None or (kind in (bool, int, float) and not order_by):
        items = []
    elif isinstance(order_by, Mapping) or not isinstance(order_by, Iterable):
        raise TypeError(f"order_by must be a list of column names, not {kind.__name__}")
    else:
        items = list(order_by)
        if not items:
            raise ValueError("order_by names no column")
    if not items:
        return ", ".join(f"a.{text}" for text in columns)
    return ", ".join(_order_item(item, columns) for item in items)


# -- dates ------------------------------------------------------------------------------


def now() -> dt.datetime:
    """The current local date and time (naive). Its text form, such as
    "2024-05-17 10:30:00.123456", reads in PostgreSQL as a timestamp or a date."""
    return dt.datetime.now()


def today() -> dt.date:
    """The current local date."""
    return now().date()


def _month_start(day: dt.date, months_back: int = 0) -> dt.date:
    index = day.year * 12 + day.month - 1 - months_back
    return dt.date(index // 12, index % 12 + 1, 1)


def _get_interval_date(
    interval: str | int, reference: dt.date | None = None
) -> tuple[dt.date, dt.date]:
    """The (start_date, end_date) pair, both included, of a named reporting interval
    ending on or around ``reference`` (today by default; a datetime counts as its date):

    "today", "yesterday", "last_7_days", "last_30_days", "month_to_date",
    "last_month", "year_to_date", or a positive int n for the last n days up to and
    including ``reference``. Raises ValueError for any other interval.
    """
    # Plain copies first: the dates returned may end up in query text.
    if reference is None:
        day = today()
    else:
        is_date = issubclass(type(reference), dt.date)
        plain = plain_value(reference, "reference") if is_date else None
        if not isinstance(plain, dt.date):
            raise TypeError(f"reference must be a date, not {type(reference).__name__}")
        day = plain.date() if isinstance(plain, dt.datetime) else plain
    if type(interval) is bool:
        raise TypeError("interval must be a name or a number of days, not a bool")
    if isinstance(interval, int):  # int.__int__ takes only a real int
        days = int.__int__(interval)
        if days < 1:
            raise ValueError(f"a number of days must be positive, got {days}")
        return day - dt.timedelta(days=days - 1), day
    if not isinstance(interval, str):
        kind = type(interval).__name__
        raise TypeError(f"interval must be a name or a number of days, not {kind}")
    one_day = dt.timedelta(days=1)
    name = exact_str(interval, "interval").strip().lower()
    if name == "today":
        return day, day
    if name == "yesterday":
        return day - one_day, day - one_day
    if name == "last_7_days":
        return day - 6 * one_day, day
    if name == "last_30_days":
        return day - 29 * one_day, day
    if name == "month_to_date":
        return _month_start(day), day
    if name == "last_month":
        return _month_start(day, 1), _month_start(day) - one_day
    if name == "year_to_date":
        return dt.date(day.year, 1, 1), day
    raise ValueError(f"unknown reporting interval {name!r}")


_CASTS: tuple[tuple[type, str], ...] = (
    (bool, "boolean"),
    (np.bool_, "boolean"),
    (numbers.Integral, "bigint"),
    (Decimal, "numeric"),
    (numbers.Real, "double precision"),
    (dt.datetime, "timestamp"),
    (dt.date, "date"),
    (dt.time, "time"),
    (str, "text"),
    (uuid.UUID, "uuid"),
)


def get_cast(value: object) -> str:
    """The PostgreSQL cast suffix ("::bigint", "::text", ...) for comparing a column
    with values of the type of ``value``; ``value`` may also be the type itself.
    Raises TypeError for a type without a cast (None, containers, other objects)."""
    kind = value if isinstance(value, type) else type(value)
    for python_type, sql_type in _CASTS:
        if issubclass(kind, python_type):
            return f"::{sql_type}"
    raise TypeError(f"no SQL cast for values of type {kind.__name__}")
