"""How many terminal columns a text takes, and cutting it to a width."""

from __future__ import annotations

import unicodedata

__all__ = ["display_width", "fitted"]


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


def fitted(text: str, width: int) -> str:
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
