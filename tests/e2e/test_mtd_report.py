"""mtd_report against the sample warehouse."""

from __future__ import annotations

import datetime as dt

import pandas as pd
import pytest
from e2e_support import assert_report_matches

PROVIDERS = ["ethoca", "rdr"]
# Numeric sums of two-decimal amounts: exact up to float conversion.
TOLERANCE = {"rtol": 1e-12, "atol": 1e-9}
MIDS = ["1004", "1008"]


def expected_report(tables, query, group_by, keep=None) -> pd.DataFrame:
    t = tables["reporting.ui_revenue_transactions"]
    day = t["date"].dt.date
    t = t[(day >= query["start_date"]) & (day <= query["end_date"])]
    if keep is not None:
        t = t[keep(t)]
    kind, provider, value = t["type"], t["alert_provider"], t["value"]

    def part(mask):
        return value.where(mask, 0.0)

    revenue = kind == "revenue"
    columns = {
        f"cycle_{n}_$": part(revenue & (t["bc_inferred"] == n).fillna(False) & (value > 0))
        for n in range(4)
    }
    columns["revenue_$"] = part(revenue)
    for p in PROVIDERS:
        columns[f"{p}_refunds_$"] = part((kind == "refund") & (provider == p))
    columns["cs_refunds_$"] = part((kind == "refund") & provider.isna())
    columns["total_refunds_$"] = part(kind == "refund")
    for p in PROVIDERS:
        columns[f"{p}_cost_$"] = part((kind == "alert") & (provider == p))
    columns["alerts_$"] = part(kind == "alert")
    for k in ["cb_cost", "cb_amount", "reserves", "processing_cost", "transaction_cost", "cpa"]:
        columns["cb_costs_$" if k == "cb_cost" else f"{k}_$"] = part(kind == k)
    columns["total_$"] = value
    sums = pd.DataFrame(columns).groupby([t[c] for c in group_by], dropna=False).sum()
    revenue_total = sums["revenue_$"]
    sums["gm_%"] = (sums["total_$"] / revenue_total.where(revenue_total != 0)).fillna(0.0)
    return sums.reset_index()


@pytest.mark.parametrize(
    "group_by, days_ago, filters, keep",
    [
        (["crm_id"], (30, 0), {}, None),
        (["corporation_name", "processor", "mid_id"], (30, 0), {}, None),
        (["gateway_id"], (2, 2), {}, None),
        # Only revenue counts as revenue: the gross margin of every other type is 0.
        (["type"], (30, 0), {}, None),
        (
            ["crm_id", "processor"],
            (30, 0),
            {"processor": "proc_beta", "crm_id": [1, 3]},
            lambda t: (t["processor"] == "proc_beta") & t["crm_id"].isin([1, 3]),
        ),
        # The table keeps MIDs as mid_id: a query naming mid_number fails once and runs
        # again with mid_id in its place, in the grouping and in the filter alike.
        (["crm_id", "mid_number"], (30, 0), {}, None),
        (["mid_number"], (30, 0), {"mid_number": MIDS}, lambda t: t["mid_id"].isin(MIDS)),
    ],
)
def test_columns_and_figures(orvesta, db, tables, today, group_by, days_ago, filters, keep):
    start, end = (today - dt.timedelta(days=n) for n in days_ago)
    query = {"start_date": start, "end_date": end}
    report = orvesta.mtd_report(db, group_by, query, filters)
    keys = [column.replace("mid_number", "mid_id") for column in group_by]
    expected = expected_report(tables, query, keys, keep)
    assert len(expected) > 1
    assert_report_matches(report, expected, keys, **TOLERANCE)


def test_ordered_by_grouping_columns_unless_asked_otherwise(orvesta, db, period):
    report = orvesta.mtd_report(db, ["crm_id", "mid_number"], period)
    keys = list(zip(report["crm_id"], report["mid_id"], strict=True))
    assert len(keys) > 4 and keys == sorted(keys)
    report = orvesta.mtd_report(db, ["gateway_id"], period, {}, ["revenue_$ desc"])
    assert report["revenue_$"].is_monotonic_decreasing
    assert not report["gateway_id"].is_monotonic_increasing
