"""What each report asks of the host's helper module, in which order, and what has
already happened when a step fails."""

import pytest

DATES = {"start_date": "2026-11-01", "end_date": "2026-11-30"}
TRANSLATE = {"corp": "corporation_name", "is_cascade": "is_dead_mid_cascade"}


def names(calls):
    return [name for name, _, _ in calls]


def test_inactive_and_approval_translate_filters_into_a_where_clause(orvesta, db, calls):
    filters = {"corp": ["Acme"]}
    for report in (orvesta.inactive_report, orvesta.approval_report):
        calls.clear()
        report(db, ["ignored"], filters, DATES, ["ignored"], True)
        [(name, args, kwargs)] = calls
        assert (name, args) == ("get_filters", (filters,))
        assert args[0] is filters
        assert list(kwargs.items()) == [("translate", TRANSLATE), ("prefix", "WHERE")]
        assert list(kwargs["translate"]) == ["corp", "is_cascade"]


def test_translate_mapping_is_new_for_every_call(orvesta, db, calls, results):
    results["get_filters"] = lambda filters, translate, prefix: translate.clear() or ""
    orvesta.inactive_report(db, reporting_query=DATES)
    orvesta.inactive_report(db, reporting_query=DATES)
    first, second = (kwargs["translate"] for _, _, kwargs in calls)
    assert first is not second
    assert second == {}  # emptied by the helper, but it had been filled anew
    assert calls[1][2]["prefix"] == "WHERE"


def test_continuity_calls_filters_grouping_then_now(orvesta, db, calls):
    group_by, filters = ["crm_id"], {"crm_id": 1}
    orvesta.continuity_report(db, group_by, filters, DATES, ["crm_id"])
    assert calls == [
        ("get_filters", (filters,), {}),
        ("format_group_by", (group_by,), {}),
        ("now", (), {}),
    ]
    assert calls[1][1][0] is group_by


def test_bin_reads_dates_then_groups_then_filters_with_qualifier(orvesta, db, calls):
    group_by, filters = ["bin"], {"bin": "411111"}
    orvesta.bin_report(db, group_by, filters, DATES)
    assert calls == [("format_group_by", (group_by,), {}), ("get_filters", (filters, "a."), {})]


def test_affid_hands_the_formatted_grouping_to_get_order_by(orvesta, db, calls, results):
    formatted = ["crm_id", "affid"]
    results["format_group_by"] = lambda group_by: formatted
    order_by = ["affid"]
    orvesta.affid_report(db, ["x"], {}, DATES, order_by)
    assert names(calls) == ["get_filters", "format_group_by", "get_order_by"]
    _, (group_by, passed_order_by), _ = calls[2]
    assert group_by is formatted and passed_order_by is order_by


def test_mtd_takes_reporting_query_third(orvesta, db, calls):
    group_by, report_request = ["crm_id"], dict(DATES)
    orvesta.mtd_report(db, group_by, report_request)
    assert calls == [
        ("get_filters", ({},), {}),
        ("format_group_by", (group_by,), {}),
        ("get_order_by", (group_by, False), {}),
    ]
    assert calls[0][1][0] is orvesta.mtd_report.__defaults__[2]


@pytest.mark.parametrize(
    ("report", "called_before_failure"),
    [
        ("inactive_report", ["get_filters"]),
        ("continuity_report", ["get_filters"]),
        ("approval_report", ["get_filters"]),
        ("bin_report", []),
        ("affid_report", ["get_filters"]),
        ("mtd_report", ["get_filters", "format_group_by"]),
    ],
)
def test_missing_dates_fail_after_the_earlier_steps(
    report, called_before_failure, orvesta, db, calls, pd
):
    call = getattr(orvesta, report)
    with pytest.raises(TypeError, match="'bool' object is not subscriptable"):
        call(db, ["crm_id"])
    assert names(calls) == called_before_failure
    calls.clear()
    with pytest.raises(KeyError) as missing:
        call(db, ["crm_id"], reporting_query={})
    assert missing.value.args == ("start_date",)
    with pytest.raises(KeyError) as missing:
        call(db, ["crm_id"], reporting_query={"start_date": "2026-11-01"})
    assert missing.value.args == ("end_date",)
    assert pd.queries == []


def test_dates_given_as_keywords_do_not_supply_the_range(orvesta, db, pd):
    with pytest.raises(TypeError):
        orvesta.inactive_report(db, start_date="2026-11-01", end_date="2026-11-30")
    assert pd.queries == []


def test_any_mapping_supplies_the_range_by_subscription(orvesta, db, pd):
    class Request:
        def __init__(self):
            self.keys = []

        def __getitem__(self, key):
            self.keys.append(key)
            return "2026-11-01"

    request = Request()
    orvesta.approval_report(db, reporting_query=request)
    assert request.keys == ["start_date", "end_date"]
    assert len(pd.queries) == 1


@pytest.mark.parametrize(
    "report", ["continuity_report", "bin_report", "affid_report", "mtd_report"]
)
def test_non_string_grouping_item_stops_before_ordering_and_running(
    report, orvesta, db, calls, results, pd
):
    results["format_group_by"] = lambda group_by: ["crm_id", 7]
    call = getattr(orvesta, report)
    with pytest.raises(TypeError, match="sequence item 1: expected str instance, int found"):
        if report == "mtd_report":
            call(db, ["crm_id"], DATES)
        else:
            call(db, ["crm_id"], reporting_query=DATES)
    assert "get_order_by" not in names(calls) and "now" not in names(calls)
    assert pd.queries == []


def test_affid_truth_test_failure_stops_before_ordering(orvesta, db, calls, pd):
    class Undecided:
        def __bool__(self):
            raise ZeroDivisionError("no truth value")

    with pytest.raises(ZeroDivisionError):
        orvesta.affid_report(db, ["crm_id"], reporting_query=DATES, inc_test_cc=Undecided())
    assert names(calls) == ["get_filters", "format_group_by"]
    assert pd.queries == []


def test_continuity_calls_now_after_grouping_text_and_before_filter_text(
    orvesta, db, calls, results
):
    events = []

    class Clause:
        def __format__(self, format_spec):
            events.append("filter text")
            return ""

    results["get_filters"] = Clause()
    results["now"] = lambda: events.append("now") or "2026-12-08"
    orvesta.continuity_report(db, ["crm_id"], reporting_query=DATES)
    assert events == ["now", "filter text"]


@pytest.mark.parametrize("failing", ["get_filters", "format_group_by", "get_order_by"])
def test_helper_errors_reach_the_caller_unchanged(failing, orvesta, db, results, pd):
    error = LookupError("from the helper")
    results[failing] = error
    with pytest.raises(LookupError) as raised:
        orvesta.affid_report(db, ["crm_id"], reporting_query=DATES)
    assert raised.value is error
    assert pd.queries == []


def test_db_without_engine_fails_after_the_text_is_joined(orvesta, calls, pd):
    class NoEngine:
        pass

    with pytest.raises(AttributeError, match="engine"):
        orvesta.affid_report(NoEngine(), ["crm_id"], reporting_query=DATES)
    assert names(calls)[-1] == "get_order_by"
    assert pd.queries == []


def test_omitted_grouping_passes_the_same_default_list_every_time(orvesta, db, calls):
    for report in ("continuity_report", "bin_report", "affid_report"):
        calls.clear()
        getattr(orvesta, report)(db, reporting_query=DATES)
        getattr(orvesta, report)(db, reporting_query=DATES)
        first, second = (args[0] for name, args, _ in calls if name == "format_group_by")
        assert first is second is getattr(orvesta, report).__defaults__[0]
        assert first == []
