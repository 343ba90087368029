
      SELECT a.crm_id,

       cycle_0                                               AS "cycle_0_$",
       cycle_1                                               AS "cycle_1_$",
       cycle_2                                               AS "cycle_2_$",
       cycle_3                                               AS "cycle_3_$",
       revenue_$,
       ethoca_refunds_$,rdr_refunds_$,
       cs_refunds_$,
       total_refunds_$,
       ethoca_cost_$,rdr_cost_$,
       alerts_$,
       cb_costs_$,
       cb_amount_$,
       reserves_$,
       processing_cost_$,
       transaction_cost_$,
       cpa_$,
       total_$,
       coalesce((a.total_$ / nullif(a.revenue_$, '0')), '0') AS "gm_%%"
FROM (SELECT  crm_id,
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
             coalesce((sum(value) FILTER( WHERE type='alert' and alert_provider='ethoca')),0) as "ethoca_cost_$" , 
coalesce((sum(value) FILTER( WHERE type='alert' and alert_provider='rdr')),0) as "rdr_cost_$" ,
             coalesce((sum(value) FILTER( WHERE type='refund' and alert_provider='ethoca')),0) as "ethoca_refunds_$" , 
coalesce((sum(value) FILTER( WHERE type='refund' and alert_provider='rdr')),0) as "rdr_refunds_$" ,
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
      WHERE date >= '2026-11-01'::date AND date <= '2026-11-30'::date
      
      GROUP BY  crm_id
       -- corporation_name, processor, mid_id
      ) AS "a"
     ORDER BY  crm_id

--a.corporation_name, a.processor, a.mid_id;
    