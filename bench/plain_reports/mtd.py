"""mtd report, as plain Python: Revenue, refunds, alert and chargeback costs between two dates, per group."""
# ruff: noqa: E501, W291, W293, B006 - the query text as it is; the reports' own defaults

import pandas as pd

from reports.dependencies import format_group_by, get_filters, get_order_by

ALERT_PROVIDERS = ["ethoca", "rdr"]


def mtd_report(db, group_by=[], reporting_query=False, filters={}, order_by=False, **kwargs):
    _filters = get_filters(filters)
    group_by = format_group_by(group_by)
    start_date = reporting_query["start_date"]
    end_date = reporting_query["end_date"]
    alert_columns = ",".join(f"{p}_cost_$" for p in ALERT_PROVIDERS)
    refund_columns = ",".join(f"{p}_refunds_$" for p in ALERT_PROVIDERS)
    alert_sums = ", \n".join(
        f"coalesce((sum(value) FILTER( WHERE type='alert' and alert_provider='{p}')),0) as \"{p}_cost_$\" "
        for p in ALERT_PROVIDERS
    )
    refund_sums = ", \n".join(
        f"coalesce((sum(value) FILTER( WHERE type='refund' and alert_provider='{p}')),0) as \"{p}_refunds_$\" "
        for p in ALERT_PROVIDERS
    )
    _qualified = "a." + ", a.".join(group_by)
    _plain = ",".join(group_by)
    qry = f"""
      SELECT {_qualified},

       cycle_0                                               AS "cycle_0_$",
       cycle_1                                               AS "cycle_1_$",
       cycle_2                                               AS "cycle_2_$",
       cycle_3                                               AS "cycle_3_$",
       revenue_$,
       {refund_columns},
       cs_refunds_$,
       total_refunds_$,
       {alert_columns},
       alerts_$,
       cb_costs_$,
       cb_amount_$,
       reserves_$,
       processing_cost_$,
       transaction_cost_$,
       cpa_$,
       total_$,
       coalesce((a.total_$ / nullif(a.revenue_$, '0')), '0') AS "gm_%%"
FROM (SELECT  {_plain},
             --coalesce(sum(value) FILTER ( WHERE type = 'revenue' AND step = '1' AND bc_inferred = '0' AND value > '0' ), '0') AS "cycle_0_step_1",
             coalesce(sum(value) FILTER ( WHERE type = 'revenue' AND bc_inferred = '0' AND value > '0' ),
                      '0')                                                          AS "cycle_0",
             coalesce(sum(value) FILTER ( WHERE type = 'revenue' AND bc_inferred = '1' AND value > '0' ),
                      '0')                                                          AS "cycle_1",
             coalesce(sum(value) FILTER ( WHERE type = 'revenue' AND bc_inferred = '2' AND value > '0' ),
                      '0')                                                          AS "cycle_2",
             coalesce(sum(value) FILTER ( WHERE type = 'revenue' AND bc_inferred = '3' AND value > '0' ),
                      '0')                                                          AS "cycle_3",             
             coalesce((sum(value) FILTER ( WHERE type = 'revenue' )), '0')          AS "revenue_$",
             {alert_sums},
             {refund_sums},
             coalesce((sum(value) FILTER ( WHERE type = 'refund' and alert_provider is NULL )), '0')           AS "cs_refunds_$",
             coalesce((sum(value) FILTER ( WHERE type = 'refund' )), '0')           AS "total_refunds_$",
             coalesce((sum(value) FILTER ( WHERE type = 'alert' )), '0')            AS "alerts_$",
             coalesce((sum(value) FILTER ( WHERE type = 'cb_cost' )), '0')          AS "cb_costs_$",
             coalesce((sum(value) FILTER ( WHERE type = 'cb_amount' )), '0')          AS "cb_amount_$",
             coalesce((sum(value) FILTER ( WHERE type = 'reserves' )), '0')         AS "reserves_$",
             coalesce((sum(value) FILTER ( WHERE type = 'processing_cost' )), '0')  AS "processing_cost_$",
             coalesce((sum(value) FILTER ( WHERE type = 'transaction_cost' )), '0') AS "transaction_cost_$",
             coalesce((sum(value) FILTER ( WHERE type = 'cpa' )), '0')              AS "cpa_$",
             coalesce((sum(value)), '0')                                            AS "total_$"
      FROM reporting.ui_revenue_transactions
      WHERE date >= '{start_date}'::date AND date <= '{end_date}'::date
      {_filters}
      GROUP BY  {_plain}
       -- corporation_name, processor, mid_id
      ) AS "a"
     ORDER BY  {get_order_by(group_by, order_by)}

--a.corporation_name, a.processor, a.mid_id;
    """
    try:
        return pd.read_sql(qry, db.engine)
    except Exception:
        return pd.read_sql(qry.replace("mid_number", "mid_id"), db.engine)
