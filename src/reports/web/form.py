"""A report page's form: read from the query string, shown again as it was sent, and
turned into a checked report call.

Filters arrive under the names the screens use (``f.card_type=visa``) and go through
``Tintora.name_map`` to become columns, as the host does it; the "more filters" box
takes COLUMN=VALUE lines, as the command's --filter does.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping
from urllib.parse import urlencode

from . import command
from .screens import SCREENS

__all__ = ["ReportForm"]

_FILTER_PREFIX = "f."


@dataclasses.dataclass
class ReportForm:
    report: str
    period: str = ""
    start: str = ""
    end: str = ""
    group_by: str = ""
    order_by: str = ""
    include_test_cards: bool = False
    #: Screen filter name -> values, in the order sent.
    filters: dict[str, list[str]] = dataclasses.field(default_factory=dict)
    more: str = ""

    @classmethod
    def from_query(cls, report: str, query) -> ReportForm:
        """The form as sent; ``query`` is a multi-dict (Starlette's query params)."""

        def one(name: str) -> str:
            return str(query.get(name, ""))

        filters: dict[str, list[str]] = {}
        for key, value in query.multi_items():
            if key.startswith(_FILTER_PREFIX) and value.strip():
                filters.setdefault(key[len(_FILTER_PREFIX) :], []).append(value.strip())
        return cls(
            report,
            period=one("period"),
            start=one("start"),
            end=one("end"),
            group_by=one("group_by"),
            order_by=one("order_by"),
            include_test_cards=one("test_cards") in ("on", "1", "true"),
            filters=filters,
            more=one("more"),
        )

    def filter_pairs(self, tintora_class) -> list[tuple[str, str]]:
        """(column, value) for every filter: screen names translated by name_map."""
        named: Mapping = tintora_class.name_map(self.filters)
        pairs = [(str(column), value) for column, values in named.items() for value in values]
        for line in self.more.splitlines():
            if line.strip():
                column, equals, value = line.partition("=")
                if not equals:
                    raise command.UsageError(f"filter: expected COLUMN=VALUE, got {line!r}")
                pairs.append((column.strip(), value))
        return pairs

    def check(self, tintora_class) -> command.CheckedRequest:
        """The checked report call; UsageError when the command would refuse it."""
        return command.check_request(
            self.report,
            start=self.start,
            end=self.end,
            period=self.period,
            group_by=self.group_by,
            filters=self.filter_pairs(tintora_class),
            order_by=self.order_by,
            include_test_cards=self.include_test_cards,
        )

    def screen_filters(self) -> list[tuple[str, str, list[str]]]:
        """(name, label, values) for the screen's filter fields, then any other filter
        name that was sent, so that nothing sent disappears from the form."""
        fields = [
            (name, label, self.filters.get(name, []))
            for name, label in SCREENS[self.report].filters
        ]
        known = {name for name, _, _ in fields}
        fields += [(n, n, v) for n, v in self.filters.items() if n not in known]
        return fields

    def query_string(self) -> str:
        """The query string that sends this form again (for the download links)."""
        items = [
            (name, value)
            for name, value in (
                ("period", self.period),
                ("start", self.start),
                ("end", self.end),
                ("group_by", self.group_by),
                ("order_by", self.order_by),
                ("more", self.more),
            )
            if value
        ]
        if self.include_test_cards:
            items.append(("test_cards", "on"))
        items += [(f"{_FILTER_PREFIX}{n}", v) for n, vs in self.filters.items() for v in vs]
        return urlencode(items)
