"""A report's data frame as the page shows it: the command's cell texts, a sort key per
numeric cell for the browser's sorting, and the cell colors of the page's palette.

The rows are written here as escaped HTML rather than by a template loop: a BIN report
page holds tens of thousands of cells, and a template spends several microseconds on
each of them, which would cost more than the report's query.
"""

from __future__ import annotations

import dataclasses
import math

from markupsafe import Markup, escape

from . import command
from .colors import Palette

__all__ = ["MAX_ROWS", "Table", "build_table"]

#: Rows shown on a page unless all are asked for; the downloads always hold every row.
MAX_ROWS = 500


@dataclasses.dataclass(frozen=True)
class Table:
    columns: list[tuple[str, bool]]  # name, numeric
    body: Markup  # the <tr> elements
    shown_rows: int
    total_rows: int
    colored_columns: list[str]


def _sort_key(value) -> str:
    try:
        number = float(value)
    except (TypeError, ValueError):
        return ""
    return repr(number) if math.isfinite(number) else ""


def _cells(name: str, values: list, palette: Palette) -> tuple[list[str], bool]:
    texts, numeric = command.cell_texts(name, values)
    cells = []
    for value, text in zip(values, texts, strict=True):
        attributes = f' class="num" data-v="{_sort_key(value)}"' if numeric else ""
        picked = palette.color(name, value)
        if picked is not None:
            color, title = (escape(part) for part in picked)
            attributes += f' style="--c: {color}" data-color="{color}" title="{title}"'
        cells.append(f"<td{attributes}>{escape(text)}</td>")
    return cells, numeric


def build_table(frame, palette: Palette, max_rows: int | None = MAX_ROWS) -> Table:
    """The table of ``frame``'s first ``max_rows`` rows (all with None)."""
    shown = frame if max_rows is None else frame.iloc[:max_rows]
    names = [str(name) for name in frame.columns]
    columns = [_cells(name, shown.iloc[:, i].tolist(), palette) for i, name in enumerate(names)]
    cells = [column for column, _ in columns]
    body = "\n".join(f"<tr>{''.join(row)}</tr>" for row in zip(*cells, strict=True))
    return Table(
        [(name, numeric) for name, (_, numeric) in zip(names, columns, strict=True)],
        Markup(body),
        len(shown),
        len(frame),
        sorted(palette.columns),
    )
