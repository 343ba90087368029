"""Cell colors from the color index tables of ui_tintora, read with ``Tintora(db).get``.

A rule names the result columns it colors and the table it reads: a band table (rows
with ``lower_bound``, ``upper_bound`` and ``color``) colors a ratio by the band it falls
in; a value table colors a cell by the row keyed by the cell's text. Each table a page
needs is read once for the page, never per cell, and a table the database lacks leaves
its columns uncolored instead of failing the page.
"""

from __future__ import annotations

import dataclasses
import math
import re
from collections.abc import Callable, Sequence

__all__ = ["RULES", "ColorRule", "Palette", "read_palette"]

# Only a hex color or a plain color name reaches a style attribute: the tables hold text
# that anyone with write access to them chose.
_SAFE_COLOR = re.compile(r"#[0-9a-fA-F]{3,8}|[a-zA-Z]{3,30}")


@dataclasses.dataclass(frozen=True)
class ColorRule:
    table: str
    key: str
    #: Whether a result column (by name) takes its colors from this table.
    applies: Callable[[str], bool]
    #: "band" for ratio bands, "value" for a color per cell text.
    kind: str


def _ratio(*words: str) -> Callable[[str], bool]:
    def applies(column: str) -> bool:
        name = column.strip().lower()
        return name.endswith("%") and any(word in name for word in words)

    return applies


RULES: tuple[ColorRule, ...] = (
    ColorRule("approval_bands", "band", _ratio("approval"), "band"),
    ColorRule(
        "chargeback_bands", "band", lambda c: c.strip().lower() in {"cb %", "chargeback %"}, "band"
    ),
    ColorRule("bin_category_colors", "bin_category", lambda c: c == "bin_category", "value"),
    ColorRule("gateway_status_colors", "status", lambda c: c == "enabled", "value"),
)


def _color(text) -> str | None:
    return text if isinstance(text, str) and _SAFE_COLOR.fullmatch(text) else None


def _bands(rows: dict) -> list[tuple[float, float, str, str]]:
    bands = []
    for name, row in rows.items():
        try:
            lower, upper = float(row["lower_bound"]), float(row["upper_bound"])
        except (KeyError, TypeError, ValueError):
            continue
        color = _color(row.get("color"))
        if color is not None and lower <= upper:
            bands.append((lower, upper, color, str(name)))
    # On a shared bound the higher band wins: 0.5 is "mid", not "low".
    return sorted(bands, reverse=True)


@dataclasses.dataclass
class Palette:
    """The colors of one page: per colored column, a function from cell value to
    (color, title) or None."""

    columns: dict[str, Callable[[object], tuple[str, str] | None]]
    #: Tables that could not be read, for a note on the page.
    missing: list[str]

    def color(self, column: str, value) -> tuple[str, str] | None:
        pick = self.columns.get(column)
        return pick(value) if pick is not None else None


def _band_picker(bands):
    def pick(value):
        if isinstance(value, bool):
            return None
        try:
            number = float(value)
        except (TypeError, ValueError):
            return None
        if math.isnan(number):
            return None
        for lower, upper, color, name in bands:
            if lower <= number <= upper:
                return color, name
        return None

    return pick


def _value_picker(rows):
    colors = {key: _color(row.get("color")) for key, row in rows.items()}
    labels = {key: str(row.get("label", key)) for key, row in rows.items()}

    def pick(value):
        key = (
            "unknown"
            if value is None
            else str(value).lower()
            if isinstance(value, bool)
            else str(value)
        )
        color = colors.get(key)
        return (color, labels[key]) if color else None

    return pick


def read_palette(read_table: Callable[[str, str], dict], columns: Sequence[str]) -> Palette:
    """The palette for a result with ``columns``: ``read_table(name, key)`` (a Tintora
    instance's ``get``) is called once for each table that one of the columns needs."""
    needed = {rule: [c for c in columns if rule.applies(str(c))] for rule in RULES}
    palette = Palette({}, [])
    for rule, matched in needed.items():
        if not matched:
            continue
        try:
            rows = read_table(rule.table, rule.key)
        except Exception:
            palette.missing.append(rule.table)
            continue
        picker = _band_picker(_bands(rows)) if rule.kind == "band" else _value_picker(rows)
        for column in matched:
            palette.columns[column] = picker
    return palette
