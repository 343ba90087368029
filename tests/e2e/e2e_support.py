"""Comparing a report's data frame with figures worked out in pandas; each report called
over the whole warehouse."""

from __future__ import annotations

import numpy as np
import pandas as pd


def assert_report_matches(actual, expected, keys, *, rtol=1e-9, atol=1e-9, tolerances=None):
    """Same columns in the same order and, rows matched on ``keys``, the same cells.

    Numeric columns (Decimal or float from the database) compare as floats within
    (rtol, atol), overridable per column; NULL must meet NULL."""
    assert list(actual.columns) == list(expected.columns)
    assert len(actual) == len(expected), f"{len(actual)} rows, expected {len(expected)}"
    a = actual.sort_values(keys, kind="stable").reset_index(drop=True)
    e = expected.sort_values(keys, kind="stable").reset_index(drop=True)
    for column in expected.columns:
        got, want = a[column], e[column]
        if pd.api.types.is_numeric_dtype(want) and not pd.api.types.is_bool_dtype(want):
            got, want = pd.to_numeric(got).astype(float), want.astype(float)
            r, t = (tolerances or {}).get(column, (rtol, atol))
            bad = ~np.isclose(got, want, rtol=r, atol=t, equal_nan=True)
            assert not bad.any(), (
                f"{column!r} differs at {a.loc[bad, keys].head().to_dict('records')}"
            )
        else:
            assert [None if pd.isna(v) else v for v in got] == [
                None if pd.isna(v) else v for v in want
            ], f"{column!r} differs"


def div(numerator: pd.Series, denominator: pd.Series) -> pd.Series:
    """Numeric or float division guarded by NULLIF(denominator, 0)."""
    return numerator.astype(float) / denominator.where(denominator != 0).astype(float)


def flag(series: pd.Series) -> pd.Series:
    """A nullable boolean where NULL counts as false (SQL "x IS TRUE")."""
    return series.fillna(False).astype(bool)


def orders_between(tables, query) -> pd.DataFrame:
    """reporting.cpa_orders acquired in the request's range, compared as timestamps."""
    orders = tables["reporting.cpa_orders"]
    start, end = pd.Timestamp(query["start_date"]), pd.Timestamp(query["end_date"])
    return orders[orders["acquisition_date"].between(start, end)]


# name -> (orvesta, db, request) -> the report's frame, with a grouping of two columns
# where the report takes one.
REPORT_CALLS = {
    "inactive": lambda o, db, q: o.inactive_report(db, reporting_query=q),
    "continuity": lambda o, db, q: o.continuity_report(db, ["crm_id", "cc_type"], {}, q),
    "approval": lambda o, db, q: o.approval_report(db, reporting_query=q),
    "bin": lambda o, db, q: o.bin_report(db, ["crm_id", "bin"], reporting_query=q),
    "affid": lambda o, db, q: o.affid_report(db, ["affid", "step"], reporting_query=q),
    "mtd": lambda o, db, q: o.mtd_report(db, ["crm_id", "processor"], q),
}
