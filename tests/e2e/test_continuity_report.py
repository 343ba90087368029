"""continuity_report against the sample warehouse."""

from __future__ import annotations

import datetime as dt
from decimal import ROUND_HALF_UP, Decimal

import pandas as pd
import pytest
from e2e_support import assert_report_matches

FIGURES = [
    "natural_recurring_count",
    "c1_recurring_count",
    "c1_projected_count",
    "c1_projected_approval %",
    "c2+_projected_count",
    "c2+_projected_approval %",
    "natural_projected_count",
    "natural_projected_approval %",
    "decline_recurring_count",
    "average_decline_attempt",
    "decline_approval %",
    "decline_approved_count",
    "projected_revenue $",
    "recurring_revenue $",
    "natural_recurring_revenue $",
]


def _round(value: Decimal | None, places: int) -> Decimal:
    """round(x, places) of a numeric, coalesced to 0 (PostgreSQL rounds half away
    from zero)."""
    if value is None:
        return Decimal(0)
    return value.quantize(Decimal(1).scaleb(-places), rounding=ROUND_HALF_UP)


def _dec(values) -> list[Decimal]:
    return [Decimal(str(v)) for v in values if pd.notna(v)]


def _sum(values) -> Decimal | None:
    values = _dec(values)
    return sum(values, Decimal(0)) if values else None


def _avg(values) -> float | None:
    values = _dec(values)
    return float(sum(values) / len(values)) if values else None


def _group_figures(rows: pd.DataFrame) -> dict[str, object]:
    retry, cycle, approval = rows["retry_attempt_count"], rows["bc_inferred"], rows["approval"]
    natural = retry == 0
    c1 = natural & (cycle == 1)
    c2 = natural & (cycle > 1)
    declined = retry > 0
    mean_approval, total = _avg(approval), _sum(rows["order_total"])
    projected = None
    if mean_approval is not None and total is not None:
        projected = Decimal(str(mean_approval)) * total
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
    records = []
    for key, group in rows.groupby(group_by, sort=True):
        key = key if isinstance(key, tuple) else (key,)
        records.append({**dict(zip(group_by, key, strict=True)), **_group_figures(group)})
    frame = pd.DataFrame.from_records(records, columns=[*group_by, *FIGURES])
    for column in FIGURES:
        frame[column] = pd.to_numeric(frame[column].astype(float))
    return frame


# The product of an average and a sum is rounded to cents by the database from more
# digits than a float carries: allow a cent either way.
TOLERANCES = {"projected_revenue $": (0, 0.0101)}


@pytest.fixture(scope="module")
def horizon(orvesta):
    return orvesta.now().date()


class TestFigures:
    @pytest.mark.parametrize(
        "group_by", [["crm_id"], ["crm_id", "cc_type"], ["affid", "gateway_id"]]
    )
    def test_columns_and_figures(self, orvesta, db, tables, period, horizon, group_by):
        report = orvesta.continuity_report(db, group_by, {}, period)
        expected = expected_report(tables, group_by, horizon)
        assert_report_matches(report, expected, group_by, tolerances=TOLERANCES)

    def test_percent_signs_reach_the_column_names_single(self, orvesta, db, period):
        report = orvesta.continuity_report(db, ["crm_id"], {}, period)
        assert "c1_projected_approval %" in report.columns
        assert not any("%%" in column for column in report.columns)

    def test_group_without_cycle_one_shows_zero_counts_and_null_rate(
        self, orvesta, db, tables, period, horizon
    ):
        # Grouped by cycle, every group but cycle 1 has no natural cycle-1 row.
        report = orvesta.continuity_report(db, ["bc_inferred"], {}, period).set_index("bc_inferred")
        assert report.index.tolist() == [1, 2, 3, 4, 5]
        later = report.drop(index=1)
        assert (later["c1_recurring_count"] == 0).all()
        assert (later["c1_projected_count"] == 0).all()
        assert later["c1_projected_approval %"].isna().all()
        assert report.loc[1, "c1_recurring_count"] > 0


class TestHorizon:
    def test_only_cycles_after_today_and_retried_fewer_than_six_times(
        self, orvesta, db, tables, period, horizon
    ):
        rows = tables["reporting.continuity"]
        day, retry = rows["next_cycle_date"].dt.date, rows["retry_attempt_count"]

        def counted_rows(keep):
            kept = rows[keep & rows["approval"].notna()]
            return kept.groupby("crm_id").size().astype("int64")

        strict = counted_rows((day > horizon) & (retry < 6))
        with_today = counted_rows((day >= horizon) & (retry < 6))
        with_sixth = counted_rows((day > horizon) & (retry <= 6))
        assert not strict.equals(with_today) and not strict.equals(with_sixth)

        report = orvesta.continuity_report(db, ["crm_id"], {}, period).set_index("crm_id")
        counted = report["natural_recurring_count"] + report["decline_recurring_count"]
        assert counted.astype("int64").to_dict() == strict.to_dict()

    def test_horizon_follows_the_helper_now(self, orvesta, db, tables, period, monkeypatch):
        later = dt.datetime.combine(
            dt.date.today() + dt.timedelta(days=10), dt.time(10, 30, 15, 123456)
        )
        monkeypatch.setattr(orvesta, "now", lambda: later)
        report = orvesta.continuity_report(db, ["crm_id", "cc_type"], {}, period)
        expected = expected_report(tables, ["crm_id", "cc_type"], later.date())
        assert_report_matches(report, expected, ["crm_id", "cc_type"], tolerances=TOLERANCES)


class TestFiltersAndOrder:
    def test_filter_continues_the_where_clause(self, orvesta, db, tables, period, horizon):
        filters = {"cc_type": "Visa", "affid": ["50%OFF", "O'Reilly"]}
        report = orvesta.continuity_report(db, ["affid"], filters, period)
        expected = expected_report(
            tables,
            ["affid"],
            horizon,
            keep=lambda r: (r["cc_type"] == "Visa") & r["affid"].isin(["50%OFF", "O'Reilly"]),
        )
        assert sorted(report["affid"]) == ["50%OFF", "O'Reilly"]
        assert_report_matches(report, expected, ["affid"], tolerances=TOLERANCES)

    def test_rows_ordered_by_grouping_columns_by_default(self, orvesta, db, period):
        report = orvesta.continuity_report(db, ["cc_type", "crm_id"], {}, period)
        keys = list(zip(report["cc_type"], report["crm_id"], strict=True))
        assert len(keys) > 3 and keys == sorted(keys)

    def test_order_by_replaces_the_ordering(self, orvesta, db, period):
        report = orvesta.continuity_report(db, ["cc_type", "crm_id"], {}, period, ["crm_id"])
        assert report["crm_id"].is_monotonic_increasing
        assert not report["cc_type"].is_monotonic_increasing
