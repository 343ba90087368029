"""SQL text for plain values and column names.

``literal`` takes only the exact types ``plain_value`` returns, so every method it calls
is the built-in type's own. ``column`` turns a name into an exact str before it checks,
quotes or caches it, so the cache holds only strings made here.
"""

from __future__ import annotations

import datetime as dt
import functools
import math
import re
import uuid
from decimal import Decimal

from sqlalchemy.dialects.postgresql.base import RESERVED_WORDS

from ._plain import Plain, exact_str

IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_$]{0,62}")
_RESERVED = frozenset(RESERVED_WORDS)
_PLAIN_TYPES = (
    type(None),
    bool,
    int,
    float,
    Decimal,
    str,
    dt.date,
    dt.datetime,
    dt.time,
    uuid.UUID,
)
# With the pure-Python decimal a Decimal copied from a subclass takes its digits from
# attributes the subclass can replace, so the text of a Decimal is checked as well.
_DECIMAL_TEXT = re.compile(r"-?[0-9]+(?:\.[0-9]+)?(?:[Ee][-+][0-9]+)?")

# Characters that must not stand raw in one-line query text: C0 controls and DEL.
_CONTROL_ESCAPES = {c: f"\\x{c:02x}" for c in [*range(0x01, 0x20), 0x7F]}


# -- identifiers ------------------------------------------------------------------------


def column(name: object, what: str = "column name") -> str:
    """A column name as SQL text: checked, and quoted where PostgreSQL needs it.

    A name in double quotes, as this function returns it, stands for the same column,
    so that names that went through it once pass again unchanged."""
    name = exact_str(name, what)
    bare = name[1:-1] if len(name) > 2 and name[0] == name[-1] == '"' else name
    text = _identifier_text(bare)
    if text is None:
        raise ValueError(f"invalid {what} {name!r}: only SQL identifiers are accepted")
    return text


@functools.lru_cache(maxsize=1024)
def _identifier_text(name: str) -> str | None:
    # Quoted where PostgreSQL would not read the name as written: reserved words and
    # names with upper-case letters (the same choice as SQLAlchemy's quoting).
    if not IDENTIFIER.fullmatch(name):
        return None
    return f'"{name}"' if name in _RESERVED or name.lower() != name else name


# -- literals ---------------------------------------------------------------------------


def literal(value: Plain) -> str:
    """One plain value as a PostgreSQL literal, in the form psycopg2 gives it."""
    if not any(type(value) is plain_type for plain_type in _PLAIN_TYPES):
        raise TypeError(f"not a plain value: {type(value).__name__}")
    if value is None:
        return "NULL"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return repr(value)
    if isinstance(value, float):
        if math.isnan(value):
            return "'NaN'::float"
        if math.isinf(value):
            return "'-Infinity'::float" if value < 0 else "'Infinity'::float"
        return repr(value)
    if isinstance(value, Decimal):
        return _decimal_literal(value)
    if isinstance(value, str):
        return _text_literal(value)
    if isinstance(value, dt.datetime):
        kind = "timestamp" if value.utcoffset() is None else "timestamptz"
        return f"'{value.isoformat()}'::{kind}"
    if isinstance(value, dt.date):
        return f"'{value.isoformat()}'::date"
    if isinstance(value, dt.time):
        kind = "time" if value.utcoffset() is None else "timetz"
        return f"'{value.isoformat()}'::{kind}"
    return f"'{value}'::uuid"


def _decimal_literal(value: Decimal) -> str:
    if value.is_nan():
        return "'NaN'::numeric"
    if value.is_infinite():
        return "'-Infinity'::numeric" if value.is_signed() else "'Infinity'::numeric"
    text = str(value)
    if not _DECIMAL_TEXT.fullmatch(text):
        raise ValueError(f"a Decimal wrote itself as {text!r}")
    return text


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
