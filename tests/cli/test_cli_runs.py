"""Each command against the shared sample warehouse: its output, read back, matches what
the report function or Tintora returns for the same arguments on the same database; and
the failures that only the database can reveal."""

from __future__ import annotations

import datetime as dt
import io
import json
import math
import os
import re
import signal
import threading
import time
from decimal import Decimal

import numpy as np
import pandas as pd
import pytest
from psycopg2 import extensions

from reports import orvesta, tintora, warehouse


def _null(value) -> bool:
    return value is None or value is pd.NaT or (isinstance(value, float) and math.isnan(value))


def assert_same_value(got, want, where: str) -> None:
    """``got`` is a value read back from JSON, or a cell text from CSV."""
    if isinstance(got, str) and not isinstance(want, str) and not _null(want):
        got = got if got else None
    if _null(want):
        assert got in (None, ""), where
    elif isinstance(want, (bool, np.bool_)):
        assert got in (bool(want), str(bool(want))), where
    elif isinstance(want, (int, float, np.number, Decimal)):
        assert float(got) == pytest.approx(float(want), rel=1e-12, abs=1e-12), where
    elif isinstance(want, dt.date):
        assert pd.Timestamp(got) == pd.Timestamp(want), where
    else:
        assert got == want, where


def assert_same_rows(rows: list[dict], frame: pd.DataFrame, keys: list[str]) -> None:
    """The same columns in the same order and, matched on ``keys``, the same values."""
    assert len(frame) > 0, "a comparison over no rows proves nothing"
    assert len(rows) == len(frame)
    assert all(list(row) == list(frame.columns) for row in rows)

    def key(values):
        return tuple(None if _null(v) else str(v) for v in values)

    by_key = {key(row[k] for k in keys): row for row in rows}
    assert len(by_key) == len(rows), f"{keys} do not identify the rows"
    for record in frame.to_dict("records"):
        row = by_key[key(record[k] for k in keys)]
        for column, want in record.items():
            assert_same_value(row[column], want, f"{column} of {key(record[k] for k in keys)}")


def csv_rows(text: str) -> list[dict]:
    frame = pd.read_csv(io.StringIO(text), dtype=str, keep_default_na=False)
    return frame.to_dict("records")


class TestReports:
    def test_inactive(self, run, url, db, period, period_args):
        result = run("inactive", "--db", url, *period_args, "--json")
        assert result.status == 0, result.err
        expected = orvesta.inactive_report(db, reporting_query=period)
        assert_same_rows(json.loads(result.out), expected, ["crm_id", "gateway_id"])

    def test_continuity_grouped_filtered_ordered(self, run, url, db, period, period_args):
        result = run(
            "continuity", "--db", url, *period_args, "--json",
            "--group-by", "crm_id,cc_type",
            "--filter", "cc_type=Visa", "--filter", "cc_type=Master",
            "--order-by=-crm_id",
        )  # fmt: skip
        assert result.status == 0, result.err
        rows = json.loads(result.out)
        expected = orvesta.continuity_report(
            db, ["crm_id", "cc_type"], {"cc_type": ["Visa", "Master"]}, period, ["crm_id DESC"]
        )
        assert_same_rows(rows, expected, ["crm_id", "cc_type"])
        assert {row["cc_type"] for row in rows} == {"Visa", "Master"}
        crm_ids = [row["crm_id"] for row in rows]
        assert crm_ids == sorted(crm_ids, reverse=True)

    def test_approval_filtered_to_a_csv_file(self, run, url, db, period, period_args, tmp_path):
        corps = ["O'Hara & Sons 100% Retail", "Summit Holdings"]
        target = tmp_path / "approval.csv"
        result = run(
            "approval", "--db", url, *period_args, "--csv", str(target),
            "--filter", f"corp={corps[0]}", "--filter", f"corp={corps[1]}",
            "--filter", "processor=proc_beta",
        )  # fmt: skip
        assert result.status == 0, result.err
        assert result.out == ""
        assert os.listdir(tmp_path) == ["approval.csv"]
        expected = orvesta.approval_report(
            db, filters={"corp": corps, "processor": "proc_beta"}, reporting_query=period
        )
        keys = ["corporation_name", "processor", "mid_number", "cc_type"]
        rows = csv_rows(target.read_text(encoding="utf-8"))
        assert_same_rows(rows, expected, keys)
        assert {row["corporation_name"] for row in rows} <= set(corps)

    def test_approval_as_an_aligned_table(self, run, url, db, period, period_args):
        result = run("approval", "--db", url, *period_args)
        assert result.status == 0, result.err
        expected = orvesta.approval_report(db, reporting_query=period)
        lines = result.out.splitlines()
        header, rule, body = lines[0], lines[1], lines[2:]
        assert re.split(r"\s{2,}", header) == list(expected.columns)
        assert set(rule) == {"-", " "}
        assert len(body) == len(expected)
        shown = {}
        for line in body:
            cells = re.split(r"\s{2,}", line.strip())
            shown[tuple(cells[:4])] = cells[4:]
        for record in expected.itertuples(index=False):
            cells = shown[tuple(record[:4])]
            assert int(cells[0].replace(",", "")) == record[4]
            for cell, value in zip(cells[1:], record[5:], strict=True):
                assert float(cell) == pytest.approx(value, abs=5e-5)

    def test_bin(self, run, url, db, period, period_args):
        result = run("bin", "--db", url, *period_args, "--json", "--group-by", "crm_id,bin")
        assert result.status == 0, result.err
        expected = orvesta.bin_report(db, ["crm_id", "bin"], {}, period)
        assert_same_rows(json.loads(result.out), expected, ["crm_id", "bin", "bin_category"])

    def test_affid_with_test_cards_filter_and_ordering(self, run, url, db, period, period_args):
        result = run(
            "affid", "--db", url, *period_args, "--json",
            "--group-by", "campaign_id", "--include-test-cards",
            "--filter", "crm_id=1", "--filter", "crm_id=2", "--order-by=-initials",
        )  # fmt: skip
        assert result.status == 0, result.err
        rows = json.loads(result.out)
        expected = orvesta.affid_report(
            db, ["campaign_id"], {"crm_id": ["1", "2"]}, period, ["-initials"], True
        )
        assert_same_rows(rows, expected, ["campaign_id"])
        initials = [row["initials"] for row in rows]
        assert initials == sorted(initials, reverse=True)
        without = orvesta.affid_report(db, ["campaign_id"], {"crm_id": ["1", "2"]}, period)
        assert without["initials"].sum() < sum(initials), "test cards made no difference"

    def test_mtd_as_csv_on_stdout(self, run, url, db, period, period_args):
        result = run(
            "mtd", "--db", url, *period_args, "--csv", "-",
            "--group-by", "processor", "--order-by", "revenue_$ desc",
        )  # fmt: skip
        assert result.status == 0, result.err
        rows = csv_rows(result.out)
        expected = orvesta.mtd_report(db, ["processor"], period, {}, ["revenue_$ desc"])
        assert_same_rows(rows, expected, ["processor"])
        revenue = [float(row["revenue_$"]) for row in rows]
        assert revenue == sorted(revenue, reverse=True)

    def test_database_from_the_environment(self, run, url, db, period, period_args, monkeypatch):
        monkeypatch.setenv("REPORTS_DATABASE_URL", url)
        result = run("mtd", *period_args, "--json")
        assert result.status == 0, result.err
        expected = orvesta.mtd_report(db, ["crm_id"], period)
        assert_same_rows(json.loads(result.out), expected, ["crm_id"])


class TestColors:
    def test_table_as_json(self, run, url, db):
        result = run("colors", "status_colors", "--db", url, "--json")
        assert result.status == 0, result.err
        assert json.loads(result.out) == tintora.Tintora(db).get("status_colors", "status_code")

    def test_table_keyed_by_another_column_as_csv(self, run, url, db, tmp_path):
        target = tmp_path / "bands.csv"
        result = run(
            "colors", "approval_bands", "--key", "color", "--db", url, "--csv", str(target)
        )
        assert result.status == 0, result.err
        rows = csv_rows(target.read_text(encoding="utf-8"))
        expected = tintora.Tintora(db).get("approval_bands", "color")
        assert list(rows[0]) == ["color", "band", "lower_bound", "upper_bound", "note"]
        assert {row.pop("color"): row for row in rows} == expected

    def test_listing(self, run, url, tables):
        result = run("colors", "--db", url, "--json")
        assert result.status == 0, result.err
        expected = {
            name.split(".")[1]: list(frame.columns)
            for name, frame in tables.items()
            if name.startswith("ui_tintora.")
        }
        assert {entry["table"]: entry["columns"] for entry in json.loads(result.out)} == expected
        assert len(expected) == sum(name.startswith("ui_tintora.") for name in warehouse.TABLES)

    def test_empty_table(self, run, url):
        result = run("colors", "empty_palette", "--db", url)
        assert result.status == 0, result.err
        assert result.out.splitlines()[-1] == "(no rows)"


def assert_one_line(result, status: int, *texts: str) -> None:
    assert result.status == status
    assert result.out == ""
    assert result.err.count("\n") == 1, result.err
    for text in texts:
        assert text in result.err


class TestDatabaseFailures:
    def test_unreachable_database_without_showing_the_password(self, run, tmp_path):
        missing = tmp_path / "no-server"
        url = f"postgresql://analyst:s3cret@/warehouse?host={missing}"
        result = run("affid", "--db", url)
        assert_one_line(result, 1, "reports affid: error: cannot reach the database", str(missing))
        assert "s3cret" not in result.err

    def test_unknown_column_keeps_an_existing_file(self, run, url, tmp_path):
        target = tmp_path / "out.csv"
        target.write_text("earlier result\n", encoding="utf-8")
        result = run("affid", "--db", url, "--group-by", "nope", "--csv", str(target))
        assert_one_line(
            result, 1, 'the query failed: column "nope" does not exist', "reporting.cpa_orders"
        )
        assert target.read_text(encoding="utf-8") == "earlier result\n"
        assert os.listdir(tmp_path) == ["out.csv"]

    def test_failure_after_the_retry_of_mtd(self, run, url):
        result = run("mtd", "--db", url, "--filter", "nope=1", "--json")
        assert_one_line(result, 1, 'column "nope" does not exist')

    def test_query_refused_by_the_database(self, run, url, tmp_path):
        result = run("affid", "--db", url, "--filter", "crm_id=abc", "--csv", str(tmp_path / "x"))
        assert_one_line(result, 1, "the query failed: invalid input syntax for type integer")
        assert os.listdir(tmp_path) == []

    @pytest.mark.parametrize(
        "argv, text",
        [
            (["colors", "nope"], "no table 'nope' in schema ui_tintora (tables: approval_bands"),
            (["colors", "status_colors", "--key", "nope"], "has no column 'nope' (columns: "),
        ],
    )
    def test_color_table_or_key_not_there(self, run, url, argv, text):
        assert_one_line(run(*argv, "--db", url), 1, text)


@pytest.mark.parametrize(
    "report, table",
    [("affid", "reporting.cpa_orders"), ("mtd", "reporting.ui_revenue_transactions")],
)
def test_ctrl_c_stops_a_running_query(run, postgres, url, period_args, report, table):
    """The report's query waits on a lock that another session holds; Ctrl-C arrives while
    it waits. The command ends as interrupted, without the month-to-date report's retry."""
    locked, finished = threading.Event(), threading.Event()
    interrupted = []

    def hold_lock_and_interrupt():
        with postgres.engine.connect() as blocker, postgres.engine.connect() as watcher:
            blocker.exec_driver_sql(f"LOCK TABLE {table} IN ACCESS EXCLUSIVE MODE")
            locked.set()
            deadline = time.monotonic() + 30
            while not finished.is_set() and time.monotonic() < deadline:
                waiting = watcher.exec_driver_sql(
                    "SELECT count(*) FROM pg_stat_activity "
                    "WHERE wait_event_type = 'Lock' AND datname = current_database()"
                ).scalar()
                if waiting and not interrupted:
                    interrupted.append(True)
                    os.kill(os.getpid(), signal.SIGINT)
                watcher.rollback()
                time.sleep(0.05)
            blocker.rollback()  # also when no interrupt came: the report then completes

    thread = threading.Thread(target=hold_lock_and_interrupt)
    thread.start()
    try:
        assert locked.wait(30)
        result = run(report, "--db", url, *period_args, "--json")
    finally:
        finished.set()
        thread.join()
    assert interrupted
    assert (result.status, result.out, result.err) == (130, "", "reports: interrupted\n")
    assert extensions.get_wait_callback() is None
