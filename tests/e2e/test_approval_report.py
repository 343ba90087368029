"""approval_report against the sample warehouse."""

from __future__ import annotations

import datetime as dt

import pandas as pd
import pytest
from e2e_support import assert_report_matches

KEYS = ["corporation_name", "processor", "mid_number", "cc_type"]
RATES = ["approval%", "approval C0%", "approval C1%", "approval C2+%"]
CORP = "O'Hara & Sons 100% Retail"


def _in_period(frame: pd.DataFrame, query) -> pd.DataFrame:
    day = frame["month_date"].dt.date
    start, end = (pd.Timestamp(query[k]).date() for k in ("start_date", "end_date"))
    return frame[(day >= start) & (day <= end)].drop(columns="month_date")


def expected_report(tables, query) -> pd.DataFrame:
    clients = "ui_54407332_clients"
    rows = (
        _in_period(tables["augmented_data.order_cycles"], query)
        .merge(_in_period(tables["crm_global.orders"], query), on=["crm_id", "order_id"])
        .merge(
            tables[f"{clients}.steps"][["crm_id", "gateway_id", "mid_number", "mid_id"]],
            on=["crm_id", "gateway_id"],
        )
        .merge(tables[f"{clients}.mids"], on="mid_id")
        .merge(tables[f"{clients}.corps"], on="corp_id")
    )
    ok, cycle = rows["decline_reason"].isna(), rows["bc_inferred"]
    by = [rows[k] for k in KEYS]
    figures = {"order count": rows.groupby(by).size()}
    subsets = [pd.Series(True, index=rows.index), cycle == 0, cycle == 1, cycle >= 2]
    for name, subset in zip(RATES, subsets, strict=True):
        approved = (subset & ok).groupby(by).sum()
        # No approval, or no row of the cycle at all: 0, never NULL.
        figures[name] = (approved / subset.groupby(by).sum().where(approved > 0)).fillna(0.0)
    return pd.DataFrame(figures).reset_index()


DAY = dt.timedelta(days=1)
QUERIES = {
    "month": lambda t: {"start_date": t - 30 * DAY, "end_date": t},
    "one day": lambda t: {"start_date": t - 3 * DAY, "end_date": t - 3 * DAY},
    "as text": lambda t: {"start_date": (t - 30 * DAY).isoformat(), "end_date": t.isoformat()},
}


@pytest.mark.parametrize(
    "when, filters, keep",
    [
        ("month", {}, None),
        ("one day", {}, None),
        ("as text", {}, None),
        # Quote, ampersand and percent sign in one value, through the name translation.
        ("month", {"corp": CORP}, lambda r: r["corporation_name"] == CORP),
        (
            "month",
            {"corp": [CORP, "Northwind Payments LLC"], "cc_type": "visa"},
            lambda r: (
                r["corporation_name"].isin([CORP, "Northwind Payments LLC"])
                & (r["cc_type"] == "visa")
            ),
        ),
        ("month", {"processor": "proc_beta"}, lambda r: r["processor"] == "proc_beta"),
        ("month", {"corp": "x' OR '1'='1"}, lambda r: r["processor"] != r["processor"]),
    ],
)
def test_columns_and_figures(orvesta, db, tables, today, when, filters, keep):
    query = QUERIES[when](today)
    report = orvesta.approval_report(db, filters=filters, reporting_query=query)
    expected = expected_report(tables, query)
    assert len(expected) > 0
    assert_report_matches(report, expected[keep(expected)] if keep else expected, KEYS)


def test_rates_are_zero_never_null_and_test_cards_count(orvesta, db, tables, period):
    report = orvesta.approval_report(db, reporting_query=period)
    assert report[RATES].notna().all().all()
    assert "TESTCARD" in set(report["cc_type"])
    # Gateway 4's cycles are all declined: every rate of its MID is 0.
    mid = tables["ui_54407332_clients.steps"].set_index("gateway_id").loc[4, "mid_number"]
    declined = report[report["mid_number"] == mid]
    assert len(declined) > 0 and (declined["order count"] > 0).all()
    assert (declined[RATES] == 0).all().all()
