"""Per-call cost of the report functions themselves: argument binding, the helper
calls and joining the query text, with pandas.read_sql replaced by a function that
returns at once. The database's own time is measured by bench/database.py.

    .venv/py3.10/bin/python bench/query_building.py [--number N]
"""

import argparse
import datetime
import statistics
import timeit
import types

from reports import orvesta

DATES = {"start_date": datetime.date(2026, 11, 1), "end_date": datetime.date(2026, 11, 30)}
GROUPING = ["crm_id", "affid", "bin"]


def stub_helpers():
    """Helpers that cost next to nothing, so the figures are the module's own."""
    orvesta.pd = types.SimpleNamespace(read_sql=lambda qry, engine: qry)
    orvesta.get_filters = lambda filters, *args, **kwargs: "AND crm_id IN (1, 2)"
    orvesta.format_group_by = lambda group_by: group_by
    orvesta.get_order_by = lambda group_by, order_by: ", ".join(group_by)
    fixed_now = datetime.datetime(2026, 12, 8, 10, 30)
    orvesta.now = lambda: fixed_now


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=20000, help="calls per measurement")
    parser.add_argument("--repeat", type=int, default=5, help="measurements per report")
    options = parser.parse_args()
    stub_helpers()
    db = types.SimpleNamespace(engine=object())
    calls = {
        "inactive_report": lambda: orvesta.inactive_report(db, reporting_query=DATES),
        "continuity_report": lambda: orvesta.continuity_report(db, GROUPING, {}, DATES),
        "approval_report": lambda: orvesta.approval_report(db, reporting_query=DATES),
        "bin_report": lambda: orvesta.bin_report(db, GROUPING, {}, DATES),
        "affid_report": lambda: orvesta.affid_report(db, GROUPING, {}, DATES),
        "mtd_report": lambda: orvesta.mtd_report(db, GROUPING, DATES),
    }
    print(f"{'report':<20}{'chars':>8}{'best µs/call':>14}{'median':>10}")
    for name, call in calls.items():
        times = timeit.repeat(call, number=options.number, repeat=options.repeat)
        per_call = [t / options.number * 1e6 for t in times]
        print(
            f"{name:<20}{len(call()):>8}{min(per_call):>14.2f}{statistics.median(per_call):>10.2f}"
        )


if __name__ == "__main__":
    main()
