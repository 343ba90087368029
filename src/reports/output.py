"""Showing results: an aligned text table, expanded records, Markdown, CSV, JSON-ready
rows, and a file written whole. Every form shows a value the same way: NULL as an empty
cell (or the text asked for; null in JSON), booleans as true/false."""

from __future__ import annotations

import contextlib
import csv
import datetime as dt
import io
import math
import os
import tempfile
from collections.abc import Sequence
from decimal import Decimal
from pathlib import Path

from .width import display_width

__all__ = [
    "format_csv",
    "format_expanded",
    "format_markdown",
    "format_table",
    "frame_records",
    "table_width",
    "write_file",
]


# A line break or tab inside a value would break the table's rows and columns apart.
_CONTROL_ESCAPES = {
    **{c: f"\\x{c:02x}" for c in [*range(0x20), *range(0x7F, 0xA0)]},
    ord("\n"): "\\n",
    ord("\r"): "\\r",
    ord("\t"): "\\t",
}


def _escaped(text: str) -> str:
    return text.translate(_CONTROL_ESCAPES) if not text.isprintable() else text


def _pad(text: str, width: int, right: bool) -> str:
    fill = " " * (width - display_width(text))
    return fill + text if right else text + fill


def _is_null(value) -> bool:
    if value is None:
        return True
    if isinstance(value, float):
        return math.isnan(value)
    if isinstance(value, Decimal):
        return value.is_nan()
    if isinstance(value, (str, int, dt.date, dt.time)) and not hasattr(value, "asm8"):
        return False
    import pandas as pd

    return bool(pd.api.types.is_scalar(value) and pd.isna(value))


def _decimals(values: Sequence[float]) -> int:
    """The fewest decimals, at most 4, that show every value as it is."""
    finite = [v for v in values if math.isfinite(v)]
    for decimals in range(5):
        if all(abs(round(v, decimals) - v) <= 1e-9 * max(1.0, abs(v)) for v in finite):
            return decimals
    return 4


def _column_cells(name: str, values: list, null: str = "") -> tuple[list[str], bool]:
    """A column as text cells, and whether it aligns right (numbers)."""
    present = [v for v in values if not _is_null(v)]
    numeric = bool(present) and all(
        isinstance(v, (int, float, Decimal)) and not isinstance(v, bool) for v in present
    )
    if numeric:
        fractional = [float(v) for v in present if not isinstance(v, int)]
        decimals = 0
        if fractional:
            decimals = 2 if "$" in name else 4 if "%" in name else _decimals(fractional)
        cells = []
        for v in values:
            if _is_null(v):
                cells.append(null)
            elif isinstance(v, int) and decimals == 0:
                cells.append(f"{v:,}")
            else:
                cells.append(f"{v:,.{decimals}f}")
        return cells, True
    return [null if _is_null(v) else _escaped(_text(v)) for v in values], False


def _text(value) -> str:
    if _is_null(value):
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, dt.datetime):
        return value.isoformat(sep=" ")
    if isinstance(value, (dt.date, dt.time)):
        return value.isoformat()
    return str(value)


def _blocks(widths: list[int], labels: int, width: int | None) -> list[list[int]]:
    """Column indexes per block of a table that must fit ``width`` characters; the first
    ``labels`` columns start every block."""
    indexes = list(range(len(widths)))
    labels = min(labels, len(widths))
    if width is None or labels == len(widths):
        return [indexes]
    head = indexes[:labels]
    used = sum(widths[i] + 2 for i in head)
    blocks, block, block_width = [], list(head), used
    for i in indexes[labels:]:
        if len(block) > labels and block_width + widths[i] > width:
            blocks.append(block)
            block, block_width = list(head), used
        block.append(i)
        block_width += widths[i] + 2
    blocks.append(block)
    return blocks


def _cells(frame, null: str) -> tuple[list[str], list[tuple[list[str], bool]], list[int]]:
    """Column names, cells with their alignment, and widths, as every text layout shows
    them."""
    names = [str(name) for name in frame.columns]
    columns = [_column_cells(name, frame.iloc[:, i].tolist(), null) for i, name in enumerate(names)]
    names = [_escaped(name) for name in names]
    widths = [
        max([display_width(name), *(display_width(cell) for cell in cells)])
        for name, (cells, _) in zip(names, columns, strict=True)
    ]
    return names, columns, widths


def table_width(frame, *, null: str = "") -> int:
    """Terminal columns of the table's widest line, in one block."""
    widths = _cells(frame, null)[2]
    return sum(widths) + 2 * max(len(widths) - 1, 0)


def format_table(frame, *, label_columns: int = 0, width: int | None = None, null: str = "") -> str:
    """The data frame as an aligned text table: column names as they are, numbers
    right-aligned with thousands separators, NULL as an empty cell (or ``null``).
    Fractional numbers get two decimals in money columns (names with "$"), four in ratio
    columns (names with "%"), elsewhere as few as show the values, at most four.

    With ``width`` the columns are split into blocks no wider than that where possible,
    each block repeating the first ``label_columns`` columns.
    """
    names, columns, widths = _cells(frame, null)
    lines: list[str] = []
    for number, block in enumerate(_blocks(widths, label_columns, width)):
        if number:
            lines.append("")

        def line(texts, block=block):
            parts = []
            for i, text in zip(block, texts, strict=True):
                right = columns[i][1]
                parts.append(_pad(text, widths[i], right))
            return "  ".join(parts).rstrip()

        lines.append(line([names[i] for i in block]))
        lines.append(line(["-" * widths[i] for i in block]))
        for row in range(len(frame)):
            lines.append(line([columns[i][0][row] for i in block]))
    if len(frame) == 0:
        lines.append("(no rows)")
    return "\n".join(lines) + "\n"


def format_expanded(frame, *, null: str = "") -> str:
    """One block per row, a line per column ("name | value"), under a "-[ RECORD n ]"
    rule: for results too wide for the screen."""
    names, columns, _ = _cells(frame, null)
    if len(frame) == 0:
        return "(no rows)\n"
    name_width = max(display_width(name) for name in names)
    value_width = max(display_width(cell) for cells, _ in columns for cell in cells)
    rule_width = name_width + 3 + value_width
    lines = []
    for row in range(len(frame)):
        title = f"-[ RECORD {row + 1} ]"
        lines.append(title + "-" * max(rule_width - len(title), 0))
        for name, (cells, _) in zip(names, columns, strict=True):
            lines.append(f"{_pad(name, name_width, False)} | {cells[row]}".rstrip())
    return "\n".join(lines) + "\n"


# Characters that Markdown would read as markup (emphasis, links, code, the table's own
# bars); a backslash before each keeps it literal.
_MARKDOWN_ESCAPES = {ord(c): "\\" + c for c in "\\`*_[]<>|~#"}


def format_markdown(frame, *, null: str = "") -> str:
    """The data frame as a Markdown (GitHub) pipe table: cells as the text table shows
    them, numbers aligned right."""
    names, columns, _ = _cells(frame, null)

    def row(texts) -> str:
        return "| " + " | ".join(text.translate(_MARKDOWN_ESCAPES) for text in texts) + " |"

    lines = [row(names), "|" + "|".join("--:" if right else "---" for _, right in columns) + "|"]
    for number in range(len(frame)):
        lines.append(row([cells[number] for cells, _ in columns]))
    return "\n".join(lines) + "\n"


def _json_value(value):
    if _is_null(value):
        return None
    if isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else str(value)
    if isinstance(value, Decimal):
        return int(value) if value == value.to_integral_value() else float(value)
    if isinstance(value, dt.datetime):
        return value.isoformat(sep=" ")
    if isinstance(value, (dt.date, dt.time)):
        return value.isoformat()
    if hasattr(value, "item"):  # numpy scalars
        return _json_value(value.item())
    return str(value)


def _csv_text(value, null: str = "") -> str:
    value = _json_value(value)
    if value is None:
        return null
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


def format_csv(frame, *, null: str = "") -> str:
    """The data frame as CSV: a header of the column names, NULL as an empty field,
    booleans as true/false, numbers in full."""
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow([str(name) for name in frame.columns])
    columns = [frame.iloc[:, i].tolist() for i in range(frame.shape[1])]
    for row in zip(*columns, strict=True):
        writer.writerow([_csv_text(value, null) for value in row])
    return buffer.getvalue()


def frame_records(frame) -> list[dict]:
    """The rows of a data frame as JSON-ready dictionaries, column names as keys."""
    names = [str(name) for name in frame.columns]
    columns = [frame.iloc[:, i].tolist() for i in range(len(names))]
    return [
        {name: _json_value(value) for name, value in zip(names, row, strict=True)}
        for row in zip(*columns, strict=True)
    ]


def write_file(
    path: str | os.PathLike,
    text: str | bytes,
    *,
    mode: int | None = None,
    owner: tuple[int, int] | None = None,
) -> None:
    """Write ``text`` to a temporary file beside ``path`` and rename it into place, so
    that ``path`` never holds half a result. The file gets ``mode`` and ``owner`` (uid,
    gid) of the file it replaces, else what a new file gets."""
    target = Path(path)
    fd, temporary = tempfile.mkstemp(dir=target.absolute().parent, prefix=f".{target.name}.")
    try:
        if isinstance(text, bytes):
            with os.fdopen(fd, "wb") as fh:
                fh.write(text)
        else:
            with os.fdopen(fd, "w", encoding="utf-8", newline="") as fh:
                fh.write(text)
        if mode is None:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        if owner is not None and owner != (os.geteuid(), os.getegid()):
            with contextlib.suppress(OSError):  # only root may give a file away
                os.chown(temporary, *owner)
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
