"""continuity_report against the sample warehouse."""

from __future__ import annotations

import datetime as dt
from decimal import ROUND_HALF_UP, Decimal

import pandas as pd
import pytest
from e2e_support import assert_report_matches

# The product of an average and a sum is rounded to cents by the database from more
# digits than a float carries: allow a cent either way.
TOLERANCES = {"projected_revenue $": (0, 0.0101)}
AFFIDS = ["50%OFF", "O'Reilly"]


def _round(value: Decimal | None, places: int) -> Decimal:
    """coalesce(round(x, places), 0) of a numeric: half away from zero."""
    if value is None:
        return Decimal(0)
    return value.quantize(Decimal(1).scaleb(-places), rounding=ROUND_HALF_UP)


def _sum(values: pd.Series) -> Decimal | None:
    values = [Decimal(str(v)) for v in values.dropna()]
    return sum(values, Decimal(0)) if values else None


def _avg(values: pd.Series) -> float | None:
    total = _sum(values)
    return None if total is None else float(total / values.notna().sum())


def _group_figures(rows: pd.DataFrame) -> dict[str, object]:
    retry, cycle, approval = rows["retry_attempt_count"], rows["bc_inferred"], rows["approval"]
    natural, declined = retry == 0, retry > 0
    c1, c2 = natural & (cycle == 1), natural & (cycle > 1)
    mean_approval, total = _avg(approval), _sum(rows["order_total"])
    projected = None if None in (mean_approval, total) else Decimal(str(mean_approval)) * total
    return {
        "natural_recurring_count": approval[natural].notna().sum(),
        "c1_recurring_count": approval[c1].notna().sum(),
        "c1_projected_count": _round(_sum(approval[c1]), 0),
        "c1_projected_approval %": _avg(approval[c1]),
        "c2+_projected_count": _round(_sum(approval[c2]), 0),
        "c2+_projected_approval %": _avg(approval[c2]),
        "natural_projected_count": _round(_sum(approval[natural]), 0),
        "natural_projected_approval %": _avg(approval[natural]),
        "decline_recurring_count": approval[declined].notna().sum(),
        "average_decline_attempt": _round(_sum(retry[declined]) / declined.sum(), 0)
        if declined.any()
        else Decimal(0),
        "decline_approval %": _avg(approval[declined]),
        "decline_approved_count": _round(_sum(approval[declined]), 0),
        "projected_revenue $": _round(projected, 2),
        "recurring_revenue $": _round(total, 2),
        "natural_recurring_revenue $": _round(_sum(rows["order_total"][natural]), 2),
    }


def expected_report(tables, group_by, horizon: dt.date, keep=None) -> pd.DataFrame:
    rows = tables["reporting.continuity"]
    rows = rows[(rows["next_cycle_date"].dt.date > horizon) & (rows["retry_attempt_count"] < 6)]
    if keep is not None:
        rows = rows[keep(rows)]
    frame = pd.DataFrame.from_records(
        [
            {**dict(zip(group_by, key, strict=True)), **_group_figures(group)}
            for key, group in rows.groupby(group_by)
        ]
    )
    return frame.astype({c: float for c in frame.columns if c not in group_by})


@pytest.mark.parametrize(
    "group_by, filters, keep",
    [
        (["crm_id"], {}, None),
        (["crm_id", "cc_type"], {}, None),
        (["affid", "gateway_id"], {}, None),
        # Every cycle but 1 has zero cycle-1 counts and a NULL cycle-1 rate.
        (["bc_inferred"], {}, None),
        (
            ["affid"],
            {"cc_type": "Visa", "affid": AFFIDS},
            lambda r: (r["cc_type"] == "Visa") & r["affid"].isin(AFFIDS),
        ),
    ],
)
def test_columns_and_figures(orvesta, db, tables, period, group_by, filters, keep):
    report = orvesta.continuity_report(db, group_by, filters, period)
    expected = expected_report(tables, group_by, orvesta.now().date(), keep)
    assert len(expected) > 1
    assert_report_matches(report, expected, group_by, tolerances=TOLERANCES)


def test_only_cycles_after_today_retried_fewer_than_six_times(orvesta, db, tables, period):
    rows = tables["reporting.continuity"]
    rows = rows[rows["approval"].notna()]
    day, retry = rows["next_cycle_date"].dt.date, rows["retry_attempt_count"]
    horizon = orvesta.now().date()

    def counted(keep):
        return rows[keep].groupby("crm_id").size().astype("int64").to_dict()

    strict = counted((day > horizon) & (retry < 6))
    assert strict != counted((day >= horizon) & (retry < 6))
    assert strict != counted((day > horizon) & (retry <= 6))
    report = orvesta.continuity_report(db, ["crm_id"], {}, period).set_index("crm_id")
    both = report["natural_recurring_count"] + report["decline_recurring_count"]
    assert both.astype("int64").to_dict() == strict


def test_horizon_follows_the_helper_now(orvesta, db, tables, period, today, monkeypatch):
    later = dt.datetime.combine(today + dt.timedelta(days=10), dt.time(10, 30, 15, 123456))
    monkeypatch.setattr(orvesta, "now", lambda: later)
    report = orvesta.continuity_report(db, ["crm_id", "cc_type"], {}, period)
    expected = expected_report(tables, ["crm_id", "cc_type"], later.date())
    assert_report_matches(report, expected, ["crm_id", "cc_type"], tolerances=TOLERANCES)


def test_ordered_by_grouping_columns_unless_asked_otherwise(orvesta, db, period):
    report = orvesta.continuity_report(db, ["cc_type", "crm_id"], {}, period)
    keys = list(zip(report["cc_type"], report["crm_id"], strict=True))
    assert len(keys) > 3 and keys == sorted(keys)
    report = orvesta.continuity_report(db, ["cc_type", "crm_id"], {}, period, ["crm_id"])
    assert report["crm_id"].is_monotonic_increasing
    assert not report["cc_type"].is_monotonic_increasing
