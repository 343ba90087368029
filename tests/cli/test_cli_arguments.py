"""From the command line to the report's arguments, and every input refused before any
database work: one line on stderr, exit status 2, no file, no sample database started."""

from __future__ import annotations

import datetime as dt

import pytest

from reports import cli

TODAY = dt.date.today()
THIS_MONTH = {"start_date": TODAY.replace(day=1), "end_date": TODAY}
LAST_MONTH_END = TODAY.replace(day=1) - dt.timedelta(days=1)


def arguments(*argv: str) -> dict:
    return cli.report_arguments(cli.build_parser().parse_args(list(argv)))


DEFAULTS = {  # besides the current month up to today
    "inactive": {},
    "continuity": {"group_by": ["crm_id"], "filters": {}, "order_by": False},
    "approval": {"filters": {}},
    "bin": {"group_by": ["bin"], "filters": {}},
    "affid": {"group_by": ["affid"], "filters": {}, "order_by": False, "inc_test_cc": False},
    "mtd": {"group_by": ["crm_id"], "filters": {}, "order_by": False},
}


def _dates(start: dt.date, end: dt.date) -> dict:
    return {"reporting_query": {"start_date": start, "end_date": end}}


PARSED = [
    # (arguments, keyword arguments of the report function that differ from its defaults)
    *(([report], {}) for report in DEFAULTS),
    (["affid", "--group-by", "crm_id, step", "--group-by", "affid"],
     {"group_by": ["crm_id", "step", "affid"]}),
    (["affid", "--filter", "crm_id=1", "--filter", "affid=O'Reilly", "--filter", "crm_id=3",
      "--filter", "campaign_id=a=b"],
     {"filters": {"crm_id": ["1", "3"], "affid": "O'Reilly", "campaign_id": "a=b"}}),
    (["affid", "--include-test-cards"], {"inc_test_cc": True}),
    (["continuity", "--order-by=-crm_id,cc_type asc"],
     {"order_by": ["crm_id DESC", "cc_type asc"]}),
    (["affid", "--order-by=-initials", "--order-by", "affid"],
     {"order_by": ["-initials", "affid"]}),
    (["mtd", "--order-by", "revenue_$ desc"], {"order_by": ["revenue_$ desc"]}),
    (["affid", "--end", "2024-02-29"], _dates(dt.date(2024, 2, 1), dt.date(2024, 2, 29))),
    (["bin", "--start", "2023-12-30", "--end", "2024-01-02"],
     _dates(dt.date(2023, 12, 30), dt.date(2024, 1, 2))),
    (["approval", "--period", "last_month"], _dates(LAST_MONTH_END.replace(day=1), LAST_MONTH_END)),
    (["approval", "--period", "last_7_days"], _dates(TODAY - dt.timedelta(days=6), TODAY)),
    (["approval", "--period", "3"], _dates(TODAY - dt.timedelta(days=2), TODAY)),
    (["continuity", '--order-by="Projected Revenue $" desc,-"cc_type"'],
     {"order_by": ['"Projected Revenue $" desc', '"cc_type" DESC']}),
    (["affid", "--order-by", '"mc %" desc'], {"order_by": False}),  # ordered on the result
]  # fmt: skip


@pytest.mark.parametrize("argv, expected", PARSED, ids=[" ".join(a) for a, _ in PARSED])
def test_options_reach_the_report_arguments(argv, expected):
    defaults = {"reporting_query": THIS_MONTH, **DEFAULTS[argv[0]]}
    assert arguments(*argv) == {**defaults, **expected}


REFUSED = [
    # (arguments, text that the one line must hold)
    ([], "name a command"),
    (["nope"], "invalid choice: 'nope'"),
    (["affid", "--bogus", "--csv", "out.csv"], "reports affid: error: unrecognized arguments"),
    (["inactive", "--filter", "crm_id=1"], "unrecognized arguments: --filter crm_id=1"),
    (["approval", "--group-by", "crm_id"], "unrecognized arguments: --group-by crm_id"),
    (["bin", "--order-by", "bin"], "unrecognized arguments: --order-by bin"),
    (["mtd", "--include-test-cards"], "unrecognized arguments: --include-test-cards"),
    (["affid", "--start", "01/11/2026", "--csv", "out.csv"], "not a date: '01/11/2026'"),
    (["affid", "--end", "2026-02-30"], "not a date: '2026-02-30'"),
    (["affid", "--start", "2026-11-05", "--end", "2026-11-01"], "is after the end date"),
    (["affid", "--period", "last_week"], "unknown period 'last_week'"),
    (["affid", "--period", "today", "--end", "2026-11-01"], "--period cannot be combined"),
    (["affid", "--group-by", "crm_id;drop", "--csv", "out.csv"], "invalid grouping column"),
    (["affid", "--group-by", "crm_id,,step"], "empty column name"),
    (["mtd", "--group-by", "crm_id,crm_id"], "given twice"),
    (["affid", "--filter", "crm_id"], "expected COLUMN=VALUE, got 'crm_id'"),
    (["approval", "--filter", "corp name=x"], "invalid column name 'corp name'"),
    (["affid", "--order-by", "initials sideways"], "invalid ordering item"),
    # Every ordering report words a malformed ordering the same way.
    (["continuity", "--order-by", "crm_id; drop table x"], "invalid ordering item"),
    (["mtd", "--order-by", "-revenue_$ desc"], "invalid ordering item"),
    (["affid", "--group", "crm_id"], "unrecognized arguments: --group crm_id"),  # no abbreviation
    (["inactive", "--period", "3"], "does not depend on dates and takes no --period"),
    (["continuity", "--start", "2026-11-01"], "does not depend on dates and takes no --start"),
    (["affid", "--period", "0"], "a period of '0' days: give at least 1"),
    (["affid", "--period", "99999999"], "reaches before year 1"),
    (["affid", "--scale", "1000000000000"], "at most 1,000,000 orders"),
    (["serve", "--detach", "--scale", "99999999999999999999"], "at most 1,000,000 orders"),
    (["affid", "--db", ""], "--db is empty"),
    (["affid", "--csv", ""], "--csv needs a file name"),
    (["affid", "--csv", "/proc/self/oom_score_adj"], "will not write under /proc, /sys"),
    (["affid", "--csv", "/sys/kernel/profiling"], "will not write under /proc, /sys"),
    (["affid", "--csv", "."], "--csv .: is a directory"),
    (["stop", "--all", "postgresql://u@/d?host=/tmp"], "a URL or --all, not both"),
    (["bin", "--group-by", "crm_id", "--csv", "out.csv"], "grouping must include bin"),
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


@pytest.fixture
def no_sample_server(monkeypatch):
    """Fails the test if the command starts a sample database."""

    def refuse(self):
        raise AssertionError("the command started a sample database")

    monkeypatch.setattr("reports.pg.EmbeddedPostgres.start", refuse)


@pytest.mark.parametrize("argv, message", REFUSED, ids=[" ".join(a) or "-" for a, _ in REFUSED])
def test_refused_with_one_line(run, no_sample_server, tmp_path, monkeypatch, argv, message):
    monkeypatch.chdir(tmp_path)
    result = run(*argv)
    assert (result.status, result.out) == (2, "")
    assert result.err.count("\n") == 1 and result.err.endswith("\n")
    assert result.err.startswith("reports") and ": error: " in result.err
    assert message in result.err
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    "url, message", [("mysql://u@h/d", "names a mysql database"), (" ", "is set but empty")]
)
def test_environment_url_is_checked_like_db(run, monkeypatch, no_sample_server, url, message):
    monkeypatch.setenv(cli.ENV_URL, url)
    result = run("approval")
    assert result.status == 2
    assert result.err.startswith(f"reports approval: error: {cli.ENV_URL} {message}")


def test_help_exits_zero(run):
    result = run("mtd", "--help")
    assert result.status == 0
    assert "--group-by" in result.out and "--include-test-cards" not in result.out
    assert "--start" in result.out and "--start" not in run("inactive", "--help").out
