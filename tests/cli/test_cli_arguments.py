"""From the command line to the report's arguments, and every input refused before any
database work: one line on stderr, exit status 2, no sample database started."""

from __future__ import annotations

import datetime as dt

import pytest

from reports import cli


def arguments(*argv: str) -> dict:
    return cli.report_arguments(cli.build_parser().parse_args(list(argv)))


class TestReportArguments:
    def test_grouping_from_comma_lists_and_repeats(self):
        kwargs = arguments("affid", "--group-by", "crm_id, step", "--group-by", "affid")
        assert kwargs["group_by"] == ["crm_id", "step", "affid"]

    @pytest.mark.parametrize(
        "report, default",
        [("continuity", ["crm_id"]), ("bin", ["bin"]), ("affid", ["affid"]), ("mtd", ["crm_id"])],
    )
    def test_each_grouping_report_has_a_default_grouping(self, report, default):
        assert arguments(report)["group_by"] == default

    def test_filters_one_value_plain_several_as_list_in_given_order(self):
        kwargs = arguments(
            "affid",
            "--filter", "crm_id=1",
            "--filter", "affid=O'Reilly",
            "--filter", "crm_id=3",
            "--filter", "campaign_id=a=b",
        )  # fmt: skip
        assert kwargs["filters"] == {
            "crm_id": ["1", "3"],
            "affid": "O'Reilly",
            "campaign_id": "a=b",
        }
        assert list(kwargs["filters"]) == ["crm_id", "affid", "campaign_id"]

    def test_no_filter_no_ordering_no_test_cards(self):
        kwargs = arguments("affid")
        assert kwargs["filters"] == {}
        assert kwargs["order_by"] is False
        assert kwargs["inc_test_cc"] is False
        assert arguments("affid", "--include-test-cards")["inc_test_cc"] is True

    def test_descending_shorthand_is_written_out_for_continuity_only(self):
        continuity = arguments("continuity", "--order-by=-crm_id,cc_type asc")
        assert continuity["order_by"] == ["crm_id DESC", "cc_type asc"]
        affid = arguments("affid", "--order-by=-initials", "--order-by", "affid")
        assert affid["order_by"] == ["-initials", "affid"]

    def test_reports_without_grouping_get_none(self):
        assert "group_by" not in arguments("approval")
        assert set(arguments("inactive")) == {"reporting_query"}


class TestDates:
    def test_default_is_the_current_month_up_to_today(self):
        today = dt.date.today()
        query = arguments("mtd")["reporting_query"]
        assert query == {"start_date": today.replace(day=1), "end_date": today}

    def test_start_defaults_to_the_first_of_the_end_dates_month(self):
        query = arguments("affid", "--end", "2024-02-29")["reporting_query"]
        assert query == {"start_date": dt.date(2024, 2, 1), "end_date": dt.date(2024, 2, 29)}

    def test_explicit_range_reaches_the_report_as_dates(self):
        query = arguments("bin", "--start", "2023-12-30", "--end", "2024-01-02")["reporting_query"]
        assert query == {"start_date": dt.date(2023, 12, 30), "end_date": dt.date(2024, 1, 2)}

    def test_named_periods(self):
        today = dt.date.today()
        first = today.replace(day=1)
        last_month_end = first - dt.timedelta(days=1)
        cases = {
            "last_month": (last_month_end.replace(day=1), last_month_end),
            "last_7_days": (today - dt.timedelta(days=6), today),
            "3": (today - dt.timedelta(days=2), today),
        }
        for name, (start, end) in cases.items():
            query = arguments("approval", "--period", name)["reporting_query"]
            assert (query["start_date"], query["end_date"]) == (start, end), name


OPTIONS = {
    "--group-by": ("crm_id",),
    "--filter": ("crm_id=1",),
    "--order-by": ("crm_id",),
    "--include-test-cards": (),
}
OFFERED = {
    "inactive": set(),
    "continuity": {"--group-by", "--filter", "--order-by"},
    "approval": {"--filter"},
    "bin": {"--group-by", "--filter"},
    "affid": {"--group-by", "--filter", "--order-by", "--include-test-cards"},
    "mtd": {"--group-by", "--filter", "--order-by"},
}


@pytest.mark.parametrize("report", sorted(OFFERED))
def test_each_report_offers_the_options_its_function_reads(run, report):
    for option, values in OPTIONS.items():
        argv = [report, option, *values]
        if option in OFFERED[report]:
            cli.build_parser().parse_args(argv)
        else:
            result = run(*argv)
            assert result.status == 2
            assert f"reports {report}: error: unrecognized arguments: {option}" in result.err


REFUSED = [
    # (arguments, text that the one line must hold)
    ([], "name a command"),
    (["nope"], "invalid choice: 'nope'"),
    (["affid", "--bogus"], "reports affid: error: unrecognized arguments: --bogus"),
    (["inactive", "--filter", "crm_id=1"], "unrecognized arguments: --filter crm_id=1"),
    (["affid", "--start", "01/11/2026"], "not a date: '01/11/2026'"),
    (["affid", "--end", "2026-02-30"], "not a date: '2026-02-30'"),
    (["affid", "--start", "2026-11-05", "--end", "2026-11-01"], "is after the end date"),
    (["affid", "--period", "last_week"], "unknown period 'last_week'"),
    (["affid", "--period", "today", "--end", "2026-11-01"], "--period cannot be combined"),
    (["affid", "--group-by", "crm_id;drop"], "invalid grouping column 'crm_id;drop'"),
    (["affid", "--group-by", "crm_id,,step"], "empty column name"),
    (["mtd", "--group-by", "crm_id,crm_id"], "given twice"),
    (["affid", "--filter", "crm_id"], "expected COLUMN=VALUE, got 'crm_id'"),
    (["affid", "--filter", "=1"], "expected COLUMN=VALUE"),
    (["approval", "--filter", "corp name=x"], "invalid column name 'corp name'"),
    (["affid", "--order-by", "initials sideways"], "invalid ordering item"),
    (["continuity", "--order-by", "crm_id; drop table x"], "is not a column name"),
    (["bin", "--group-by", "crm_id"], "grouping must include bin"),
    (["affid", "--csv", "/nonexistent-dir/out.csv"], "no such directory"),
    (["affid", "--csv", "out.csv", "--json"], "not allowed with argument"),
    (["affid", "--db", "sqlite:///x.db"], "names a sqlite database"),
    (["affid", "--db", "not a url"], "--db is not a database URL"),
    (["affid", "--db", "postgresql://u@h/d", "--scale", "10"], "--scale is for the sample"),
    (["affid", "--scale", "0"], "expected a positive whole number"),
    (["colors", "--key", "band"], "--key needs a TABLE"),
    (["stop"], "give the URL"),
    (["stop", "postgresql://u@/d?host=/tmp"], "not a database started by"),
]


@pytest.mark.parametrize("argv, message", REFUSED, ids=[" ".join(a) or "-" for a, _ in REFUSED])
def test_refused_with_one_line_before_any_database_work(run, no_sample_server, argv, message):
    result = run(*argv)
    assert result.status == 2
    assert result.out == ""
    assert result.err.count("\n") == 1 and result.err.endswith("\n")
    assert result.err.startswith("reports") and ": error: " in result.err
    assert message in result.err


def test_environment_url_is_checked_like_db(run, monkeypatch, no_sample_server):
    monkeypatch.setenv(cli.ENV_URL, "mysql://u@h/d")
    result = run("approval")
    assert result.status == 2
    assert f"{cli.ENV_URL} names a mysql database" in result.err


def test_help_exits_zero(run):
    result = run("mtd", "--help")
    assert result.status == 0
    assert "--group-by" in result.out and "--include-test-cards" not in result.out
