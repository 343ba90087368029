"""The sample warehouse: what is loaded is what ``generate`` returned, and the data
hold the cases the reports are tested on, at small scales too."""

from __future__ import annotations

import datetime as dt
import math
from decimal import Decimal

import numpy as np
import pandas as pd
import pytest
import sqlalchemy

from reports import warehouse

PRIMARY_KEYS = {
    "ui_54407332_clients.instance_data": ["crm_id"],
    "ui_54407332_clients.corps": ["corp_id"],
    "ui_54407332_clients.mids": ["mid_id"],
    "ui_54407332_clients.steps": ["crm_id", "gateway_id"],
    "ui_54407332_clients.gateway_settings": ["crm_id", "gateway_id"],
    "processing.cap": ["mid_id", "step"],
    "processing.trailing_cap": ["mid_id", "step"],
    "ui_54407332_bins.bin_blacklist": ["crm_id", "bin"],
    "processing.recurring_orders": ["crm_id", "order_id"],
    "reporting.continuity": ["continuity_id"],
    "augmented_data.order_cycles": ["crm_id", "order_id"],
    "crm_global.orders": ["crm_id", "order_id"],
    "reporting.cpa_orders": ["crm_id", "order_id"],
    "reporting.ui_revenue_transactions": ["transaction_id"],
    "ui_tintora.approval_bands": ["band"],
    "ui_tintora.bin_category_colors": ["bin_category"],
    "ui_tintora.status_colors": ["status_code"],
    "ui_tintora.empty_palette": ["name"],
}


def _plain(value):
    """One cell as a comparable Python value: NULLs as None, numbers as float, dates
    and timestamps as pandas Timestamps."""
    if value is None or value is pd.NA or value is pd.NaT:
        return None
    if isinstance(value, float) and math.isnan(value):
        return None
    if isinstance(value, (bool, str)):
        return value
    if isinstance(value, (int, float, Decimal)) or hasattr(value, "dtype"):
        return float(value) if not isinstance(value, bool) else value
    if isinstance(value, (dt.date, pd.Timestamp)):
        return pd.Timestamp(value)
    return value


def test_every_table_and_primary_key_is_covered():
    assert set(PRIMARY_KEYS) == set(warehouse.TABLES)


@pytest.mark.parametrize("name", warehouse.TABLES)
def test_database_holds_exactly_the_generated_rows(postgres, tables, name):
    frame = tables[name]
    keys = PRIMARY_KEYS[name]
    with postgres.engine.connect() as conn:
        loaded = pd.read_sql(sqlalchemy.text(f"select * from {name}"), conn)
    assert sorted(loaded.columns) == sorted(frame.columns)
    assert len(loaded) == len(frame)
    if not len(frame):
        return
    loaded = loaded[list(frame.columns)].sort_values(keys).reset_index(drop=True)
    frame = frame.sort_values(keys).reset_index(drop=True)
    for column in frame.columns:
        got = [_plain(v) for v in loaded[column]]
        want = [_plain(v) for v in frame[column]]
        if name == "reporting.cpa_orders" and column in ("order_total", "refund_amount"):
            # Real columns come back in their shortest decimal form (9.95), the frame
            # holds the single-precision value the database compares with.
            got, want = np.float32(got).tolist(), np.float32(want).tolist()
        assert got == want, column


class TestGenerate:
    def test_same_arguments_same_rows(self):
        day = dt.date(2024, 2, 29)
        first = warehouse.generate(300, 5, today=day)
        second = warehouse.generate(300, 5, today=day)
        for name in warehouse.TABLES:
            pd.testing.assert_frame_equal(first[name], second[name])

    def test_seed_and_scale_change_the_rows(self):
        day = dt.date(2024, 2, 29)
        base = warehouse.generate(300, 5, today=day)["reporting.cpa_orders"]
        other_seed = warehouse.generate(300, 6, today=day)["reporting.cpa_orders"]
        assert not base.equals(other_seed)
        bigger = warehouse.generate(900, 5, today=day)
        assert len(bigger["reporting.cpa_orders"]) == 900
        assert len(bigger["reporting.ui_revenue_transactions"]) == 1800

    @pytest.mark.parametrize("scale, error", [(0, ValueError), (2.5, TypeError), (True, TypeError)])
    def test_bad_scale(self, scale, error):
        with pytest.raises(error):
            warehouse.generate(scale, 1)

    @pytest.mark.parametrize("scale", [200, 6000])
    def test_rows_cover_the_report_edge_cases(self, scale):
        today = dt.date(2024, 5, 17)
        t = warehouse.generate(scale, 11, today=today)
        ro = t["processing.recurring_orders"]
        assert ro["active"].isna().any()
        inactive = ro["active"].eq(False).fillna(False)
        assert (inactive & ro["retry_date"].isna()).any()
        assert (inactive & ro["retry_date"].notna()).any()

        steps = t["ui_54407332_clients.steps"]
        settings = t["ui_54407332_clients.gateway_settings"]
        assert len(settings) < len(steps)
        assert len(t["processing.cap"]) < len(steps)
        assert len(t["processing.trailing_cap"]) < len(steps)
        assert not set(steps["mid_id"]) <= set(t["ui_54407332_clients.mids"]["mid_id"])

        orders = t["reporting.cpa_orders"]
        assert {"Visa", "Master", "Discover", "Amex", "TESTCARD"} <= set(orders["cc_type"])
        assert orders["cc_type"].isna().any()
        assert orders["cap_fill"].any() and (orders["pp_customer"] == 1).any()
        assert orders["decline_reason"].notna().any() and orders["decline_reason"].isna().any()
        blacklist = t["ui_54407332_bins.bin_blacklist"]
        assert blacklist["enabled"].any()
        assert (~blacklist["enabled"] & blacklist["enable_shave"]).any()
        assert (~blacklist["enabled"] & ~blacklist["enable_shave"]).any()
        assert not set(orders["bin"]) <= set(blacklist["bin"])

        revenue = t["reporting.ui_revenue_transactions"]
        assert "mid_number" not in revenue.columns and "mid_id" in revenue.columns
        refunds = revenue[revenue["type"] == "refund"]
        assert refunds["alert_provider"].isna().any()
        assert {"ethoca", "rdr"} <= set(revenue["alert_provider"].dropna())

        cont = t["reporting.continuity"]
        days = cont["next_cycle_date"].dt.date
        assert (days < today).any() and (days == today).any() and (days > today).any()
        retries = cont["retry_attempt_count"]
        assert (retries < 6).any() and (retries == 6).any() and (retries > 6).any()
