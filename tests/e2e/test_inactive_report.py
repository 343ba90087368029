"""inactive_report against the sample warehouse."""

from __future__ import annotations

import datetime as dt

import pandas as pd
import pytest
from e2e_support import assert_report_matches

COLUMNS = [
    "corporation_name",
    "mid_number",
    "gateway_id",
    "crm_id",
    "close_date",
    "enabled",
    "daily_available_cap",
    "monthly_available_cap",
    "available_daily_transaction_cap",
    "available_trailing30_cap",
    "total_inactive",
    "dead_mid_cascade",
    "total_inactive_visa",
    "total_inactive_master",
    "total_inactive_discover",
]
ORDER = ["corporation_name", "mid_number", "gateway_id", "crm_id"]


def _inactive(ro: pd.DataFrame) -> pd.DataFrame:
    # "active IS FALSE": an unknown (NULL) state is not inactive.
    return ro[ro["active"].eq(False).fillna(False) & ro["retry_date"].isna()]


def _counts(orders: pd.DataFrame) -> pd.DataFrame:
    return (
        orders.assign(
            dead=orders["is_dead_mid_cascade"] == 1,
            visa=orders["cc_type"] == "visa",
            master=orders["cc_type"] == "master",
            discover=orders["cc_type"] == "discover",
        )
        .groupby(["crm_id", "destination_gateway"])
        .agg(
            total_inactive=("order_id", "size"),
            dead_mid_cascade=("dead", "sum"),
            total_inactive_visa=("visa", "sum"),
            total_inactive_master=("master", "sum"),
            total_inactive_discover=("discover", "sum"),
        )
        .reset_index()
    )


def _with_gateway_rows(counts: pd.DataFrame, tables) -> pd.DataFrame:
    """Inner joins of the counts with steps, cap, trailing cap and settings."""
    steps = tables["ui_54407332_clients.steps"]
    cap = tables["processing.cap"]
    trailing = tables["processing.trailing_cap"]
    settings = tables["ui_54407332_clients.gateway_settings"]
    rows = counts.merge(
        steps, left_on=["crm_id", "destination_gateway"], right_on=["crm_id", "gateway_id"]
    )
    rows = rows.assign(mid_numeric=rows["mid_id"].astype("int64")).merge(
        cap.rename(columns={"mid_id": "mid_numeric"}), on=["mid_numeric", "step"]
    )
    rows = rows.merge(trailing, on=["mid_id", "step"])
    return rows.merge(
        settings.assign(gw_numeric=settings["gateway_id"].astype("int64")).drop(
            columns="gateway_id"
        ),
        left_on=["crm_id", "destination_gateway"],
        right_on=["crm_id", "gw_numeric"],
    )


def expected_report(tables) -> pd.DataFrame:
    rows = _with_gateway_rows(_counts(_inactive(tables["processing.recurring_orders"])), tables)
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


class TestFigures:
    def test_columns_and_figures(self, report, tables):
        assert_report_matches(report, expected_report(tables), ORDER)

    def test_rows_sorted_by_corporation_mid_gateway_crm(self, report):
        keys = report[ORDER]
        assert len(keys) > 5
        assert keys.equals(keys.sort_values(ORDER).reset_index(drop=True))

    def test_enabled_comes_back_as_text(self, report):
        assert set(report["enabled"]) == {"true", "false"}

    def test_card_type_counts_need_not_add_up(self, report):
        # Other card types (amex, unknown) count in the total only.
        by_type = report[
            ["total_inactive_visa", "total_inactive_master", "total_inactive_discover"]
        ].sum(axis=1)
        assert (by_type <= report["total_inactive"]).all()
        assert (by_type < report["total_inactive"]).any()


class TestWhichOrdersCount:
    def test_orders_with_unknown_active_state_are_not_counted(self, report, tables):
        ro = tables["processing.recurring_orders"]
        unknown = ro[ro["active"].isna() & ro["retry_date"].isna()]
        # Counting the NULLs as inactive would change these gateways' totals.
        affected = _counts(unknown)[["crm_id", "destination_gateway"]]
        shown = report.merge(
            affected, left_on=["crm_id", "gateway_id"], right_on=["crm_id", "destination_gateway"]
        )
        assert len(shown) > 0
        strict = _counts(_inactive(ro)).set_index(["crm_id", "destination_gateway"])
        for row in shown.itertuples():
            assert row.total_inactive == strict.loc[(row.crm_id, row.gateway_id), "total_inactive"]

    def test_gateway_whose_inactive_orders_all_have_retries_has_no_row(self, report, tables):
        ro = tables["processing.recurring_orders"]
        candidates = _with_gateway_rows(_counts(ro[ro["active"].eq(False).fillna(False)]), tables)[
            ["crm_id", "destination_gateway"]
        ]
        counted = _counts(_inactive(ro))[["crm_id", "destination_gateway"]]
        only_retries = candidates.merge(counted, how="left", indicator=True)
        only_retries = only_retries[only_retries["_merge"] == "left_only"]
        assert len(only_retries) > 0
        shown = set(zip(report["crm_id"], report["gateway_id"], strict=True))
        for row in only_retries.itertuples():
            assert (row.crm_id, row.destination_gateway) not in shown

    @pytest.mark.parametrize("missing", ["cap", "trailing cap", "gateway settings"])
    def test_gateway_missing_a_related_row_has_no_row(self, report, tables, missing):
        counts = _counts(_inactive(tables["processing.recurring_orders"]))
        steps = tables["ui_54407332_clients.steps"]
        gateways = counts.merge(
            steps, left_on=["crm_id", "destination_gateway"], right_on=["crm_id", "gateway_id"]
        )
        cap = tables["processing.cap"]
        trailing = tables["processing.trailing_cap"]
        settings = tables["ui_54407332_clients.gateway_settings"]
        has = {
            "cap": gateways.set_index(["mid_id", "step"]).index.isin(
                list(zip(cap["mid_id"].astype(str), cap["step"], strict=True))
            ),
            "trailing cap": gateways.set_index(["mid_id", "step"]).index.isin(
                trailing.set_index(["mid_id", "step"]).index
            ),
            "gateway settings": gateways.set_index(["crm_id", "destination_gateway"]).index.isin(
                list(zip(settings["crm_id"], settings["gateway_id"].astype(int), strict=True))
            ),
        }
        lacking = gateways[~has[missing]]
        assert len(lacking) > 0
        shown = set(zip(report["crm_id"], report["gateway_id"], strict=True))
        assert not shown & set(zip(lacking["crm_id"], lacking["destination_gateway"], strict=True))


class TestArgumentsWithoutEffect:
    def test_filters_land_in_a_comment(self, orvesta, db, period, report):
        for filters in (
            {"corp": "Summit Holdings"},
            {"corp": ["Summit Holdings", "O'Hara & Sons 100% Retail"], "crm_id": 1},
            {"no_such_column": 5},
            # A line break in a value must not carry SQL out of the comment.
            {"corp": "x\n  WHERE false --"},
        ):
            filtered = orvesta.inactive_report(db, filters=filters, reporting_query=period)
            pd.testing.assert_frame_equal(filtered, report)

    def test_dates_are_read_but_not_used(self, orvesta, db, report):
        other = {"start_date": dt.date(2001, 1, 1), "end_date": dt.date(2001, 1, 2)}
        pd.testing.assert_frame_equal(
            orvesta.inactive_report(db, ["crm_id"], reporting_query=other, inc_test_cc=True),
            report,
        )

    def test_bad_filter_name_is_refused_before_any_query(self, orvesta, db, period):
        with pytest.raises(ValueError, match="identifier"):
            orvesta.inactive_report(db, filters={"corp; drop": 1}, reporting_query=period)
