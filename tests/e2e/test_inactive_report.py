"""inactive_report against the sample warehouse."""

from __future__ import annotations

import datetime as dt

import pandas as pd
import pytest
from e2e_support import assert_report_matches

ORDER = ["corporation_name", "mid_number", "gateway_id", "crm_id"]


def _counts(orders: pd.DataFrame) -> pd.DataFrame:
    """Per CRM and gateway: the orders, the dead-MID cascades and the orders per card."""
    cards = {f"total_inactive_{c}": orders["cc_type"] == c for c in ("visa", "master", "discover")}
    dead = orders["is_dead_mid_cascade"] == 1
    flags = pd.DataFrame({"total_inactive": True, "dead_mid_cascade": dead, **cards})
    return flags.groupby([orders["crm_id"], orders["destination_gateway"]]).sum().reset_index()


def expected_report(tables) -> pd.DataFrame:
    ro = tables["processing.recurring_orders"]
    # "active IS FALSE": an unknown (NULL) state is not inactive.
    counts = _counts(ro[ro["active"].eq(False).fillna(False) & ro["retry_date"].isna()])
    cap, settings = tables["processing.cap"], tables["ui_54407332_clients.gateway_settings"]
    rows = counts.merge(
        tables["ui_54407332_clients.steps"],
        left_on=["crm_id", "destination_gateway"],
        right_on=["crm_id", "gateway_id"],
    )
    rows = (
        rows.assign(mid_numeric=rows["mid_id"].astype("int64"))
        .merge(cap.rename(columns={"mid_id": "mid_numeric"}), on=["mid_numeric", "step"])
        .merge(tables["processing.trailing_cap"], on=["mid_id", "step"])
        .merge(
            settings.assign(gw_numeric=settings["gateway_id"].astype("int64")),
            left_on=["crm_id", "destination_gateway"],
            right_on=["crm_id", "gw_numeric"],
        )
    )
    close_date = rows["close_date"].dt.date.astype(object)
    return pd.DataFrame(
        {
            "corporation_name": rows["corporation_name"],
            "mid_number": rows["mid_number"],
            "gateway_id": rows["destination_gateway"],
            "crm_id": rows["crm_id"],
            "close_date": close_date.where(rows["close_date"].notna(), None),
            "enabled": rows["enabled"].map({True: "true", False: "false"}),
            "daily_available_cap": rows["daily_available"],
            "monthly_available_cap": rows["monthly_available"],
            "available_daily_transaction_cap": rows["daily_transaction_cap"] - rows["used_dtc"],
            "available_trailing30_cap": rows["available_tc"],
            "total_inactive": rows["total_inactive"],
            "dead_mid_cascade": rows["dead_mid_cascade"],
            "total_inactive_visa": rows["total_inactive_visa"],
            "total_inactive_master": rows["total_inactive_master"],
            "total_inactive_discover": rows["total_inactive_discover"],
        }
    )


@pytest.fixture(scope="module")
def report(orvesta, db, period):
    return orvesta.inactive_report(db, reporting_query=period)


def test_columns_figures_and_order(report, tables):
    assert_report_matches(report, expected_report(tables), ORDER)
    keys = report[ORDER]
    assert len(keys) > 5 and keys.equals(keys.sort_values(ORDER).reset_index(drop=True))
    # Counting orders whose active state is unknown (NULL), or inactive orders with a
    # retry date, would change the totals of gateways the report shows.
    ro = tables["processing.recurring_orders"]
    no_retry = ro["retry_date"].isna()
    shown = set(zip(report["crm_id"], report["gateway_id"], strict=True))
    for wrong in (ro["active"].isna() & no_retry, ro["active"].eq(False) & ~no_retry):
        wrong = ro[wrong.fillna(False)]
        assert shown & set(zip(wrong["crm_id"], wrong["destination_gateway"], strict=True))


OTHER_DATES = {"start_date": dt.date(2001, 1, 1), "end_date": dt.date(2001, 1, 2)}


@pytest.mark.parametrize(
    "args",
    [
        {"filters": {"corp": "Summit Holdings"}},
        {"filters": {"corp": ["Summit Holdings", "O'Hara & Sons 100% Retail"], "crm_id": 1}},
        {"filters": {"no_such_column": 5}},
        # A line break in a value must not carry SQL out of the comment it lands in.
        {"filters": {"corp": "x\n  WHERE false --"}},
        {"group_by": ["crm_id"], "reporting_query": OTHER_DATES, "inc_test_cc": True},
    ],
)
def test_other_arguments_have_no_effect(orvesta, db, period, report, args):
    other = orvesta.inactive_report(db, **{"reporting_query": period, **args})
    pd.testing.assert_frame_equal(other, report)
