"""A report's data frame as the page shows it: the command's cell texts, a sort key per
numeric cell for the browser's sorting, and the cell colors of the page's palette."""

from __future__ import annotations

import dataclasses
import math

from . import command
from .colors import Palette

__all__ = ["MAX_ROWS", "Cell", "Table", "build_table"]

#: Rows shown on a page; the downloads always hold every row.
MAX_ROWS = 2000


@dataclasses.dataclass(frozen=True)
class Cell:
    text: str
    #: Numeric sort key as text ("" for NULL), None for text cells.
    sort: str | None = None
    color: str | None = None
    title: str | None = None


@dataclasses.dataclass(frozen=True)
class Table:
    columns: list[tuple[str, bool]]  # name, numeric
    rows: list[list[Cell]]
    total_rows: int
    label_columns: int
    colored_columns: list[str]


def _sort_key(value) -> str:
    try:
        number = float(value)
    except (TypeError, ValueError):
        return ""
    return repr(number) if math.isfinite(number) else ""


def build_table(frame, palette: Palette, label_columns: int) -> Table:
    names = [str(name) for name in frame.columns]
    columns: list[list[Cell]] = []
    kinds: list[tuple[str, bool]] = []
    for i, name in enumerate(names):
        # Formatted over every row, as the command formats them, then cut.
        values = frame.iloc[:, i].tolist()
        texts, numeric = command.cell_texts(name, values)
        values, texts = values[:MAX_ROWS], texts[:MAX_ROWS]
        cells = []
        for value, text in zip(values, texts, strict=True):
            picked = palette.color(name, value)
            color, title = picked if picked else (None, None)
            sort = _sort_key(value) if numeric else None
            cells.append(Cell(text, sort, color, title))
        columns.append(cells)
        kinds.append((name, numeric))
    rows = [list(row) for row in zip(*columns, strict=True)] if columns else []
    return Table(kinds, rows, len(frame), label_columns, sorted(palette.columns))
