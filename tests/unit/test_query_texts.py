"""Exact query texts, byte for byte, against the checked-in golden files."""

import datetime
from pathlib import Path

import pytest

GOLDEN = Path(__file__).parent / "golden"
NOW = datetime.datetime(2026, 12, 8, 10, 30)
NOVEMBER = {"start_date": "2026-11-01", "end_date": "2026-11-30"}
NOVEMBER_DATES = {"start_date": datetime.date(2026, 11, 1), "end_date": datetime.date(2026, 11, 30)}
AND_CRM = "AND crm_id IN (1, 2)"
WHERE_CORP = "WHERE corporation_name = 'Acme'"


def golden(name):
    with open(GOLDEN / f"{name}.sql", newline="") as fh:
        return fh.read()


def ordering_of(text):
    return lambda group_by, order_by: text


# name: (report, positional args after db, keyword args, helper results)
CASES = {
    "inactive_no_filter": ("inactive_report", (), {"reporting_query": NOVEMBER}, {}),
    "inactive_filter": (
        "inactive_report",
        (),
        {"reporting_query": NOVEMBER},
        {"get_filters": WHERE_CORP},
    ),
    "continuity_one_column": (
        "continuity_report",
        (["crm_id"],),
        {"reporting_query": NOVEMBER},
        {"now": NOW},
    ),
    "continuity_two_columns_filter": (
        "continuity_report",
        (["crm_id", "gateway_id"], {"crm_id": [1, 2]}, NOVEMBER),
        {},
        {"get_filters": AND_CRM, "now": NOW},
    ),
    "continuity_order_by_list": (
        "continuity_report",
        (["crm_id", "gateway_id"],),
        {"reporting_query": NOVEMBER, "order_by": ["gateway_id", "crm_id DESC"]},
        {"now": NOW},
    ),
    "continuity_order_by_string": (
        "continuity_report",
        (["crm_id"],),
        {"reporting_query": NOVEMBER, "order_by": "ab"},
        {"now": NOW},
    ),
    "approval_no_filter_text_dates": ("approval_report", (), {"reporting_query": NOVEMBER}, {}),
    "approval_filter_date_objects": (
        "approval_report",
        (),
        {"reporting_query": NOVEMBER_DATES},
        {"get_filters": WHERE_CORP},
    ),
    "bin_one_column": ("bin_report", (["bin"],), {"reporting_query": NOVEMBER}, {}),
    "bin_two_columns_filter": (
        "bin_report",
        (["crm_id", "bin"],),
        {
            "reporting_query": {
                "start_date": datetime.date(2026, 11, 1),
                "end_date": datetime.datetime(2026, 11, 30, 23, 59),
            }
        },
        {"get_filters": "AND a.crm_id = 1"},
    ),
    "affid_test_cards_excluded": (
        "affid_report",
        (["crm_id", "step"],),
        {"reporting_query": NOVEMBER},
        {"get_order_by": ordering_of("a.crm_id, a.step")},
    ),
    "affid_test_cards_included_filter": (
        "affid_report",
        (["affid"],),
        {"reporting_query": NOVEMBER_DATES, "inc_test_cc": True},
        {"get_filters": AND_CRM, "get_order_by": ordering_of("affid DESC")},
    ),
    "mtd_one_column": (
        "mtd_report",
        (["crm_id"], NOVEMBER),
        {},
        {"get_order_by": ordering_of("crm_id")},
    ),
    "mtd_two_columns_filter": (
        "mtd_report",
        (["crm_id", "mid_number"], NOVEMBER_DATES, {"crm_id": [1, 2]}),
        {},
        {"get_filters": AND_CRM, "get_order_by": ordering_of("a.crm_id, a.mid_number")},
    ),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_query_text_matches_golden(case, orvesta, db, pd, results):
    report, args, kwargs, answers = CASES[case]
    results.update(answers)
    frame = getattr(orvesta, report)(db, *args, **kwargs)
    assert frame is pd.frame
    [(sent, keywords)] = pd.queries
    assert keywords == {}
    assert sent == (golden(case), db.engine)


def test_third_alert_provider_adds_its_columns(orvesta, db, pd, results):
    results["get_order_by"] = ordering_of("crm_id")
    orvesta.ALERT_PROVIDERS = ["ethoca", "rdr", "verifi"]
    orvesta.mtd_report(db, ["crm_id"], NOVEMBER)
    assert pd.queries[0][0][0] == golden("mtd_three_providers")


@pytest.mark.parametrize("order_by", [False, None, [], ""])
def test_continuity_false_order_by_orders_by_the_grouping(orvesta, db, pd, order_by):
    orvesta.continuity_report(db, ["crm_id"], reporting_query=NOVEMBER, order_by=order_by)
    assert pd.queries[0][0][0] == golden("continuity_one_column")


@pytest.mark.parametrize(
    "report",
    ["inactive_report", "approval_report", "bin_report", "continuity_report"],
)
def test_unread_arguments_leave_the_text_unchanged(report, orvesta, db, pd):
    """order_by (where unread), inc_test_cc and further keywords do not reach the text;
    neither do the dates where the query does not use them."""
    call = getattr(orvesta, report)
    call(db, ["bin"], {}, NOVEMBER)
    call(db, ["bin"], {}, NOVEMBER, False, True, start_date="x", anything=object())
    texts = [args[0] for args, _ in pd.queries]
    assert texts[0] == texts[1]
    if report in ("inactive_report", "continuity_report"):
        call(db, ["bin"], {}, NOVEMBER_DATES | {"start_date": "1999-01-01"})
        assert pd.queries[-1][0][0] == texts[0]


@pytest.mark.parametrize(
    ("inc_test_cc", "excluded"), [(False, True), (True, False), (1, False), ("", True), (0, True)]
)
def test_affid_test_card_condition_follows_truth_value(orvesta, db, pd, inc_test_cc, excluded):
    orvesta.affid_report(db, ["crm_id"], reporting_query=NOVEMBER, inc_test_cc=inc_test_cc)
    text = pd.queries[0][0][0]
    line = "'\n                      and cc_type!='TESTCARD'\n                      \n"
    empty = "'\n                      \n                      \n"
    assert (line in text, empty in text) == (excluded, not excluded)


def test_values_are_rendered_like_format(orvesta, db, pd, results):
    """A computed value goes in as format(value, "") renders it, __format__ included."""

    class Clause:
        def __format__(self, format_spec):
            assert format_spec == ""
            return "AND formatted"

        def __str__(self):
            return "AND str"

    results["get_filters"] = Clause()
    orvesta.continuity_report(db, ["crm_id"], reporting_query=NOVEMBER)
    assert "\n                AND formatted\n\n            GROUP BY  crm_id" in pd.queries[0][0][0]


def test_non_ascii_values_keep_every_character(orvesta, db, pd, results):
    results["get_filters"] = "WHERE corporation_name = 'Zürich 北京 🎉'"
    orvesta.inactive_report(db, reporting_query=NOVEMBER)
    expected = golden("inactive_no_filter").replace(
        "-- \n", "-- WHERE corporation_name = 'Zürich 北京 🎉'\n"
    )
    assert pd.queries[0][0][0] == expected
