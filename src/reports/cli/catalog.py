"""The reports the command runs: what it needs to know of each report function of
``orvesta`` beyond its query (help texts, default grouping, which options apply)."""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence

__all__ = ["COLOR_SCHEMA", "ENV_URL", "MAX_SCALE", "REPORTS", "SAMPLE_SCALE", "Report"]

#: Environment variable read for the database URL when ``--db`` is not given.
ENV_URL = "REPORTS_DATABASE_URL"
#: Number of orders in the sample warehouse unless ``--scale`` says otherwise.
SAMPLE_SCALE = 20_000  # over the default two years: about 800 orders in a 30-day window
#: The largest sample warehouse: it is generated in memory before loading, and a bigger
#: one needs more memory than a workstation has.
MAX_SCALE = 1_000_000
COLOR_SCHEMA = "ui_tintora"
#: Written into the directory of a server left running by ``serve --detach``: ``stop``
#: removes only directories that carry it, and a run never takes it for a leftover.
SERVE_MARKER = "reports-serve.json"


@dataclasses.dataclass(frozen=True)
class Report:
    """What the command needs to know of one report function of ``orvesta``."""

    name: str
    summary: str
    description: str
    #: Where filter columns come from, for a report without a `source` table.
    filter_hint: str = ""
    #: The grouping used when --group-by is not given; empty for reports that do not group.
    group_by: tuple[str, ...] = ()
    #: A column that every grouping of this report must hold.
    required_group: str | None = None
    filters: bool = True
    #: False for reports whose rows do not depend on a date range.
    dates: bool = True
    order_by: bool = False
    test_cards: bool = False
    #: The table (schema.name) whose columns grouping and filters name.
    source: str | None = None
    #: For a report whose filters apply to result columns: the names they take.
    filter_names: tuple[str, ...] = ()
    #: Columns after the grouping columns that still identify a row (the BIN report's
    #: category and card brand); for reports that do not group, the leading columns
    #: that identify a row. They are repeated in every block of a wide table.
    label_columns: int = 0

    @property
    def columns_hint(self) -> str:
        """Where grouping and filter columns come from, said when the database does not
        know a column."""
        if self.source:
            return f"grouping and filter columns are those of {self.source}"
        return self.filter_hint

    @property
    def function_name(self) -> str:
        return f"{self.name}_report"

    def labels(self, group_by: Sequence[str]) -> int:
        return len(group_by) + self.label_columns


REPORTS: dict[str, Report] = {
    report.name: report
    for report in (
        Report(
            "inactive",
            "gateways carrying inactive recurring orders, with their caps and settings",
            "One row per gateway that carries inactive recurring orders (no longer active, "
            "no retry date): how many in all, through a dead-MID cascade and per card "
            "type, with the gateway's corporation, MID number, close date, enabled "
            "setting and remaining caps. The rows show the current state, so the report "
            "takes no date range.",
            filters=False,
            dates=False,
            label_columns=4,
        ),
        Report(
            "continuity",
            "upcoming recurring cycles: counts, projected approvals and revenue",
            "Looks ahead at the recurring orders whose next cycle falls after today and "
            "that were retried fewer than 6 times, and gives per group the natural, "
            "cycle 1, cycle 2+ and retried-decline counts, projected approvals and "
            "revenue. The rows do not depend on a date range, and it takes none. "
            "Grouping, filter and ordering columns are those of reporting.continuity; "
            "--order-by also takes "
            'result columns ("projected_revenue $" desc).',
            source="reporting.continuity",
            group_by=("crm_id",),
            order_by=True,
            dates=False,
        ),
        Report(
            "approval",
            "approval rates per corporation, processor, MID number and card type",
            "Order cycles of the date range per corporation, processor, MID number and "
            "card type, with the share approved over all cycles and for cycle 0, 1 and "
            "2+. Filters apply to these result columns: corporation_name (or corp), "
            "processor, mid_number, cc_type.",
            filter_hint="filters apply to corporation_name (or corp), processor, "
            "mid_number and cc_type",
            filter_names=("corporation_name", "corp", "processor", "mid_number", "cc_type"),
            label_columns=4,
        ),
        Report(
            "bin",
            "approval, retention, refund and chargeback ratios per card BIN",
            "Orders of the date range per group and BIN category (block, shave, normal), "
            "with approval, pending, retention, refund, chargeback and margin ratios: at "
            "most 1000 groups, most approved initial orders first. The grouping must "
            "hold bin; grouping and filter columns are those of reporting.cpa_orders.",
            source="reporting.cpa_orders",
            group_by=("bin",),
            required_group="bin",
            label_columns=2,
        ),
        Report(
            "affid",
            "affiliate figures: initials, approvals, rebills, retention, refunds, margins",
            "Orders of the date range per group: initial, pending, approval, rebill, "
            "retention, refund, chargeback, cost and margin figures. Test cards are left "
            "out unless --include-test-cards is given. Grouping and filter columns are "
            "those of reporting.cpa_orders; --order-by also takes result columns "
            "(initials, '\"mc %\" desc').",
            source="reporting.cpa_orders",
            group_by=("affid",),
            order_by=True,
            test_cards=True,
        ),
        Report(
            "mtd",
            "money movements: revenue by cycle, refunds, alerts, chargebacks, costs",
            "Revenue transactions of the date range per group: revenue per cycle and in "
            "total, refunds and alert costs per provider, chargebacks, reserves, costs, "
            "the grand total and its ratio to revenue. Grouping and filter columns are "
            "those of reporting.ui_revenue_transactions; --order-by also takes result "
            'columns ("revenue_$ desc").',
            source="reporting.ui_revenue_transactions",
            group_by=("crm_id",),
            order_by=True,
        ),
    )
}
