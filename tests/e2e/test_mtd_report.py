"""mtd_report against the sample warehouse."""

from __future__ import annotations

import datetime as dt

import pandas as pd
import pytest
from e2e_support import assert_report_matches

PROVIDERS = ["ethoca", "rdr"]
FIGURES = [
    "cycle_0_$",
    "cycle_1_$",
    "cycle_2_$",
    "cycle_3_$",
    "revenue_$",
    "ethoca_refunds_$",
    "rdr_refunds_$",
    "cs_refunds_$",
    "total_refunds_$",
    "ethoca_cost_$",
    "rdr_cost_$",
    "alerts_$",
    "cb_costs_$",
    "cb_amount_$",
    "reserves_$",
    "processing_cost_$",
    "transaction_cost_$",
    "cpa_$",
    "total_$",
    "gm_%",
]
# Numeric sums of two-decimal amounts: exact up to float conversion.
TOLERANCE = {"rtol": 1e-12, "atol": 1e-9}


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
    for name, kind_name in [
        ("cb_costs_$", "cb_cost"),
        ("cb_amount_$", "cb_amount"),
        ("reserves_$", "reserves"),
        ("processing_cost_$", "processing_cost"),
        ("transaction_cost_$", "transaction_cost"),
        ("cpa_$", "cpa"),
    ]:
        columns[name] = part(kind == kind_name)
    columns["total_$"] = value
    sums = pd.DataFrame(columns).groupby([t[c] for c in group_by], dropna=False).sum()
    revenue_total = sums["revenue_$"]
    sums["gm_%"] = (sums["total_$"] / revenue_total.where(revenue_total != 0)).fillna(0.0)
    return sums.reset_index()[[*group_by, *FIGURES]]


class TestFigures:
    @pytest.mark.parametrize(
        "group_by", [["crm_id"], ["corporation_name", "processor", "mid_id"], ["gateway_id"]]
    )
    def test_columns_and_figures(self, orvesta, db, tables, period, group_by):
        report = orvesta.mtd_report(db, group_by, period)
        expected = expected_report(tables, period, group_by)
        assert_report_matches(report, expected, group_by, **TOLERANCE)

    def test_sums_per_alert_provider(self, orvesta, db, tables, period):
        report = orvesta.mtd_report(db, ["crm_id"], period).set_index("crm_id")
        # A provider outside the list (verifi) counts in the totals only, and refunds
        # without a provider are customer-service refunds.
        refunds = report[["ethoca_refunds_$", "rdr_refunds_$", "cs_refunds_$"]].sum(axis=1)
        assert (refunds > report["total_refunds_$"]).all()  # refunds are negative
        alerts = report[["ethoca_cost_$", "rdr_cost_$"]].sum(axis=1)
        assert (alerts > report["alerts_$"]).all()
        assert (report[["ethoca_cost_$", "rdr_cost_$", "cs_refunds_$"]] < 0).all().all()

    def test_gross_margin_is_zero_without_revenue(self, orvesta, db, tables, period):
        report = orvesta.mtd_report(db, ["type"], period).set_index("type")
        assert len(report) == 9
        costs = report.drop(index="revenue")
        assert (costs["revenue_$"] == 0).all() and (costs["gm_%"] == 0).all()
        assert report.loc["revenue", "gm_%"] == pytest.approx(1.0)

    def test_single_day(self, orvesta, db, tables, today):
        day = today - dt.timedelta(days=2)
        query = {"start_date": day, "end_date": day}
        report = orvesta.mtd_report(db, ["crm_id"], query)
        assert_report_matches(
            report, expected_report(tables, query, ["crm_id"]), ["crm_id"], **TOLERANCE
        )

    def test_inc_test_cc_is_accepted_and_ignored(self, orvesta, db, period):
        pd.testing.assert_frame_equal(
            orvesta.mtd_report(db, ["crm_id"], period, inc_test_cc=True),
            orvesta.mtd_report(db, ["crm_id"], period),
        )


class TestMidNumberRetry:
    """The table keeps MIDs as mid_id: a text naming mid_number fails once and runs
    again with mid_id."""

    def test_grouping_by_mid_number_comes_back_by_mid_id(self, orvesta, db, tables, period):
        report = orvesta.mtd_report(db, ["crm_id", "mid_number"], period)
        assert list(report.columns[:2]) == ["crm_id", "mid_id"]
        expected = expected_report(tables, period, ["crm_id", "mid_id"])
        assert_report_matches(report, expected, ["crm_id", "mid_id"], **TOLERANCE)
        keys = list(zip(report["crm_id"], report["mid_id"], strict=True))
        assert keys == sorted(keys)

    def test_filter_on_mid_number_applies_to_mid_id(self, orvesta, db, tables, period):
        mids = ["1004", "1008"]
        report = orvesta.mtd_report(db, ["mid_id"], period, {"mid_number": mids})
        expected = expected_report(
            tables, period, ["mid_id"], keep=lambda t: t["mid_id"].isin(mids)
        )
        assert sorted(report["mid_id"]) == mids
        assert_report_matches(report, expected, ["mid_id"], **TOLERANCE)

    def test_second_failure_reaches_the_caller(self, orvesta, db, period):
        import sqlalchemy.exc

        with pytest.raises(sqlalchemy.exc.ProgrammingError, match="no_such_column"):
            orvesta.mtd_report(db, ["no_such_column"], period)


class TestFiltersAndOrder:
    def test_filter_continues_the_where_clause(self, orvesta, db, tables, period):
        filters = {"processor": "proc_beta", "crm_id": [1, 3]}
        report = orvesta.mtd_report(db, ["crm_id", "processor"], period, filters)
        expected = expected_report(
            tables,
            period,
            ["crm_id", "processor"],
            keep=lambda t: (t["processor"] == "proc_beta") & t["crm_id"].isin([1, 3]),
        )
        assert_report_matches(report, expected, ["crm_id", "processor"], **TOLERANCE)

    def test_order_by_an_output_column(self, orvesta, db, period):
        report = orvesta.mtd_report(db, ["gateway_id"], period, {}, ["revenue_$ desc"])
        assert report["revenue_$"].is_monotonic_decreasing
        assert not report["gateway_id"].is_monotonic_increasing
