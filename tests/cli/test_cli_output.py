"""The aligned table and the progress line."""

from __future__ import annotations

import contextlib
import datetime as dt
import io
from decimal import Decimal

import numpy as np
import pandas as pd
import pytest

from reports.output import format_csv, format_table
from reports.progress import Progress


def test_numbers_right_aligned_by_kind_of_column_text_left():
    frame = pd.DataFrame({
        "affid": ["a", "longer"], "crm_id": [1, 12345], "revenue_$": [1234.5, -3.0],
        "approval %": [0.4646137, 1.0], "count": [14.0, 2.0], "cap": [3253.83, 121075.1],
    })  # fmt: skip
    assert format_table(frame).splitlines() == [
        "affid   crm_id  revenue_$  approval %  count         cap",
        "------  ------  ---------  ----------  -----  ----------",
        "a            1   1,234.50      0.4646     14    3,253.83",
        "longer  12,345      -3.00      1.0000      2  121,075.10",
    ]


def test_nulls_empty_and_other_values_as_text():
    frame = pd.DataFrame({
        "label": ["x", None], "ratio": [np.nan, 0.5],
        "since": [pd.NaT, pd.Timestamp("2026-11-23 10:30")], "enabled": [True, False],
        "close_date": [dt.date(2026, 11, 23), None], "amount $": [Decimal("10.5"), None],
    })  # fmt: skip
    lines = format_table(frame).splitlines()
    assert lines[2].split() == ["x", "true", "2026-11-23", "10.50"]
    assert lines[3].split() == ["0.5", "2026-11-23", "10:30:00", "false"]


def test_wide_table_in_blocks_that_repeat_the_label_columns():
    frame = pd.DataFrame({"crm_id": [1, 2], **{f"figure_{i}": [i, i * 10] for i in range(8)}})
    blocks = [b.splitlines() for b in format_table(frame, label_columns=1, width=40).split("\n\n")]
    assert len(blocks) > 1
    seen = []
    for block in blocks:
        assert max(len(line) for line in block) <= 40
        assert [line.split()[0] for line in block] == ["crm_id", "------", "1", "2"]
        seen += block[0].split()[1:]
    assert seen == [f"figure_{i}" for i in range(8)]


@pytest.mark.parametrize("terminal, fails", [(True, False), (True, True), (False, False)])
def test_progress_only_on_a_terminal_and_erased_when_done(terminal, fails):
    stream = io.StringIO()
    stream.isatty = lambda: terminal
    progress = Progress(stream, delay=0)
    with pytest.raises(RuntimeError) if fails else contextlib.nullcontext():
        with progress.step("loading the sample warehouse"):
            shown = stream.getvalue()
            if fails:
                raise RuntimeError("refused")
    progress.note("12 rows written")
    if terminal:
        assert "loading the sample warehouse..." in shown
        assert stream.getvalue().endswith("\r\x1b[K12 rows written\n")
    else:
        assert stream.getvalue() == ""


def test_progress_line_never_wider_than_the_terminal(monkeypatch):
    """A wrapped line adds a line at each redraw; the line is cut to the width."""
    stream = io.StringIO()
    stream.isatty = lambda: True
    monkeypatch.setattr(Progress, "_columns", lambda self: 30)
    with Progress(stream, delay=0).step("loading the sample warehouse (1000000 orders)"):
        pass
    drawn = [line for line in stream.getvalue().split("\r") if line.strip("\x1b[K")]
    assert drawn and all(len(line.removesuffix("\x1b[K")) <= 29 for line in drawn)
    assert drawn[0].startswith("| loading the sample")


def test_line_breaks_escaped_and_wide_characters_measured():
    frame = pd.DataFrame({
        "name": ["two\nlines", "東京支店", "tab\there"], "count": [1, 22, 333],
    })  # fmt: skip
    lines = format_table(frame).splitlines()
    assert lines == [
        "name        count",
        "----------  -----",
        "two\\nlines      1",
        "東京支店       22",
        "tab\\there     333",
    ]


def test_csv_shows_values_as_the_table_and_json_do():
    frame = pd.DataFrame({
        "label": ["x", None], "ratio": [np.nan, 0.125], "enabled": [True, False],
        "amount $": [Decimal("10.50"), None], "on": [dt.date(2026, 11, 23), pd.NaT],
        "note": ['say "hi", twice', "a\nb"],
    })  # fmt: skip
    assert format_csv(frame) == (
        "label,ratio,enabled,amount $,on,note\n"
        'x,,true,10.5,2026-11-23,"say ""hi"", twice"\n'
        ',0.125,false,,,"a\nb"\n'
    )
