"""Values that come straight from a caller's request cannot inject SQL."""

import datetime

import pytest

QUOTED_DATE_REPORTS = ["approval_report", "bin_report", "affid_report", "mtd_report"]


def call(orvesta, report, db, dates):
    if report == "mtd_report":
        return orvesta.mtd_report(db, ["crm_id"], dates)
    return getattr(orvesta, report)(db, ["crm_id"], reporting_query=dates)


QUOTE = "a single quote or a backslash"
PERCENT = "a percent sign"  # the driver reads the text as a format string


@pytest.mark.parametrize("report", QUOTED_DATE_REPORTS)
@pytest.mark.parametrize(
    ("dates", "key", "refused"),
    [
        (
            {"start_date": "2026-11-01'; DROP TABLE orders; --", "end_date": "2026-11-30"},
            "start_date",
            QUOTE,
        ),
        ({"start_date": "2026-11-01", "end_date": "2026-11-30\\"}, "end_date", QUOTE),
        ({"start_date": "O'Brien", "end_date": "x"}, "start_date", QUOTE),
        ({"start_date": "2026-11-01%(x)s", "end_date": "x"}, "start_date", PERCENT),
        ({"start_date": "2026-11-01", "end_date": "100%"}, "end_date", PERCENT),
        ({"start_date": "%'", "end_date": "x"}, "start_date", QUOTE),
    ],
)
def test_dates_with_quote_backslash_or_percent_are_refused(
    orvesta, db, pd, calls, report, dates, key, refused
):
    with pytest.raises(ValueError, match=f"^{key} must not contain {refused}, got "):
        call(orvesta, report, db, dates)
    assert pd.queries == []
    assert "get_order_by" not in [name for name, _, _ in calls]


@pytest.mark.parametrize("report", QUOTED_DATE_REPORTS)
def test_every_other_date_form_goes_in_as_before(orvesta, db, pd, report):
    forms = [
        {"start_date": datetime.date(2026, 11, 1), "end_date": datetime.date(2026, 11, 30)},
        {"start_date": datetime.datetime(2026, 11, 1, 8), "end_date": "2026-11-30 23:59:59"},
        {"start_date": "yesterday", "end_date": "now"},
    ]
    for dates in forms:
        call(orvesta, report, db, dates)
        text = pd.queries[-1][0][0]
        assert f"'{dates['start_date']}" in text and f"'{dates['end_date']}'" in text


def test_text_form_with_a_quote_is_refused_for_non_string_dates(orvesta, db, pd):
    class Sneaky:
        def __format__(self, format_spec):
            return "2026-11-01' OR '1'='1"

    with pytest.raises(ValueError, match="start_date"):
        orvesta.approval_report(db, reporting_query={"start_date": Sneaky(), "end_date": "x"})
    assert pd.queries == []


def test_unused_dates_are_not_checked(orvesta, db, pd):
    """The inactive and continuity reports read the dates but never put them in."""
    odd = {"start_date": "it's", "end_date": "\\"}
    orvesta.inactive_report(db, reporting_query=odd)
    orvesta.continuity_report(db, ["crm_id"], reporting_query=odd)
    assert len(pd.queries) == 2


@pytest.mark.parametrize(
    "order_by",
    [
        ["crm_id"],
        ["a.crm_id", "gateway_id DESC"],
        ['"Mid Number" asc', 'x."we""ird"'],
        ["step desc nulls last", "crm_id  NULLS   FIRST", "gateway_id ASC NULLS FIRST"],
        ("crm_id", "step"),
        "ab",
    ],
)
def test_continuity_accepts_column_orderings(orvesta, db, pd, order_by):
    orvesta.continuity_report(
        db, ["crm_id"], reporting_query={}.fromkeys(["start_date", "end_date"]), order_by=order_by
    )
    assert pd.queries[0][0][0].endswith("ORDER BY " + ",".join(order_by) + "\n    ")


@pytest.mark.parametrize(
    "item",
    [
        "crm_id; DROP TABLE orders",
        "crm_id -- comment",
        "1",
        "crm_id DESC DESC",
        "crm_id NULLS",
        "crm_id NULLS MIDDLE",
        " crm_id",
        "crm_id ",
        "a..b",
        '"unterminated',
        '""',
        "(select 1)",
        "crm_id\tDESC",
        "crm_id DESCENDING",
        "",
    ],
)
def test_continuity_refuses_anything_but_column_orderings(orvesta, db, pd, calls, item):
    with pytest.raises(ValueError, match="order_by item"):
        orvesta.continuity_report(
            db,
            ["crm_id"],
            reporting_query={}.fromkeys(["start_date", "end_date"]),
            order_by=["crm_id", item],
        )
    assert pd.queries == []


def test_continuity_doubles_percent_signs_of_quoted_order_by_identifiers(orvesta, db, pd):
    order_by = ['"natural_projected_approval %" DESC', 'a."100%%"', "crm_id"]
    orvesta.continuity_report(
        db, ["crm_id"], reporting_query={}.fromkeys(["start_date", "end_date"]), order_by=order_by
    )
    text = pd.queries[0][0][0]
    assert text.endswith('ORDER BY "natural_projected_approval %%" DESC,a."100%%%%",crm_id\n    ')


def test_continuity_order_by_keeps_join_type_errors_and_one_pass_iterables(orvesta, db, pd):
    dates = {}.fromkeys(["start_date", "end_date"])
    with pytest.raises(TypeError, match="sequence item 1: expected str instance, int found"):
        orvesta.continuity_report(db, ["crm_id"], reporting_query=dates, order_by=["a", 1, "b c"])
    with pytest.raises(ValueError):
        orvesta.continuity_report(db, ["crm_id"], reporting_query=dates, order_by=iter(["x;y"]))
    orvesta.continuity_report(db, ["crm_id"], reporting_query=dates, order_by=iter(["x", "y"]))
    assert pd.queries[0][0][0].endswith("ORDER BY x,y\n    ")
