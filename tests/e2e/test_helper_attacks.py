"""The reports with the reference helper module against caller objects: a grouping
column whose own ``__format__`` writes SQL must neither reach the query nor stay behind
for a later, honest caller, and values taken from a report's data frame filter like the
plain values they stand for."""

from __future__ import annotations

import pandas as pd
import pytest

FIRE = "nextval('public.canary') > 0"


@pytest.fixture(scope="module")
def canary(postgres):
    """How often the canary sequence has been advanced since the module began."""
    with postgres.engine.begin() as conn:
        conn.exec_driver_sql("create sequence public.canary")
    read = "select case when is_called then last_value else 0 end as n from public.canary"
    yield lambda: int(pd.read_sql(read, postgres.engine)["n"][0])
    with postgres.engine.begin() as conn:
        conn.exec_driver_sql("drop sequence public.canary")


class FormatsItself(str):
    """Checks as a column name, but writes other text wherever it is formatted."""

    def __format__(self, format_spec):
        return f"{str.__str__(self)}, {FIRE}"


def call(orvesta, db, period, report, **arguments):
    return getattr(orvesta, report)(db, reporting_query=period, **arguments)


# Grouping columns no other test uses: the hostile call must be the first to name them.
@pytest.mark.parametrize(
    "report, column", [("affid_report", "order_provider"), ("mtd_report", "alert_provider")]
)
def test_grouping_column_that_formats_itself(orvesta, db, period, canary, report, column):
    before = canary()
    hostile = call(orvesta, db, period, report, group_by=[FormatsItself(column)])
    honest = call(orvesta, db, period, report, group_by=[column])
    assert canary() == before
    assert len(honest) > 1
    pd.testing.assert_frame_equal(hostile, honest)


@pytest.mark.parametrize("report", ["affid_report", "mtd_report"])
def test_filters_from_a_report_frame(orvesta, db, period, report):
    by_crm = call(orvesta, db, period, report, group_by=["crm_id"])
    ids = by_crm["crm_id"]  # numpy integers
    assert len(ids) > 1
    plain = call(orvesta, db, period, report, group_by=["crm_id"], filters={"crm_id": int(ids[0])})
    assert len(plain) == 1
    for value in (ids[0], ids.astype(float)[0], ids.iloc[:1].to_numpy()[0], [ids.iloc[0]]):
        got = call(orvesta, db, period, report, group_by=["crm_id"], filters={"crm_id": value})
        pd.testing.assert_frame_equal(got, plain)
    every = call(orvesta, db, period, report, group_by=["crm_id"], filters={"crm_id": list(ids)})
    pd.testing.assert_frame_equal(every, by_crm)
