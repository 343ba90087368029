
            select crm_id,


           count(approval)
           FILTER ( WHERE retry_attempt_count = '0' )                                       AS "natural_recurring_count",
           count(approval) FILTER ( WHERE retry_attempt_count = '0' AND bc_inferred =  '1' )               AS "c1_recurring_count",
           coalesce(round(sum(approval) FILTER ( WHERE bc_inferred = '1' AND retry_attempt_count = '0' ), 0),
                    '0')                                                                                                  AS "c1_projected_count",
           avg(approval)
           FILTER ( WHERE bc_inferred = '1' AND retry_attempt_count = '0' )                                               AS "c1_projected_approval %%",
           coalesce(round(sum(approval) FILTER ( WHERE bc_inferred > '1' AND retry_attempt_count = '0' ), 0),
                    '0')                                                                                                  AS "c2+_projected_count",
           avg(approval)
           FILTER ( WHERE bc_inferred > '1' AND retry_attempt_count = '0' )                                               AS "c2+_projected_approval %%",
           coalesce(round(sum(approval) FILTER ( WHERE retry_attempt_count = '0' ), 0),
                    '0')                                                                                                  AS "natural_projected_count",
           avg(approval) FILTER ( WHERE retry_attempt_count = '0' )                                                       AS "natural_projected_approval %%",
           coalesce(round(count(approval) FILTER ( WHERE retry_attempt_count > '0' ), 0),
                    '0')                                                                                                  AS "decline_recurring_count",
           coalesce(round(avg(retry_attempt_count::numeric) FILTER ( WHERE retry_attempt_count > '0' ), 0),
                    '0')                                                                                                  AS "average_decline_attempt",
           avg(approval) FILTER ( WHERE retry_attempt_count > '0' )                                                       AS "decline_approval %%",
           coalesce(round(sum(approval) FILTER ( WHERE retry_attempt_count > '0' ), 0),
                    '0')                                                                                                  AS "decline_approved_count",
           coalesce(round((avg(approval) * sum(order_total))::numeric, 2),
                    '0')                                                                                                  AS "projected_revenue $",
           coalesce(round((sum(order_total))::numeric, 2), '0')                                                           AS "recurring_revenue $",
           coalesce(round((sum(order_total) FILTER ( WHERE retry_attempt_count = '0' ))::numeric, 2),
                    '0')                                                                                                  AS "natural_recurring_revenue $"
            FROM reporting.continuity
            WHERE next_cycle_date > '2026-12-08 10:30:00'::date
              AND retry_attempt_count < '6'
                

            GROUP BY  crm_id
            ORDER BY crm_id
    