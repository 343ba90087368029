"""approval report, as plain Python: Approval rates by corporation, processor, MID and card type for a date range."""
# ruff: noqa: E501, W291, W293, B006 - the query text as it is; the reports' own defaults

import pandas as pd

from reports.dependencies import get_filters


def approval_report(
    db, group_by=[], filters={}, reporting_query=False, order_by=False, inc_test_cc=False, **kwargs
):
    _filters = get_filters(
        filters,
        translate={"corp": "corporation_name", "is_cascade": "is_dead_mid_cascade"},
        prefix="WHERE",
    )
    start_date = reporting_query["start_date"]
    end_date = reporting_query["end_date"]
    qry = f""" select * from(
        select e.corporation_name,  d.processor,  c.mid_number, b.cc_type,

       count(1) "order count",
       coalesce(nullif(count(1) filter (where decline_reason is null)::numeric,0) / count(1)::numeric ,0) "approval%%",
       coalesce(nullif(count(1) filter (where decline_reason is null and bc_inferred = '0')::numeric,0) / count(1) filter (where  bc_inferred = '0')::numeric ,0) "approval C0%%",
       coalesce(nullif(count(1) filter (where decline_reason is null and bc_inferred = '1')::numeric,0) / count(1) filter (where  bc_inferred = '1')::numeric ,0) "approval C1%%",
       coalesce(nullif(count(1) filter (where decline_reason is null and bc_inferred >= '2')::numeric,0) / count(1) filter (where bc_inferred >= '2')::numeric ,0) "approval C2+%%"


from (select crm_id, order_id, retry_attempt_count as attempt, decline_reason, bc_inferred
      from augmented_data.order_cycles
      where month_date >= '{start_date}'::date
        and month_date <= '{end_date}'::date) a
         inner join (select crm_id, order_id, gateway_id, cc_type
                     from crm_global.orders
                     where month_date >= '{start_date}'::date and month_date <= '{end_date}'::date) b
                    on b.crm_id = a.crm_id and b.order_id = a.order_id
         inner join (select gateway_id, mid_number, mid_id, crm_id from ui_54407332_clients.steps) c
                    on c.crm_id = b.crm_id and c.gateway_id = b.gateway_id
         inner join (select mid_id, processor, corp_id from ui_54407332_clients.mids) d on d.mid_id = c.mid_id
        inner join (select corporation_name, corp_id from ui_54407332_clients.corps ) e on e.corp_id = d.corp_id

        group by e.corporation_name, d.processor,  c.mid_number, b.cc_type) a
        {_filters}

    """
    return pd.read_sql(qry, db.engine)
