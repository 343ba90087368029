"""Helpers that build the variable parts of report queries: filter clauses, grouping
and ordering lists, and the current date.

The report modules join the texts returned here verbatim into PostgreSQL query text
and run it with ``pandas.read_sql(text, engine)`` and no query parameters. So:

* Column names are checked: only identifiers (a letter or underscore, then letters,
  digits, underscores or dollar signs; at most 63 characters) are accepted, anything
  else raises ValueError. Names that PostgreSQL would not read as written (reserved
  words such as ``order``, names with upper-case letters) come back double-quoted.
* Values are rendered as SQL literals: numbers, dates, timestamps, booleans and NULL by
  psycopg2's adaptation; strings quoted here, with quotes doubled. Strings that hold a
  backslash or a control character (a line break among them) are written as
  escape-string literals (E'...', control characters as \\xHH), so every clause is one
  line of text and reads the same whatever the server's ``standard_conforming_strings``.
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
from collections.abc import Iterable, Mapping, Sequence
from decimal import Decimal

from psycopg2.extensions import adapt
from sqlalchemy.dialects import postgresql

__all__ = [
    "now",
    "today",
    "_get_interval_date",
    "get_cast",
    "get_order_by",
    "get_filters",
    "format_group_by",
]

_IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_$]{0,62}")
_QUALIFIER = re.compile(rf"(?:{_IDENTIFIER.pattern}\.)?")
_PREFIXES = frozenset({"WHERE", "AND", "HAVING"})
_ORDER_ITEM = re.compile(
    r"\s*(?P<minus>-)?(?P<name>[^\s]+?)(?:\s+(?P<direction>asc|desc))?\s*", re.IGNORECASE
)
_preparer = postgresql.dialect().identifier_preparer

# Characters that must not stand raw in one-line query text: C0 controls and DEL.
_CONTROL_ESCAPES = {c: f"\\x{c:02x}" for c in [*range(0x01, 0x20), 0x7F]}


# -- identifiers ------------------------------------------------------------------------


def _column(name: object, what: str = "column name") -> str:
    """A column name as SQL text: validated, quoted where PostgreSQL needs it.

    A name in double quotes, as this function returns it, stands for the same column,
    so that names that went through it once pass again unchanged."""
    if not isinstance(name, str):
        raise TypeError(f"{what} must be a string, not {type(name).__name__}: {name!r}")
    bare = name[1:-1] if len(name) > 2 and name[0] == name[-1] == '"' else name
    if not _IDENTIFIER.fullmatch(bare):
        raise ValueError(f"invalid {what} {name!r}: only SQL identifiers are accepted")
    return _preparer.quote(bare)


# -- literals ---------------------------------------------------------------------------


def _literal(value: object) -> str:
    """One Python value as a PostgreSQL literal."""
    if isinstance(value, Decimal) and value.is_infinite():
        # psycopg2 would turn an infinite Decimal into NaN.
        return "'-Infinity'::numeric" if value < 0 else "'Infinity'::numeric"
    if value is None or isinstance(value, (bool, float, Decimal, dt.date, dt.time)):
        return adapt(value).getquoted().decode("ascii").strip()
    if isinstance(value, str):
        return _text_literal(value)
    if isinstance(value, numbers.Integral):  # int, and integer scalars of numpy & co.
        return adapt(int(value)).getquoted().decode("ascii").strip()
    if isinstance(value, numbers.Real):
        return adapt(float(value)).getquoted().decode("ascii").strip()
    raise TypeError(f"cannot use a {type(value).__name__} as a filter value: {value!r}")


def _text_literal(value: str) -> str:
    # Written here rather than by psycopg2: without a connection its string quoting
    # follows the standard_conforming_strings of whichever connection libpq saw last,
    # so the same value can come out in two different forms.
    if "\x00" in value:
        raise ValueError("a filter value cannot contain NUL characters")
    if "\\" in value or any(ord(c) < 0x20 or ord(c) == 0x7F for c in value):
        # Escape-string syntax reads the same under either standard_conforming_strings.
        body = value.replace("\\", "\\\\").replace("'", "''").translate(_CONTROL_ESCAPES)
        return f"E'{body}'"
    return "'" + value.replace("'", "''") + "'"


# -- filters ----------------------------------------------------------------------------


def _condition(column: str, value: object) -> str | None:
    if isinstance(value, (list, tuple, set, frozenset)):
        items = list(value)
        if not items:
            return None  # nothing selected: no restriction
        for item in items:
            if isinstance(item, (list, tuple, set, frozenset, Mapping)):
                raise TypeError(f"filter {column}: nested collections are not supported")
        literals = [_literal(item) for item in items if item is not None]
        if isinstance(value, (set, frozenset)):
            literals.sort()
        literals = list(dict.fromkeys(literals))
        has_null = any(item is None for item in items)
        parts = []
        if literals:
            parts.append(f"{column} IN ({', '.join(literals)})")
        if has_null:
            parts.append(f"{column} IS NULL")
        return parts[0] if len(parts) == 1 else f"({' OR '.join(parts)})"
    if value is None:
        return f"{column} IS NULL"
    if isinstance(value, Mapping):
        raise TypeError(f"filter {column}: a mapping is not a filter value")
    return f"{column} = {_literal(value)}"


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
    string and a value of an unsupported type, ValueError for a name that is not an
    identifier, a bad qualifier or prefix, and a string holding a NUL character.
    """
    if filters is None:
        filters = {}
    if not isinstance(filters, Mapping):
        raise TypeError(f"filters must be a mapping, not {type(filters).__name__}")
    if not isinstance(qualifier, str):
        raise TypeError(f"qualifier must be a string, not {type(qualifier).__name__}")
    if not _QUALIFIER.fullmatch(qualifier):
        raise ValueError(f"invalid qualifier {qualifier!r}: expected '' or a name and '.'")
    if translate is None:
        translate = {}
    elif not isinstance(translate, Mapping):
        raise TypeError(f"translate must be a mapping, not {type(translate).__name__}")
    if prefix is not None:
        if not isinstance(prefix, str):
            raise TypeError(f"prefix must be a string, not {type(prefix).__name__}")
        if prefix.strip().upper() not in _PREFIXES:
            raise ValueError(f"invalid prefix {prefix!r}: expected one of {sorted(_PREFIXES)}")
        prefix = prefix.strip().upper()
    if qualifier:
        qualifier = _column(qualifier[:-1], "qualifier") + "."

    conditions = []
    for name, value in filters.items():
        if not isinstance(name, str):
            raise TypeError(f"filter name must be a string, not {type(name).__name__}")
        column = qualifier + _column(translate.get(name, name))
        condition = _condition(column, value)
        if condition is not None:
            conditions.append(condition)
    if not conditions:
        return ""
    clause = f"{prefix or 'AND'} {' AND '.join(conditions)}"
    return clause.replace("%", "%%")


# -- grouping and ordering --------------------------------------------------------------


def format_group_by(group_by: Iterable[str] | str) -> list[str]:
    """The grouping columns as a new list of SQL column names.

    ``group_by`` is a list (or other iterable) of column names, or one name as a
    string. Names are checked and quoted as needed (see the module documentation).
    Raises TypeError for a non-string name, ValueError for a name that is not an
    identifier, for a name given twice and for an empty grouping.
    """
    if isinstance(group_by, str):
        group_by = [group_by]
    elif group_by is None or isinstance(group_by, Mapping) or not isinstance(group_by, Iterable):
        raise TypeError(f"group_by must be a list of column names, not {type(group_by).__name__}")
    columns = [_column(name, "grouping column") for name in group_by]
    if not columns:
        raise ValueError("group_by must name at least one column")
    seen = set()
    for column in columns:
        if column in seen:
            raise ValueError(f"grouping column {column} is given twice")
        seen.add(column)
    return columns


def _order_item(item: object, group_columns: Sequence[str]) -> str:
    if isinstance(item, tuple):
        if len(item) != 2 or not all(isinstance(part, str) for part in item):
            raise TypeError(f"an ordering pair must be (column, direction): {item!r}")
        name, direction = item
        minus = False
    elif isinstance(item, str):
        match = _ORDER_ITEM.fullmatch(item)
        if match is None:
            raise ValueError(f"invalid ordering item {item!r}")
        name, direction, minus = match["name"], match["direction"], bool(match["minus"])
    else:
        raise TypeError(f"ordering item must be a string, not {type(item).__name__}")
    column = _column(name, "ordering column")
    if direction is not None and direction.upper() not in ("ASC", "DESC"):
        raise ValueError(f"invalid ordering direction {direction!r}")
    if minus and direction is not None:
        raise ValueError(f"ordering item {item!r} gives its direction twice")
    text = f"a.{column}" if column in group_columns else column
    if minus:
        return f"{text} DESC"
    return f"{text} {direction.upper()}" if direction else text


def get_order_by(group_by: Sequence[str], order_by: object = False) -> str:
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
    if not order_by:
        return ", ".join(f"a.{column}" for column in columns)
    items = [order_by] if isinstance(order_by, (str, tuple)) else order_by
    if isinstance(items, Mapping) or not isinstance(items, Iterable):
        raise TypeError(f"order_by must be a list of column names, not {type(order_by).__name__}")
    texts = [_order_item(item, columns) for item in items]
    if not texts:
        raise ValueError("order_by names no column")
    return ", ".join(texts)


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


def _get_interval_date(interval: str | int, reference: dt.date | None = None):
    """The (start_date, end_date) pair, both included, of a named reporting interval
    ending on or around ``reference`` (today by default):

    "today", "yesterday", "last_7_days", "last_30_days", "month_to_date",
    "last_month", "year_to_date", or a positive int n for the last n days up to and
    including ``reference``. Raises ValueError for any other interval.
    """
    if reference is None:
        reference = today()
    elif isinstance(reference, dt.datetime):
        reference = reference.date()
    elif not isinstance(reference, dt.date):
        raise TypeError(f"reference must be a date, not {type(reference).__name__}")
    if isinstance(interval, bool):
        raise TypeError("interval must be a name or a number of days, not a bool")
    if isinstance(interval, int):
        if interval < 1:
            raise ValueError(f"a number of days must be positive, got {interval}")
        return reference - dt.timedelta(days=interval - 1), reference
    if not isinstance(interval, str):
        raise TypeError(f"interval must be a name or a number of days: {interval!r}")
    one_day = dt.timedelta(days=1)
    name = interval.strip().lower()
    if name == "today":
        return reference, reference
    if name == "yesterday":
        return reference - one_day, reference - one_day
    if name == "last_7_days":
        return reference - 6 * one_day, reference
    if name == "last_30_days":
        return reference - 29 * one_day, reference
    if name == "month_to_date":
        return _month_start(reference), reference
    if name == "last_month":
        return _month_start(reference, 1), _month_start(reference) - one_day
    if name == "year_to_date":
        return dt.date(reference.year, 1, 1), reference
    raise ValueError(f"unknown reporting interval {interval!r}")


_CASTS: tuple[tuple[type, str], ...] = (
    (bool, "boolean"),
    (numbers.Integral, "bigint"),
    (Decimal, "numeric"),
    (numbers.Real, "double precision"),
    (dt.datetime, "timestamp"),
    (dt.date, "date"),
    (dt.time, "time"),
    (str, "text"),
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
