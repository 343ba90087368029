"""Each command against the shared sample warehouse: its output, read back, matches what
the report function or Tintora returns for the same arguments on the same database; and
the failures that only the database can reveal."""

from __future__ import annotations

import io
import json
import os
import re
import signal
import threading
import time

import pandas as pd
import pytest
from psycopg2 import extensions

from reports import cli, orvesta, tintora


def csv_rows(text: str) -> list[dict]:
    return pd.read_csv(io.StringIO(text), dtype=str, keep_default_na=False).to_dict("records")


def table_rows(text: str) -> list[dict]:
    """An aligned table's rows, thousands separators taken out of the numbers."""
    header, _, *body = (re.split(r"\s{2,}", line.strip()) for line in text.splitlines())
    return [
        {
            name: re.sub(r"(?<=\d),(?=\d{3})", "", cell)
            for name, cell in zip(header, row, strict=True)
        }
        for row in body
    ]


CORPS = ["O'Hara & Sons 100% Retail", "Summit Holdings"]
RUNS = [
    # (arguments, URL and FILE filled in; the report function's arguments besides the date
    #  range; the columns that identify a row; the column whose order --order-by sets)
    (["inactive", "--db", "URL", "--json"], {}, ["crm_id", "gateway_id"], None),
    (["continuity", "--db", "URL", "--json", "--group-by", "crm_id,cc_type",
      "--filter", "cc_type=Visa", "--filter", "cc_type=Master", "--order-by=-crm_id"],
     {"group_by": ["crm_id", "cc_type"], "filters": {"cc_type": ["Visa", "Master"]},
      "order_by": ["crm_id DESC"]}, ["crm_id", "cc_type"], "crm_id"),
    (["approval", "--db", "URL", "--csv", "FILE", "--filter", f"corp={CORPS[0]}",
      "--filter", f"corp={CORPS[1]}", "--filter", "processor=proc_beta"],
     {"filters": {"corp": CORPS, "processor": "proc_beta"}},
     ["corporation_name", "processor", "mid_number", "cc_type"], None),
    (["approval", "--db", "URL"], {}, ["corporation_name", "processor", "mid_number", "cc_type"],
     None),  # as an aligned table
    (["bin", "--db", "URL", "--json", "--group-by", "crm_id,bin"],
     {"group_by": ["crm_id", "bin"], "filters": {}}, ["crm_id", "bin", "bin_category"], None),
    (["affid", "--db", "URL", "--json", "--group-by", "campaign_id", "--include-test-cards",
      "--filter", "crm_id=1", "--filter", "crm_id=2", "--order-by=-initials"],
     {"group_by": ["campaign_id"], "filters": {"crm_id": ["1", "2"]}, "order_by": ["-initials"],
      "inc_test_cc": True}, ["campaign_id"], "initials"),
    (["mtd", "--db", "URL", "--csv", "-", "--group-by", "processor",
      "--order-by", "revenue_$ desc"],
     {"group_by": ["processor"], "filters": {}, "order_by": ["revenue_$ desc"]},
     ["processor"], "revenue_$"),
    (["mtd", "--json"], {"group_by": ["crm_id"], "filters": {}}, ["crm_id"], None),  # URL from env
]  # fmt: skip


@pytest.mark.parametrize("argv, kwargs, keys, ordered", RUNS, ids=[" ".join(r[0]) for r in RUNS])
def test_report(
    run, db, period, date_options, same_rows, tmp_path, monkeypatch, argv, kwargs, keys, ordered
):
    target = tmp_path / "out.csv"
    argv = [{"URL": db.url, "FILE": str(target)}.get(arg, arg) for arg in argv]
    argv += date_options(argv[0])
    unused = "postgresql://nobody@/nowhere?host=/nonexistent"  # --db comes first
    monkeypatch.setenv(cli.ENV_URL, unused if "--db" in argv else db.url)
    target.write_text("earlier result\n", encoding="utf-8")
    with open(target, encoding="utf-8") as reader:  # never sees a half-written file
        result = run(*argv)
        assert reader.read() == "earlier result\n"
    assert result.status == 0, result.err
    text = result.out
    if str(target) in argv:
        assert text == "" and os.listdir(tmp_path) == ["out.csv"]
        text = target.read_text(encoding="utf-8")
    read = json.loads if "--json" in argv else csv_rows if "--csv" in argv else table_rows
    expected = getattr(orvesta, f"{argv[0]}_report")(db, reporting_query=period, **kwargs)
    rows = read(text)
    same_rows(rows, expected, keys, tol=5e-5 if read is table_rows else 1e-12)
    if ordered:
        assert [float(row[ordered]) for row in rows] == pytest.approx(list(expected[ordered]))


def test_test_cards_change_the_affid_figures(db, period):
    """Else the --include-test-cards run above could not tell the option was ignored."""
    args = (db, ["campaign_id"], {"crm_id": ["1", "2"]}, period)
    with_cards = orvesta.affid_report(*args, False, True)["initials"].sum()
    assert orvesta.affid_report(*args)["initials"].sum() < with_cards


def color_listing(db) -> dict:
    tables = db.tables.items()
    return {n.split(".")[1]: list(f.columns) for n, f in tables if n.startswith("ui_tintora.")}


COLORS = [
    # (arguments, what they must print read back, what it must equal)
    (["status_colors", "--json"], json.loads,
     lambda db: tintora.Tintora(db).get("status_colors", "status_code")),
    (["--json"], lambda text: {entry["table"]: entry["columns"] for entry in json.loads(text)},
     color_listing),
]  # fmt: skip


@pytest.mark.parametrize("argv, read, expected", COLORS, ids=[" ".join(c[0]) for c in COLORS])
def test_colors(run, db, argv, read, expected):
    result = run("colors", *argv, "--db", db.url)
    assert result.status == 0, result.err
    want = expected(db)
    assert read(result.out) == want and len(want) > 1


@pytest.mark.parametrize(
    "table, key, output, read",
    [("bin_category_colors", "sort_order", [], table_rows),
     ("approval_bands", "color", ["--csv", "-"], csv_rows)],
)  # fmt: skip
def test_colors_show_null_and_booleans_as_the_reports_do(run, db, table, key, output, read):
    """Rows in key order; NULL an empty cell, booleans true/false, not nan, None or True."""
    result = run("colors", table, "--key", key, *output, "--db", db.url)
    assert result.status == 0, result.err
    frame = db.tables[f"ui_tintora.{table}"].sort_values(key)
    frame = frame[[key, *(c for c in frame.columns if c != key)]]
    expected = [
        {
            column: "" if pd.isna(v) else str(v).lower() if isinstance(v, bool) else v
            for column, v in record.items()
        }
        for record in frame.to_dict("records")
    ]
    assert any(v in ("", "true") for record in expected for v in record.values())
    rows = read(result.out)
    assert [list(row) for row in rows] == [list(record) for record in expected]
    for row, record in zip(rows, expected, strict=True):
        for column, want in record.items():
            if isinstance(want, str):
                assert row[column] == want, (column, row)
            else:
                assert float(row[column]) == pytest.approx(float(want)), (column, row)


UNREACHABLE = "postgresql://analyst:s3cret@/warehouse?host=/nonexistent/no-server"
FAILURES = [
    # (arguments, texts that the one line must hold)
    (["affid", "--db", UNREACHABLE],
     ["reports affid: error: cannot reach the database", "/nonexistent/no-server"]),
    (["affid", "--filter", "crm_id=abc"], ["the query failed: invalid input syntax for type"]),
    (["colors", "nope"], ["no table 'nope' in schema ui_tintora (tables: approval_bands"]),
    (["colors", "status_colors", "--key", "nope"], ["has no column 'nope' (columns: "]),
]  # fmt: skip


@pytest.mark.parametrize("argv, texts", FAILURES, ids=[" ".join(a) for a, _ in FAILURES])
def test_database_failure_one_line_and_the_file_kept(run, db, tmp_path, argv, texts):
    target = tmp_path / "out.csv"
    target.write_text("earlier result\n", encoding="utf-8")
    db_args = [] if "--db" in argv else ["--db", db.url]
    result = run(*argv, *db_args, "--csv", str(target))
    assert (result.status, result.out) == (1, "")
    assert result.err.count("\n") == 1, result.err
    assert all(text in result.err for text in texts), result.err
    assert "s3cret" not in result.err
    assert target.read_text(encoding="utf-8") == "earlier result\n"
    assert os.listdir(tmp_path) == ["out.csv"]


@pytest.mark.parametrize(
    "argv, message",
    [(["affid", "--group-by", "crm_id,afid"],
      "no grouping column 'afid' in reporting.cpa_orders (did you mean affid?"),
     (["mtd", "--filter", "procesor=proc_beta"],
      "no filter column 'procesor' in reporting.ui_revenue_transactions (did you mean processor?"),
     (["approval", "--filter", "corp_name=x"], "no filter column 'corp_name' among "),
     (["continuity", "--group-by", "nope"], "(see 'reports columns continuity'"),
     (["mtd", "--columns", "crm_id,revenue$"],
      "no result column 'revenue$' (did you mean revenue_$")],
)  # fmt: skip
def test_unknown_column_refused_with_the_nearest_names(run, db, tmp_path, argv, message):
    """Before the query runs: the database's own error names no alternative."""
    target = tmp_path / "out.csv"
    result = run(*argv, "--db", db.url, "--csv", str(target))
    assert (result.status, result.out) == (2, "")
    assert result.err.count("\n") == 1 and message in result.err, result.err
    assert os.listdir(tmp_path) == []


WAITING = "SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock'"


@pytest.mark.parametrize(
    "report, table",
    [("affid", "reporting.cpa_orders"), ("mtd", "reporting.ui_revenue_transactions")],
)
def test_ctrl_c_stops_a_running_query(run, db, date_options, report, table):
    """The report's query waits on a lock that another session holds; Ctrl-C arrives while
    it waits. The command ends as interrupted, without the month-to-date report's retry."""
    locked, finished = threading.Event(), threading.Event()
    interrupted = []

    def hold_lock_and_interrupt():
        with db.engine.connect() as blocker, db.engine.connect() as watcher:
            blocker.exec_driver_sql(f"LOCK TABLE {table} IN ACCESS EXCLUSIVE MODE")
            locked.set()
            deadline = time.monotonic() + 30
            while not finished.wait(0.05) and time.monotonic() < deadline:
                if not interrupted and watcher.exec_driver_sql(WAITING).scalar():
                    interrupted.append(True)
                    os.kill(os.getpid(), signal.SIGINT)
                watcher.rollback()
            blocker.rollback()  # also when no interrupt came: the report then completes

    thread = threading.Thread(target=hold_lock_and_interrupt)
    thread.start()
    try:
        assert locked.wait(30)
        result = run(report, "--db", db.url, *date_options(report), "--json")
    finally:
        finished.set()
        thread.join()
    assert interrupted
    assert (result.status, result.out, result.err) == (130, "", "reports: interrupted\n")
    assert extensions.get_wait_callback() is None


ORDERINGS = [
    # (report, --order-by as the help shows it, the result column it orders by)
    ("affid", '"mc %" desc', "mc %"),
    ("mtd", '-"gm_%"', "gm_%"),
    ("continuity", '"projected_revenue $" desc', "projected_revenue $"),
]


@pytest.mark.parametrize("report, order_by, column", ORDERINGS)
def test_order_by_a_result_column_as_the_help_says(run, db, date_options, report, order_by, column):
    argv = [report, "--db", db.url, "--json", f"--order-by={order_by}", "--group-by", "crm_id"]
    argv += date_options(report)
    if report == "affid":
        assert order_by in " ".join(run(report, "--help").out.split())
    result = run(*argv)
    assert result.status == 0, result.err
    values = [row[column] for row in json.loads(result.out)]
    present = [v for v in values if v is not None]
    assert len(set(present)) > 1
    assert present == sorted(present, reverse=True)
    assert values == present + [None] * (len(values) - len(present))


def test_unexpected_failure_is_one_line_unless_debug(run, db, monkeypatch):
    def broken(db, *args, **kwargs):
        if db.engine is None:  # the stand-in that checks arguments: a query, as reports do
            return orvesta.pd.read_sql("SELECT 1", db.engine)
        raise ZeroDivisionError("division by zero")

    monkeypatch.setattr(orvesta, "bin_report", broken)
    result = run("bin", "--db", db.url)
    assert (result.status, result.out) == (1, "")
    assert result.err == (
        "reports bin: error: unexpected failure while running the bin report: "
        "ZeroDivisionError: division by zero "
        "(--debug shows the traceback)\n"
    )
    debug = run("bin", "--db", db.url, "--debug")
    assert debug.status == 1
    assert debug.err.startswith("Traceback (most recent call last):")
    assert debug.err.endswith("report: ZeroDivisionError: division by zero\n")
