"""affid_report against the sample warehouse."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from e2e_support import assert_report_matches, div, flag

FIGURES = [
    "initials",
    "IAOV $",
    "pending",
    "pending %",
    "C2 Pending %",
    "C3 Pending %",
    "DS Pending %",
    "C2 DS Pending %",
    "scrub %",
    "refund %",
    "natural approval cf %",
    "rebill 1 cf %",
    " c1 approved",
    "natural approval %",
    "rebill 1 %",
    "rebill 2+ %",
    "retention c1 %",
    "Retention C2 %",
    "Retention C3 %",
    "chargeback %",
    "chargeback cost %",
    "alert cost %",
    "cltv $",
    "average cpa $",
    "gm %",
    "mc %",
]

# order_total is a real column, summed in single precision by the database.
TOLERANCE = {"rtol": 1e-4, "atol": 1e-3}


def _orders(tables, query, inc_test_cc=False) -> pd.DataFrame:
    orders = tables["reporting.cpa_orders"]
    start, end = pd.Timestamp(query["start_date"]), pd.Timestamp(query["end_date"])
    taken = orders["acquisition_date"].between(start, end)
    if not inc_test_cc:
        # "cc_type != 'TESTCARD'" is not true for a NULL card type either.
        taken &= orders["cc_type"].notna() & (orders["cc_type"] != "TESTCARD")
    return orders[taken]


def expected_report(tables, query, group_by, inc_test_cc=False, keep=None) -> pd.DataFrame:
    o = _orders(tables, query, inc_test_cc)
    if keep is not None:
        o = o[keep(o)]
    ok = o["decline_reason"].isna()
    bc, step = o["bc_inferred"], o["step"]
    plain = o["pp_customer"] == 0
    no_cf = ~o["cap_fill"]
    natural = o["attempt_count"] == 0
    open_ = (o["bin_pause"] == 0) & o["extended_date"].isna() & no_cf
    retried = o["retry_attempt_count"].notna()
    retried_again = o["retry_attempt_count"].fillna(0) > 0
    pending, d_pending = flag(o["pending"]), flag(o["d_pending"])
    not_refunded = o["amount_refunded_to_date"] < o["order_total"]
    initial_sale = (bc == 0) & (step == 1) & ok & plain
    counts = {
        "initial": (bc == 0) & (step == 1) & (o["refund_amount"] == 0) & ok & plain & no_cf,
        "r0": (bc == 0) & ok & plain & no_cf & flag(o["include_in_r"]),
        "r1": (bc == 1) & no_cf & ok & not_refunded & plain,
        "r2": (bc == 2) & no_cf & ok & not_refunded & plain,
        "r3": (bc == 3) & no_cf & ok & not_refunded & plain,
        "natural_approval": natural & (bc == 1) & no_cf & ok & plain,
        "natural_approval_cf": natural & (bc == 1) & ok & plain,
        "approval": (bc == 1) & no_cf & ok & plain,
        "approval_cf": (bc == 1) & ok & plain,
        "approval2": (bc > 1) & no_cf & ok & plain,
        "all_approved": ok & no_cf,
        "attempt": natural & no_cf & (bc == 1) & plain,
        "attempt_cf": natural & (bc == 1) & plain,
        "attempt2": natural & no_cf & (bc > 1) & plain,
        "pending": pending & (bc == 0) & open_,
        "c2_pending": pending & (bc == 1) & open_,
        "c3_pending": pending & (bc == 2) & open_,
        "ds_pending": d_pending & (bc == 0) & open_,
        "c2_ds_pending": d_pending & (bc == 1) & open_,
        "attempted": o["pending"].isna() & retried & ok & (bc == 0) & open_,
        "c2_attempted": o["pending"].isna() & retried & ok & (bc == 1) & open_,
        "c3_attempted": o["pending"].isna() & retried & ok & (bc == 2) & open_,
        "ds_attempted": o["d_pending"].isna() & retried_again & ok & (bc == 0) & open_,
        "c2_ds_attempted": o["d_pending"].isna() & retried_again & ok & (bc == 1) & open_,
    }
    o = o.assign(
        **{name: mask.astype(int) for name, mask in counts.items()},
        paid=np.where(ok, o["order_total"], 0.0),
        paid_initial=np.where(ok & (bc == 0) & plain, o["order_total"], 0.0),
        saves_ok=np.where(ok & no_cf, o["saves"], 0),
        provider_ok=np.where(ok & no_cf, o["order_provider"], 0),
        mc_customer=o["customer_id"].where(initial_sale & (o["cc_type"] == "Master")),
        cc_customer=o["customer_id"].where(initial_sale),
    )
    groups = o.groupby(group_by, dropna=False)
    a = groups[list(counts)].sum()
    a = a.assign(
        order_total=groups["paid"].sum(),
        initial_order_total=groups["paid_initial"].sum(),
        refund=groups["total_refund"].sum(),
        chargeback=groups["is_chargeback"].sum(),
        cpa=groups["cpa"].sum(),
        costs=groups[
            ["processing_cost", "product_cost", "total_refund", "alert_cost", "chargeback_cost"]
        ]
        .sum()
        .sum(axis=1),
        chargeback_cost=groups["chargeback_cost"].sum(),
        alert_cost=groups["alert_cost"].sum(),
        saves=groups["saves_ok"].sum(),
        provider=groups["provider_ok"].sum(),
        customers=groups["customer_id"].nunique(),
        mc_total=groups["mc_customer"].nunique(),
        cc_total=groups["cc_customer"].nunique(),
    )
    margin = a["order_total"] - (a["cpa"] + a["costs"])
    result = pd.DataFrame(
        {
            "initials": a["initial"],
            "IAOV $": div(a["initial_order_total"], a["initial"]),
            "pending": a["pending"],
            "pending %": div(a["pending"], a["attempted"] + a["pending"]),
            "C2 Pending %": div(a["c2_pending"], a["c2_attempted"] + a["c2_pending"]),
            "C3 Pending %": div(a["c3_pending"], a["c3_attempted"] + a["c3_pending"]),
            "DS Pending %": div(a["ds_pending"], a["ds_attempted"] + a["ds_pending"]),
            "C2 DS Pending %": div(a["c2_ds_pending"], a["c2_ds_attempted"] + a["c2_ds_pending"]),
            "scrub %": div(a["saves"], a["saves"] + a["provider"]),
            "refund %": div(a["refund"], a["order_total"]),
            "natural approval cf %": div(a["natural_approval_cf"], a["attempt_cf"]),
            "rebill 1 cf %": div(a["approval_cf"], a["attempt_cf"]),
            " c1 approved": a["approval"],
            "natural approval %": div(a["natural_approval"], a["attempt"]),
            "rebill 1 %": div(a["approval"], a["attempt"]),
            "rebill 2+ %": div(a["approval2"], a["attempt2"]),
            "retention c1 %": div(a["r1"], a["r0"]),
            "Retention C2 %": div(a["r2"], a["r0"]),
            "Retention C3 %": div(a["r3"], a["r0"]),
            "chargeback %": div(a["chargeback"], a["all_approved"]),
            "chargeback cost %": div(a["chargeback_cost"], a["order_total"]),
            "alert cost %": div(a["alert_cost"], a["order_total"]),
            "cltv $": div(margin, a["customers"]),
            "average cpa $": div(a["cpa"], a["initial"]),
            "gm %": div(margin, a["order_total"]),
            # NULL when either count is 0.
            "mc %": div(a["mc_total"].where(a["mc_total"] != 0), a["cc_total"]),
        },
        index=a.index,
    ).reset_index()
    return result[[*group_by, *FIGURES]]


class TestFigures:
    @pytest.mark.parametrize("group_by", [["affid"], ["crm_id", "step"], ["campaign_id"]])
    def test_columns_and_figures(self, orvesta, db, tables, period, group_by):
        report = orvesta.affid_report(db, group_by, {}, period)
        expected = expected_report(tables, period, group_by)
        assert_report_matches(report, expected, group_by, **TOLERANCE)

    def test_whole_period_with_cap_fill_and_pp_customers(self, orvesta, db, tables, whole_period):
        orders = tables["reporting.cpa_orders"]
        assert orders["cap_fill"].any() and (orders["pp_customer"] == 1).any()
        report = orvesta.affid_report(db, ["crm_id"], {}, whole_period)
        expected = expected_report(tables, whole_period, ["crm_id"])
        assert_report_matches(report, expected, ["crm_id"], **TOLERANCE)
        # Cap-fill orders count in the _cf figures only.
        differs = report["natural approval cf %"] != report["natural approval %"]
        assert differs.any()


class TestTestCards:
    def test_test_cards_and_unknown_card_types_left_out_by_default(
        self, orvesta, db, tables, period
    ):
        report = orvesta.affid_report(db, ["cc_type"], {}, period)
        assert set(report["cc_type"]) == {"Visa", "Master", "Discover", "Amex"}
        expected = expected_report(tables, period, ["cc_type"])
        assert_report_matches(report, expected, ["cc_type"], **TOLERANCE)

    @pytest.mark.parametrize("inc_test_cc", [True, 1, "yes"])
    def test_included_on_request(self, orvesta, db, tables, period, inc_test_cc):
        report = orvesta.affid_report(db, ["cc_type"], {}, period, inc_test_cc=inc_test_cc)
        assert "TESTCARD" in set(report["cc_type"])
        assert report["cc_type"].isna().any()
        expected = expected_report(tables, period, ["cc_type"], inc_test_cc=True)
        assert_report_matches(report, expected, ["cc_type"], **TOLERANCE)


class TestFiltersAndOrder:
    @pytest.mark.parametrize("affid", ["50%OFF", "O'Reilly"])
    def test_filter_value_with_percent_sign_or_quote(self, orvesta, db, tables, period, affid):
        report = orvesta.affid_report(db, ["affid", "crm_id"], {"affid": affid}, period)
        assert set(report["affid"]) == {affid}
        expected = expected_report(
            tables, period, ["affid", "crm_id"], keep=lambda o: o["affid"] == affid
        )
        assert_report_matches(report, expected, ["affid", "crm_id"], **TOLERANCE)

    def test_filters_restrict_orders_before_counting(self, orvesta, db, tables, period):
        filters = {"step": [1, 2], "campaign_id": 3}
        report = orvesta.affid_report(db, ["affid"], filters, period)
        expected = expected_report(
            tables,
            period,
            ["affid"],
            keep=lambda o: o["step"].isin([1, 2]) & (o["campaign_id"] == 3),
        )
        assert_report_matches(report, expected, ["affid"], **TOLERANCE)

    def test_ordered_by_grouping_columns_by_default(self, orvesta, db, period):
        report = orvesta.affid_report(db, ["crm_id", "step"], {}, period)
        keys = list(zip(report["crm_id"], report["step"], strict=True))
        assert len(keys) > 4 and keys == sorted(keys)

    def test_order_by_an_output_column_descending(self, orvesta, db, period):
        report = orvesta.affid_report(db, ["campaign_id"], {}, period, ["-initials"])
        assert report["initials"].is_monotonic_decreasing
        assert not report["campaign_id"].is_monotonic_increasing
