"""approval_report against the sample warehouse."""

from __future__ import annotations

import datetime as dt

import pandas as pd
import pytest
from e2e_support import assert_report_matches

KEYS = ["corporation_name", "processor", "mid_number", "cc_type"]
RATES = ["approval%", "approval C0%", "approval C1%", "approval C2+%"]
COLUMNS = [*KEYS, "order count", *RATES]


def _in_period(frame: pd.DataFrame, query) -> pd.DataFrame:
    day = frame["month_date"].dt.date
    return frame[(day >= query["start_date"]) & (day <= query["end_date"])]


def expected_report(tables, query) -> pd.DataFrame:
    cycles = _in_period(tables["augmented_data.order_cycles"], query)
    orders = _in_period(tables["crm_global.orders"], query)
    rows = (
        cycles.drop(columns="month_date")
        .merge(orders.drop(columns="month_date"), on=["crm_id", "order_id"])
        .merge(
            tables["ui_54407332_clients.steps"][["crm_id", "gateway_id", "mid_number", "mid_id"]],
            on=["crm_id", "gateway_id"],
        )
        .merge(tables["ui_54407332_clients.mids"], on="mid_id")
        .merge(tables["ui_54407332_clients.corps"], on="corp_id")
    )
    approved = rows["decline_reason"].isna()
    cycle = rows["bc_inferred"]
    rows = rows.assign(
        approved=approved,
        c0=cycle == 0,
        c0_ok=approved & (cycle == 0),
        c1=cycle == 1,
        c1_ok=approved & (cycle == 1),
        c2=cycle >= 2,
        c2_ok=approved & (cycle >= 2),
    )
    groups = rows.groupby(KEYS).agg(
        count=("order_id", "size"),
        ok=("approved", "sum"),
        c0=("c0", "sum"),
        c0_ok=("c0_ok", "sum"),
        c1=("c1", "sum"),
        c1_ok=("c1_ok", "sum"),
        c2=("c2", "sum"),
        c2_ok=("c2_ok", "sum"),
    )

    def rate(approved_count, all_count):
        # No approval, or no row of the cycle at all: 0, never NULL.
        return (approved_count / all_count.where(approved_count > 0)).fillna(0.0)

    return pd.DataFrame(
        {
            "order count": groups["count"],
            "approval%": rate(groups["ok"], groups["count"]),
            "approval C0%": rate(groups["c0_ok"], groups["c0"]),
            "approval C1%": rate(groups["c1_ok"], groups["c1"]),
            "approval C2+%": rate(groups["c2_ok"], groups["c2"]),
        }
    ).reset_index()[COLUMNS]


class TestFigures:
    def test_columns_and_figures(self, orvesta, db, tables, period):
        report = orvesta.approval_report(db, reporting_query=period)
        assert_report_matches(report, expected_report(tables, period), KEYS)

    def test_rates_are_zero_never_null(self, orvesta, db, tables, period):
        report = orvesta.approval_report(db, reporting_query=period)
        assert report[RATES].notna().all().all()
        # Gateway 4's cycles are all declined: every rate of its MID is 0.
        mid = tables["ui_54407332_clients.steps"].set_index("gateway_id").loc[4, "mid_number"]
        declined = report[report["mid_number"] == mid]
        assert len(declined) > 0
        assert (declined[RATES] == 0).all().all()
        assert (declined["order count"] > 0).all()

    def test_test_cards_are_counted(self, orvesta, db, period):
        report = orvesta.approval_report(db, reporting_query=period)
        assert "TESTCARD" in set(report["cc_type"])

    def test_one_day_period(self, orvesta, db, tables, today):
        day = today - dt.timedelta(days=3)
        query = {"start_date": day, "end_date": day}
        report = orvesta.approval_report(db, reporting_query=query)
        expected = expected_report(tables, query)
        assert 0 < expected["order count"].sum() < 200
        assert_report_matches(report, expected, KEYS)

    def test_dates_given_as_text(self, orvesta, db, tables, period):
        query = {key: value.isoformat() for key, value in period.items()}
        report = orvesta.approval_report(db, reporting_query=query)
        assert_report_matches(report, expected_report(tables, period), KEYS)


class TestFilters:
    """The filter clause is the WHERE clause of the query around the aggregation."""

    @pytest.mark.parametrize(
        "filters, keep",
        [
            # Quote, ampersand and percent sign in one value, through translate.
            (
                {"corp": "O'Hara & Sons 100% Retail"},
                lambda r: r["corporation_name"] == "O'Hara & Sons 100% Retail",
            ),
            (
                {"corp": ["Summit Holdings", "Northwind Payments LLC"], "cc_type": "visa"},
                lambda r: (
                    r["corporation_name"].isin(["Summit Holdings", "Northwind Payments LLC"])
                    & (r["cc_type"] == "visa")
                ),
            ),
            ({"processor": "proc_beta"}, lambda r: r["processor"] == "proc_beta"),
            ({"corp": "no such corporation"}, lambda r: r["processor"] != r["processor"]),
        ],
    )
    def test_filters_select_result_rows(self, orvesta, db, tables, period, filters, keep):
        report = orvesta.approval_report(db, filters=filters, reporting_query=period)
        expected = expected_report(tables, period)
        expected = expected[keep(expected)]
        assert_report_matches(report, expected, KEYS)

    def test_injection_through_a_value_is_only_a_value(self, orvesta, db, period):
        report = orvesta.approval_report(
            db, filters={"corp": "x' OR '1'='1"}, reporting_query=period
        )
        assert list(report.columns) == COLUMNS
        assert len(report) == 0
