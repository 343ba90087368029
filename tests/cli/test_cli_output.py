"""The aligned table and the progress line."""

from __future__ import annotations

import datetime as dt
import io
from decimal import Decimal

import numpy as np
import pandas as pd

from reports.output import Progress, format_table


def cells(text: str) -> list[list[str]]:
    """The table's lines split at runs of two or more blanks."""
    import re

    return [re.split(r"\s{2,}", line.strip()) for line in text.splitlines()]


class TestTable:
    def test_numbers_by_kind_of_column(self):
        frame = pd.DataFrame(
            {
                "crm_id": [1, 12345],
                "revenue_$": [1234.5, -3.0],
                "approval %": [0.4646137, 1.0],
                "rebill %": [0.5, 1.0],
                "projected_count": [14.0, 2.0],
                "cap": [3253.83, 121075.1],
                "CB %": [0, 1],
            }
        )
        rows = cells(format_table(frame))
        assert rows[0] == [
            "crm_id", "revenue_$", "approval %", "rebill %", "projected_count", "cap", "CB %"
        ]  # fmt: skip
        assert rows[2] == ["1", "1,234.50", "0.4646", "0.5000", "14", "3,253.83", "0"]
        assert rows[3] == ["12,345", "-3.00", "1.0000", "1.0000", "2", "121,075.10", "1"]

    def test_numbers_align_right_text_left(self):
        frame = pd.DataFrame({"affid": ["a", "longer"], "initials": [5, 1234]})
        lines = format_table(frame).splitlines()
        assert lines[0] == "affid   initials"
        assert lines[2] == "a              5"
        assert lines[3] == "longer     1,234"

    def test_nulls_are_empty_cells(self):
        frame = pd.DataFrame(
            {
                "label": ["x", None],
                "ratio": [np.nan, 0.5],
                "since": [pd.NaT, pd.Timestamp("2026-11-23 10:30")],
            }
        )
        lines = format_table(frame).splitlines()
        assert lines[2].split() == ["x"]
        assert lines[3].split() == ["0.5", "2026-11-23", "10:30:00"]

    def test_other_values(self):
        frame = pd.DataFrame(
            {
                "enabled": [True, False],
                "close_date": [dt.date(2026, 11, 23), dt.date(2026, 1, 2)],
                "amount $": [Decimal("10.5"), None],
                "name": ["O'Hara & Sons 100% Retail", "b"],
            }
        )
        rows = cells(format_table(frame))
        assert rows[2] == ["true", "2026-11-23", "10.50", "O'Hara & Sons 100% Retail"]
        assert rows[3][:2] == ["false", "2026-01-02"]

    def test_column_names_as_given(self):
        frame = pd.DataFrame({" c1 approved": [1], "approval C2+%": [0.25]})
        assert format_table(frame).splitlines()[0] == " c1 approved  approval C2+%"

    def test_no_rows(self):
        frame = pd.DataFrame({"crm_id": pd.Series([], dtype=int), "revenue_$": []})
        assert format_table(frame).splitlines() == [
            "crm_id  revenue_$",
            "------  ---------",
            "(no rows)",
        ]

    def test_wide_table_in_blocks_that_repeat_the_label_columns(self):
        frame = pd.DataFrame({"crm_id": [1, 2], **{f"figure_{i}": [i, i * 10] for i in range(8)}})
        text = format_table(frame, label_columns=1, width=40)
        blocks = [block.splitlines() for block in text.split("\n\n")]
        assert len(blocks) > 1
        seen = []
        for block in blocks:
            assert all(len(line) <= 40 for line in block)
            header = block[0].split()
            assert header[0] == "crm_id"
            assert [row.split()[0] for row in block[2:]] == ["1", "2"]
            seen += header[1:]
        assert seen == [f"figure_{i}" for i in range(8)]

    def test_one_block_without_a_width(self):
        frame = pd.DataFrame({f"figure_{i}": [i] for i in range(30)})
        assert len(format_table(frame, label_columns=1).splitlines()) == 3


class FakeTerminal(io.StringIO):
    def isatty(self):
        return True


class TestProgress:
    def test_shown_on_a_terminal_and_erased_when_done(self):
        stream = FakeTerminal()
        with Progress(stream, delay=0).step("loading the sample warehouse"):
            shown = stream.getvalue()
        assert "loading the sample warehouse..." in shown
        assert stream.getvalue().endswith("\r\x1b[K")

    def test_silent_when_not_a_terminal(self):
        stream = io.StringIO()
        progress = Progress(stream, delay=0)
        with progress.step("running the affid report"):
            pass
        progress.note("12 rows written")
        assert stream.getvalue() == ""

    def test_a_step_that_raises_still_erases_its_line(self):
        stream = FakeTerminal()
        try:
            with Progress(stream, delay=0).step("connecting"):
                raise RuntimeError("refused")
        except RuntimeError:
            pass
        assert stream.getvalue().endswith("\r\x1b[K")
