"""Showing results: an aligned text table, CSV, JSON-ready rows, a file written whole,
and a progress line on the terminal while a slow step runs. Every form shows a value the
same way: NULL as an empty cell (null in JSON), booleans as true/false."""

from __future__ import annotations

import contextlib
import csv
import datetime as dt
import io
import math
import os
import sys
import tempfile
import threading
import time
import unicodedata
from collections.abc import Iterator, Sequence
from decimal import Decimal
from pathlib import Path

__all__ = [
    "Progress",
    "display_width",
    "format_csv",
    "format_table",
    "frame_records",
    "write_file",
]


class Progress:
    """A line on stderr that tells what a slow step is doing, while it runs.

    Only on a terminal: with ``enabled`` left None it is on when ``stream`` is one. The
    line appears once a step has taken ``delay`` seconds and is erased when it ends.
    """

    _FRAMES = "|/-\\"

    def __init__(self, stream=None, *, enabled: bool | None = None, delay: float = 0.5):
        self.stream = stream if stream is not None else sys.stderr
        if enabled is None:
            isatty = getattr(self.stream, "isatty", None)
            enabled = bool(isatty and isatty())
        self.enabled = enabled
        self.delay = delay
        #: The innermost step that a failure unwound, for the failure message to name.
        self.failed: str | None = None

    def _columns(self) -> int:
        try:
            return os.get_terminal_size(self.stream.fileno()).columns
        except (AttributeError, ValueError, OSError):
            return 80

    @contextlib.contextmanager
    def step(self, message: str) -> Iterator[None]:
        try:
            with self._shown(message):
                yield
        except BaseException:
            if self.failed is None:
                self.failed = message
            raise

    @contextlib.contextmanager
    def _shown(self, message: str) -> Iterator[None]:
        if not self.enabled:
            yield
            return
        started = time.monotonic()
        done = threading.Event()
        lock = threading.Lock()
        shown = False

        def draw(tick: int) -> None:
            nonlocal shown
            with lock:
                if done.is_set():
                    return
                elapsed = time.monotonic() - started
                frame = self._FRAMES[tick % len(self._FRAMES)]
                # A line wider than the terminal wraps, and each redraw would then add a
                # line: cut it to one character less than the width.
                text = _fitted(f"{frame} {message}... {int(elapsed)}s", self._columns() - 1)
                self.stream.write(f"\r{text}\x1b[K")
                self.stream.flush()
                shown = True

        def animate() -> None:
            tick = 1
            while not done.wait(0.1):
                if time.monotonic() - started >= self.delay:
                    draw(tick)
                    tick += 1

        if self.delay <= 0:
            draw(0)
        thread = threading.Thread(target=animate, name="progress", daemon=True)
        thread.start()
        try:
            yield
        finally:
            with lock:
                done.set()
                if shown:
                    self.stream.write("\r\x1b[K")
                    self.stream.flush()
            thread.join()

    def note(self, message: str) -> None:
        """A line for the person at the terminal only."""
        if self.enabled:
            self.stream.write(message + "\n")
            self.stream.flush()


def display_width(text: str) -> int:
    """Columns that ``text`` takes on a terminal: wide (East Asian) characters two,
    combining marks none, everything else one."""
    if text.isascii():
        return len(text)
    width = 0
    for char in text:
        if unicodedata.combining(char):
            continue
        width += 2 if unicodedata.east_asian_width(char) in "WF" else 1
    return width


def _fitted(text: str, width: int) -> str:
    """``text`` cut to at most ``width`` terminal columns."""
    if display_width(text) <= width:
        return text
    out, used = [], 0
    for char in text:
        used += display_width(char)
        if used > width:
            break
        out.append(char)
    return "".join(out)


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


def _column_cells(name: str, values: list) -> tuple[list[str], bool]:
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
                cells.append("")
            elif isinstance(v, int) and decimals == 0:
                cells.append(f"{v:,}")
            else:
                cells.append(f"{v:,.{decimals}f}")
        return cells, True
    return [_escaped(_text(v)) for v in values], False


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


def format_table(frame, *, label_columns: int = 0, width: int | None = None) -> str:
    """The data frame as an aligned text table: column names as they are, numbers
    right-aligned with thousands separators, NULL as an empty cell. Fractional numbers get
    two decimals in money columns (names with "$"), four in ratio columns (names with
    "%"), elsewhere as few as show the values, at most four.

    With ``width`` the columns are split into blocks no wider than that where possible,
    each block repeating the first ``label_columns`` columns.
    """
    names = [str(name) for name in frame.columns]
    columns = [_column_cells(name, frame.iloc[:, i].tolist()) for i, name in enumerate(names)]
    names = [_escaped(name) for name in names]
    widths = [
        max([display_width(name), *(display_width(cell) for cell in cells)])
        for name, (cells, _) in zip(names, columns, strict=True)
    ]
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


def _csv_text(value) -> str:
    value = _json_value(value)
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


def format_csv(frame) -> str:
    """The data frame as CSV: a header of the column names, NULL as an empty field,
    booleans as true/false, numbers in full."""
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow([str(name) for name in frame.columns])
    columns = [frame.iloc[:, i].tolist() for i in range(frame.shape[1])]
    for row in zip(*columns, strict=True):
        writer.writerow([_csv_text(value) for value in row])
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
    text: str,
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
