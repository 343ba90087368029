"""Caller values as plain values of exact built-in types.

A filter value is turned into a value of exactly None, bool, int, float, Decimal, str,
date, datetime, time or UUID before any text is made from it. A subclass of one of those
is read through the built-in type's own functions (``int.__int__(value)``,
``dt.date.isoformat(value)``, ...), which read the object's stored data: no method a
caller's class defines or overrides (``__str__``, ``__repr__``, ``__format__``,
``__int__``, ``isoformat``, ``replace``, ...) is called. numpy and pandas scalars become
their plain equivalents; numpy's conversions are used only on numpy's own types, never
on a subclass of them.
"""

from __future__ import annotations

import datetime as dt
import sys
import uuid
from decimal import Decimal
from typing import Any, TypeAlias

import numpy as np

Plain: TypeAlias = bool | int | float | Decimal | str | dt.date | dt.time | uuid.UUID | None

# Compared by identity below: "kind in a_set" would ask the caller's metaclass for __eq__.
_NUMPY_INTEGERS = tuple({np.dtype(code).type for code in np.typecodes["AllInteger"]})
_NUMPY_FLOATS = tuple({np.dtype(code).type for code in np.typecodes["Float"]})
_DAY_UNITS = frozenset({"Y", "M", "W", "D"})
# The slot UUID keeps its number in; a subclass can put a property named "int" over it.
_UUID_NUMBER = uuid.UUID.__dict__["int"]


def exact_str(value: object, what: str) -> str:
    """``value``, a str or an instance of a str subclass, as an exact str."""
    if isinstance(value, str):  # str.__str__ takes only a real str
        return str.__str__(value)  # the str itself, or a copy of a subclass's characters
    raise TypeError(f"{what} must be a string, not {type(value).__name__}")


def plain_value(value: Any, key: str) -> Plain:
    """``value`` as a value of exactly one of the types of ``Plain``.

    Raises TypeError, naming the filter ``key`` and the type, for a value of any other
    type, and ValueError for a numpy date outside the range of datetime.
    """
    kind = type(value)
    if value is None:
        return None
    if kind is bool:  # bool cannot be subclassed
        return bool(value)
    if issubclass(kind, int):
        return int.__int__(value)
    if issubclass(kind, float):  # numpy.float64 among them
        return float.__float__(value)
    if issubclass(kind, str):  # numpy.str_ among them
        return str.__str__(value)
    if issubclass(kind, Decimal):
        return Decimal(value)  # copies the digits
    if issubclass(kind, dt.datetime):
        if _is_pandas_missing(kind):  # pandas.NaT is a datetime too
            return None
        # The C isoformat reads the stored fields; a time zone gives only its offset.
        return dt.datetime.fromisoformat(dt.datetime.isoformat(value))
    if issubclass(kind, dt.date):
        return dt.date.fromisoformat(dt.date.isoformat(value))
    if issubclass(kind, dt.time):
        return dt.time.fromisoformat(dt.time.isoformat(value))
    if issubclass(kind, uuid.UUID):
        return _plain_uuid(value, key)
    if issubclass(kind, np.generic):
        if kind is np.bool_:
            return bool(value)
        if any(kind is numpy_type for numpy_type in _NUMPY_INTEGERS):
            return int(value)
        if any(kind is numpy_type for numpy_type in _NUMPY_FLOATS):
            return float(value)
        if kind is np.datetime64:
            return _plain_datetime64(value, key)
    elif _is_pandas_missing(kind):
        return None
    raise TypeError(f"filter {key!r}: cannot use a {kind.__name__} as a filter value")


def _is_pandas_missing(kind: type) -> bool:
    """Whether ``kind`` is pandas' NaT or NA type; a value of a pandas type means that
    pandas is loaded, so it is looked up rather than imported."""
    pandas = sys.modules.get("pandas")
    return pandas is not None and issubclass(kind, (type(pandas.NaT), type(pandas.NA)))


def _plain_uuid(value: uuid.UUID, key: str) -> uuid.UUID:
    try:
        number = _UUID_NUMBER.__get__(value)
    except AttributeError:
        raise TypeError(f"filter {key!r}: a {type(value).__name__} without a number") from None
    if type(number) is bool or not issubclass(type(number), int):
        raise TypeError(f"filter {key!r}: a {type(value).__name__} holding no int")
    return uuid.UUID(int=int.__int__(number))  # ValueError when out of range


def _plain_datetime64(value: np.datetime64, key: str) -> dt.date | None:
    if np.isnat(value):
        return None
    unit, _ = np.datetime_data(value.dtype)
    if unit in _DAY_UNITS:
        plain = value.astype("datetime64[D]").item()
    else:
        plain = value.astype("datetime64[us]").item()  # PostgreSQL keeps microseconds
    if not isinstance(plain, dt.date):  # an int: outside the years 1 to 9999
        raise ValueError(f"filter {key!r}: {value} is outside the years 1 to 9999")
    return plain
