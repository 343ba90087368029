"""What the host's screens offer per report: the filter names they use, the grouping
columns they suggest, and the translation of filter names into column names.

The screens speak of "card type" or "affiliate"; the reports' queries need column
names. A host keeps that translation in ``Tintora._col_map`` and runs every filter
dictionary through ``Tintora.name_map`` before it reaches a report: names with an
entry are translated, any other name passes unchanged (and is then checked as a column
name like any other).
"""

from __future__ import annotations

import dataclasses

__all__ = ["FILTER_COLUMNS", "SCREENS", "Screen", "install_filter_names"]

#: Screen filter name -> column name, the entries this host puts into Tintora._col_map.
#: One table for every report, as the class attribute is shared by all of them.
FILTER_COLUMNS = {
    "crm": "crm_id",
    "affiliate": "affid",
    "campaign": "campaign_id",
    "gateway": "gateway_id",
    "card_type": "cc_type",
    "corporation": "corporation_name",
    "mid": "mid_number",
    "transaction_type": "type",
}


@dataclasses.dataclass(frozen=True)
class Screen:
    """One report's form: its filter fields (screen name, label) and the grouping
    columns it suggests."""

    filters: tuple[tuple[str, str], ...] = ()
    group_columns: tuple[str, ...] = ()


SCREENS: dict[str, Screen] = {
    "inactive": Screen(),
    "continuity": Screen(
        filters=(
            ("crm", "CRM"),
            ("gateway", "Gateway"),
            ("affiliate", "Affiliate"),
            ("card_type", "Card type"),
        ),
        group_columns=("crm_id", "gateway_id", "affid", "cc_type"),
    ),
    "approval": Screen(
        filters=(
            ("corporation", "Corporation"),
            ("processor", "Processor"),
            ("mid", "MID number"),
            ("card_type", "Card type"),
        ),
    ),
    "bin": Screen(
        filters=(
            ("crm", "CRM"),
            ("affiliate", "Affiliate"),
            ("campaign", "Campaign"),
            ("card_type", "Card type"),
        ),
        group_columns=("bin", "crm_id", "affid", "campaign_id", "gateway_id", "cc_type"),
    ),
    "affid": Screen(
        filters=(
            ("crm", "CRM"),
            ("affiliate", "Affiliate"),
            ("campaign", "Campaign"),
            ("gateway", "Gateway"),
            ("card_type", "Card type"),
        ),
        group_columns=("affid", "crm_id", "campaign_id", "gateway_id", "cc_type", "bin"),
    ),
    "mtd": Screen(
        filters=(
            ("crm", "CRM"),
            ("corporation", "Corporation"),
            ("processor", "Processor"),
            ("transaction_type", "Transaction type"),
        ),
        group_columns=("crm_id", "corporation_name", "processor", "gateway_id", "mid_id", "type"),
    ),
}


def install_filter_names(tintora_class) -> None:
    """Put this host's filter names into the class-level table that name_map reads;
    entries that another part of the host put there stay."""
    for name, column in FILTER_COLUMNS.items():
        tintora_class._col_map.setdefault(name, column)
