"""affid_report against the sample warehouse."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from e2e_support import assert_report_matches, div, flag, orders_between

# order_total is a real column, summed in single precision by the database.
TOLERANCE = {"rtol": 1e-4, "atol": 1e-3}
COSTS = ["processing_cost", "product_cost", "total_refund", "alert_cost", "chargeback_cost"]
SUMMED = ["paid", "paid_initial", "saves_ok", "provider_ok", "is_chargeback", "cpa", *COSTS]


def expected_report(tables, query, group_by, inc_test_cc=False, keep=None) -> pd.DataFrame:
    o = orders_between(tables, query)
    if not inc_test_cc:
        # "cc_type != 'TESTCARD'" is not true for a NULL card type either.
        o = o[o["cc_type"].notna() & (o["cc_type"] != "TESTCARD")]
    if keep is not None:
        o = o[keep(o)]
    ok, bc, step = o["decline_reason"].isna(), o["bc_inferred"], o["step"]
    plain, no_cf = o["pp_customer"] == 0, ~o["cap_fill"]
    natural = o["attempt_count"] == 0
    open_ = (o["bin_pause"] == 0) & o["extended_date"].isna() & no_cf
    retried, retried_again = o["retry_attempt_count"].notna(), o["retry_attempt_count"] > 0
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
        **counts,
        paid=np.where(ok, o["order_total"], 0.0),
        paid_initial=np.where(ok & (bc == 0) & plain, o["order_total"], 0.0),
        saves_ok=np.where(ok & no_cf, o["saves"], 0),
        provider_ok=np.where(ok & no_cf, o["order_provider"], 0),
        mc_customer=o["customer_id"].where(initial_sale & (o["cc_type"] == "Master")),
        cc_customer=o["customer_id"].where(initial_sale),
    )
    groups = o.groupby(group_by, dropna=False)
    a = groups[[*counts, *SUMMED]].sum()
    a = a.join(groups[["customer_id", "mc_customer", "cc_customer"]].nunique())
    margin = a["paid"] - (a["cpa"] + a[COSTS].sum(axis=1))
    return pd.DataFrame(
        {
            "initials": a["initial"],
            "IAOV $": div(a["paid_initial"], a["initial"]),
            "pending": a["pending"],
            "pending %": div(a["pending"], a["attempted"] + a["pending"]),
            "C2 Pending %": div(a["c2_pending"], a["c2_attempted"] + a["c2_pending"]),
            "C3 Pending %": div(a["c3_pending"], a["c3_attempted"] + a["c3_pending"]),
            "DS Pending %": div(a["ds_pending"], a["ds_attempted"] + a["ds_pending"]),
            "C2 DS Pending %": div(a["c2_ds_pending"], a["c2_ds_attempted"] + a["c2_ds_pending"]),
            "scrub %": div(a["saves_ok"], a["saves_ok"] + a["provider_ok"]),
            "refund %": div(a["total_refund"], a["paid"]),
            "natural approval cf %": div(a["natural_approval_cf"], a["attempt_cf"]),
            "rebill 1 cf %": div(a["approval_cf"], a["attempt_cf"]),
            " c1 approved": a["approval"],
            "natural approval %": div(a["natural_approval"], a["attempt"]),
            "rebill 1 %": div(a["approval"], a["attempt"]),
            "rebill 2+ %": div(a["approval2"], a["attempt2"]),
            "retention c1 %": div(a["r1"], a["r0"]),
            "Retention C2 %": div(a["r2"], a["r0"]),
            "Retention C3 %": div(a["r3"], a["r0"]),
            "chargeback %": div(a["is_chargeback"], a["all_approved"]),
            "chargeback cost %": div(a["chargeback_cost"], a["paid"]),
            "alert cost %": div(a["alert_cost"], a["paid"]),
            "cltv $": div(margin, a["customer_id"]),
            "average cpa $": div(a["cpa"], a["initial"]),
            "gm %": div(margin, a["paid"]),
            # NULL when either count is 0.
            "mc %": div(a["mc_customer"].where(a["mc_customer"] != 0), a["cc_customer"]),
        },
        index=a.index,
    ).reset_index()


AFFIDS = ["50%OFF", "O'Reilly"]


@pytest.mark.parametrize(
    "group_by, when, filters, keep",
    [
        (["affid"], "period", {}, None),
        (["campaign_id"], "period", {}, None),
        # Every order, cap-fill (counted in the _cf figures only) and pp-customer ones too.
        (["crm_id", "step"], "whole_period", {}, None),
        # Filter values with a percent sign and a quote restrict orders before counting.
        (
            ["affid", "crm_id"],
            "period",
            {"affid": AFFIDS, "step": [1, 2]},
            lambda o: o["affid"].isin(AFFIDS) & o["step"].isin([1, 2]),
        ),
    ],
)
def test_columns_and_figures(orvesta, db, tables, request, group_by, when, filters, keep):
    query = request.getfixturevalue(when)
    report = orvesta.affid_report(db, group_by, filters, query)
    expected = expected_report(tables, query, group_by, keep=keep)
    assert len(expected) > 1
    assert_report_matches(report, expected, group_by, **TOLERANCE)


def test_test_cards_and_unknown_card_types_only_on_request(orvesta, db, tables, period):
    for inc_test_cc in (False, True):
        report = orvesta.affid_report(db, ["cc_type"], {}, period, inc_test_cc=inc_test_cc)
        assert ("TESTCARD" in set(report["cc_type"])) == inc_test_cc
        assert report["cc_type"].isna().any() == inc_test_cc
        expected = expected_report(tables, period, ["cc_type"], inc_test_cc)
        assert_report_matches(report, expected, ["cc_type"], **TOLERANCE)


def test_ordered_by_grouping_columns_unless_asked_otherwise(orvesta, db, period):
    report = orvesta.affid_report(db, ["crm_id", "step"], {}, period)
    keys = list(zip(report["crm_id"], report["step"], strict=True))
    assert len(keys) > 4 and keys == sorted(keys)
    report = orvesta.affid_report(db, ["campaign_id"], {}, period, ["-initials"])
    assert report["initials"].is_monotonic_decreasing
    assert not report["campaign_id"].is_monotonic_increasing
