"""Comparing a report's data frame with figures worked out in pandas."""

from __future__ import annotations

import numpy as np
import pandas as pd


def assert_report_matches(
    actual: pd.DataFrame,
    expected: pd.DataFrame,
    keys: list[str],
    *,
    rtol: float = 1e-9,
    atol: float = 1e-9,
    tolerances: dict[str, tuple[float, float]] | None = None,
) -> None:
    """Same columns in the same order, same groups, and per group the same figures.

    Rows are matched on ``keys`` (the order of rows is checked separately where the
    report promises one). Numeric columns compare within (rtol, atol), overridable per
    column; NULL must meet NULL. Database numerics arrive as Decimal or float, so
    expected numeric columns are compared as floats.
    """
    assert list(actual.columns) == list(expected.columns)
    assert len(actual) == len(expected), (
        f"{len(actual)} rows, expected {len(expected)}:\n{_key_difference(actual, expected, keys)}"
    )
    a = actual.sort_values(keys, kind="stable").reset_index(drop=True)
    e = expected.sort_values(keys, kind="stable").reset_index(drop=True)
    for column in expected.columns:
        got, want = a[column], e[column]
        if pd.api.types.is_numeric_dtype(want) and not pd.api.types.is_bool_dtype(want):
            got = pd.to_numeric(got).astype(float).to_numpy()
            want = want.astype(float).to_numpy()
            r, t = (tolerances or {}).get(column, (rtol, atol))
            ok = np.isclose(got, want, rtol=r, atol=t, equal_nan=True)
            if not ok.all():
                bad = np.flatnonzero(~ok)[:5]
                rows = a.loc[bad, keys].to_dict("records")
                raise AssertionError(
                    f"column {column!r} differs for {rows}: got {got[bad]}, want {want[bad]}"
                )
        else:
            got_list = [None if _is_null(v) else v for v in got]
            want_list = [None if _is_null(v) else v for v in want]
            assert got_list == want_list, f"column {column!r} differs"


def _is_null(value) -> bool:
    return value is None or (isinstance(value, float) and np.isnan(value)) or value is pd.NA


def _key_difference(actual, expected, keys) -> str:
    got = set(map(tuple, actual[keys].astype(str).to_numpy()))
    want = set(map(tuple, expected[keys].astype(str).to_numpy()))
    return f"unexpected {sorted(got - want)[:5]}, missing {sorted(want - got)[:5]}"


def nullable_sum(mask: pd.Series, by) -> pd.Series:
    """SQL sum of "CASE WHEN mask THEN 1 END" per group: NULL (NaN) when no row counts."""
    counts = mask.astype(int).groupby(by, dropna=False).sum()
    return counts.where(counts > 0)


def int_div(numerator: pd.Series, denominator: pd.Series) -> pd.Series:
    """PostgreSQL bigint division with the NULLIF(denominator, 0) guard: truncating,
    NULL when either side is NULL or the denominator is 0 (all operands here are
    non-negative, so truncation is floor division)."""
    den = denominator.where(denominator != 0)
    return (numerator // den).astype(float)


def div(numerator: pd.Series, denominator: pd.Series) -> pd.Series:
    """Numeric or float division with the NULLIF(denominator, 0) guard."""
    return numerator.astype(float) / denominator.where(denominator != 0).astype(float)


def flag(series: pd.Series) -> pd.Series:
    """A nullable boolean column where NULL counts as false (SQL "x IS TRUE")."""
    return series.fillna(False).astype(bool)
