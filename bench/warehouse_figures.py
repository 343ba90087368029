"""The headline figures of every report on the sample warehouse, as an analyst would
read them first: whether the sample looks like a healthy subscription business.

    .venv/py3.10/bin/python bench/warehouse_figures.py [--scale 100000] [--span-days 730]

Approval, BIN and affiliate reports read the last 90 days of acquisitions or billing;
continuity and month-to-date the last 30 days.
"""

import argparse
import datetime
import types

import pandas as pd

from reports import orvesta, pg, warehouse


def share(frame, column):
    values = pd.to_numeric(frame[column]).astype(float)
    return f"{values.min():.3f}..{values.max():.3f} (median {values.median():.3f})"


def weighted(frame, column, weight):
    values = pd.to_numeric(frame[column]).astype(float)
    return (values * frame[weight]).sum() / frame[weight].sum()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=int, default=100_000)
    parser.add_argument("--span-days", type=int, default=warehouse.DEFAULT_SPAN_DAYS)
    parser.add_argument("--seed", type=int, default=0)
    options = parser.parse_args()
    pd.set_option("display.width", 200)
    pd.set_option("display.max_columns", 30)

    with pg.EmbeddedPostgres() as server:
        warehouse.load(
            server.engine, scale=options.scale, seed=options.seed, span_days=options.span_days
        )
        db = types.SimpleNamespace(engine=server.engine)
        today = datetime.date.today()
        month = {"start_date": today - datetime.timedelta(days=30), "end_date": today}
        quarter = {"start_date": today - datetime.timedelta(days=90), "end_date": today}

        inactive = orvesta.inactive_report(db, reporting_query=month)
        print(
            f"inactive: {len(inactive)} gateways, {inactive['total_inactive'].sum()} "
            f"inactive subscriptions, {inactive['dead_mid_cascade'].sum()} dead-MID cascades"
        )

        cont = orvesta.continuity_report(db, ["crm_id"], reporting_query=month)
        print("continuity (per instance):")
        print(
            cont[
                [
                    "crm_id",
                    "natural_recurring_count",
                    "natural_projected_approval %",
                    "decline_recurring_count",
                    "decline_approval %",
                    "projected_revenue $",
                    "recurring_revenue $",
                ]
            ].to_string(index=False)
        )

        approval = orvesta.approval_report(db, reporting_query=quarter)
        print(
            f"approval: {len(approval)} rows, {approval['order count'].sum()} orders, "
            f"approval% {weighted(approval, 'approval%', 'order count'):.3f} overall; "
            f"per row C0 {share(approval, 'approval C0%')}, C1 {share(approval, 'approval C1%')}"
        )

        bins = orvesta.bin_report(db, ["crm_id", "bin"], reporting_query=quarter)
        top = bins.head(20)
        print(f"BIN: {len(bins)} rows; the 20 with most initials:")
        for column in [
            "Natural Approval Initial %",
            "Natural Approval C1 %",
            "Rebill C1 %",
            "Retention C1 %",
            "Refund %",
            "CB %",
            "Alert Cost %",
            "GM %",
        ]:
            print(f"  {column:<28}{share(top, column)}")

        affid = orvesta.affid_report(db, ["affid"], reporting_query=quarter)
        print("affiliates:")
        print(
            affid[
                [
                    "affid",
                    "initials",
                    "natural approval %",
                    "rebill 1 %",
                    "retention c1 %",
                    "refund %",
                    "chargeback %",
                    "alert cost %",
                    "average cpa $",
                    "gm %",
                ]
            ].to_string(index=False)
        )

        mtd = orvesta.mtd_report(db, ["crm_id"], month)
        totals = mtd.drop(columns=["crm_id", "gm_%"]).apply(pd.to_numeric).sum()
        print(
            "month to date (all instances): "
            + ", ".join(
                f"{name} {totals[name]:,.0f}"
                for name in [
                    "revenue_$",
                    "total_refunds_$",
                    "alerts_$",
                    "cb_costs_$",
                    "cpa_$",
                    "total_$",
                ]
            )
            + f", gm {totals['total_$'] / totals['revenue_$']:.3f}"
        )


if __name__ == "__main__":
    main()
