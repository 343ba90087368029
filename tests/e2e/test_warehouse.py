"""The sample warehouse: what is loaded is what ``generate`` returned, and the data
hold the cases the reports are tested on, at small scales too."""

from __future__ import annotations

import datetime as dt
from collections import Counter
from decimal import Decimal

import numpy as np
import pandas as pd
import pytest
import sqlalchemy

from reports import warehouse

# Real columns come back in their shortest decimal form (9.95), the frames hold the
# single-precision value the database compares with.
REAL = {"reporting.cpa_orders": ("order_total", "refund_amount")}


def _plain(value):
    """A cell as a comparable value: NULL as None, numbers as float, dates as Timestamp."""
    if pd.isna(value):
        return None
    if isinstance(value, dt.date):
        return pd.Timestamp(value)
    if isinstance(value, (int, float, Decimal, np.number)) and not isinstance(value, bool):
        return float(value)
    return value


def _rows(frame: pd.DataFrame, name: str) -> Counter:
    columns = []
    for column in sorted(frame.columns):
        values = [_plain(v) for v in frame[column]]
        if column in REAL.get(name, ()):
            values = [None if v is None else float(np.float32(v)) for v in values]
        columns.append(values)
    return Counter(zip(*columns, strict=True))


@pytest.mark.parametrize("name", warehouse.TABLES)
def test_database_holds_exactly_the_generated_rows(postgres, tables, name):
    with postgres.engine.connect() as conn:
        loaded = pd.read_sql(sqlalchemy.text(f"select * from {name}"), conn)
    assert sorted(loaded.columns) == sorted(tables[name].columns)
    got, want = _rows(loaded, name), _rows(tables[name], name)
    assert not got - want and not want - got, (list(got - want)[:3], list(want - got)[:3])


def test_rows_depend_on_scale_seed_and_day_only():
    day = dt.date(2024, 2, 29)
    first, again = warehouse.generate(300, 5, today=day), warehouse.generate(300, 5, today=day)
    assert list(first) == list(warehouse.TABLES)
    for name in warehouse.TABLES:
        pd.testing.assert_frame_equal(first[name], again[name])
    other_seed = warehouse.generate(300, 6, today=day)["reporting.cpa_orders"]
    assert not first["reporting.cpa_orders"].equals(other_seed)
    bigger = warehouse.generate(900, 5, today=day)
    assert len(bigger["reporting.cpa_orders"]) == 900


@pytest.mark.parametrize(
    "args, error",
    [
        ({"scale": 0}, ValueError),
        ({"scale": 2.5}, TypeError),
        ({"scale": True}, TypeError),
        ({"span_days": 0}, ValueError),
        ({"span_days": 30.0}, TypeError),
    ],
)
def test_bad_scale_or_span(args, error):
    with pytest.raises(error):
        warehouse.generate(**{"scale": 100, **args})


DATED = {
    "reporting.cpa_orders": "acquisition_date",
    "augmented_data.order_cycles": "month_date",
    "reporting.ui_revenue_transactions": "date",
}


@pytest.mark.parametrize("span_days", [1, 90, None])
def test_rows_spread_over_the_span_in_date_order(span_days):
    today = dt.date(2024, 5, 17)
    kwargs = {} if span_days is None else {"span_days": span_days}
    span_days = span_days or 730  # two years unless told otherwise
    t = warehouse.generate(4000, 3, today=today, **kwargs)
    first, last = pd.Timestamp(today - dt.timedelta(days=span_days - 1)), pd.Timestamp(today)
    for name, column in DATED.items():
        days = t[name][column].dt.normalize()
        assert days.between(first, last).all(), name
        # Spread over the whole span, not crowded into its end.
        early = days < first + dt.timedelta(days=span_days // 10 + 1)
        late = days > last - dt.timedelta(days=span_days // 10 + 1)
        assert early.any() and late.any(), name
        # Rows lie in date order, as in a warehouse that appends them as they come.
        assert days.is_monotonic_increasing, name
    upcoming = t["reporting.continuity"]["next_cycle_date"]
    assert upcoming.between(first, last + dt.timedelta(days=40)).all()


# Three thousand orders over half a year, six thousand over two years.
@pytest.mark.parametrize("scale, span_days", [(3000, 180), (6000, 730)])
def test_rows_cover_the_report_edge_cases(scale, span_days):
    today = dt.date(2024, 5, 17)
    t = warehouse.generate(scale, 11, today=today, span_days=span_days)
    ro = t["processing.recurring_orders"]
    inactive = ro["active"].eq(False).fillna(False)
    assert ro["active"].isna().any()
    assert (inactive & ro["retry_date"].isna()).any() and (
        inactive & ro["retry_date"].notna()
    ).any()
    steps = t["ui_54407332_clients.steps"]
    for name in [
        "ui_54407332_clients.gateway_settings",
        "processing.cap",
        "processing.trailing_cap",
    ]:
        assert len(t[name]) < len(steps)
    assert not set(steps["mid_id"]) <= set(t["ui_54407332_clients.mids"]["mid_id"])

    orders = t["reporting.cpa_orders"]
    assert {"Visa", "Master", "Discover", "Amex", "TESTCARD"} <= set(orders["cc_type"])
    assert orders["cc_type"].isna().any()
    assert orders["cap_fill"].any() and (orders["pp_customer"] == 1).any()
    assert orders["decline_reason"].notna().any() and orders["decline_reason"].isna().any()
    blacklist = t["ui_54407332_bins.bin_blacklist"]
    enabled, shave = blacklist["enabled"], blacklist["enable_shave"]
    assert enabled.any() and (~enabled & shave).any() and (~enabled & ~shave).any()
    assert not set(orders["bin"]) <= set(blacklist["bin"])

    revenue = t["reporting.ui_revenue_transactions"]
    assert "mid_number" not in revenue.columns and "mid_id" in revenue.columns
    assert revenue.loc[revenue["type"] == "refund", "alert_provider"].isna().any()
    # Providers the report lists, and one it does not.
    assert set(revenue["alert_provider"].dropna()) > {"ethoca", "rdr"}

    cont = t["reporting.continuity"]
    days, retries = cont["next_cycle_date"].dt.date, cont["retry_attempt_count"]
    assert (days < today).any() and (days == today).any() and (days > today).any()
    assert (retries < 6).any() and (retries == 6).any() and (retries > 6).any()
