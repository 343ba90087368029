 select * from(
        select e.corporation_name,  d.processor,  c.mid_number, b.cc_type,

       count(1) "order count",
       coalesce(nullif(count(1) filter (where decline_reason is null)::numeric,0) / count(1)::numeric ,0) "approval%%",
       coalesce(nullif(count(1) filter (where decline_reason is null and bc_inferred = '0')::numeric,0) / count(1) filter (where  bc_inferred = '0')::numeric ,0) "approval C0%%",
       coalesce(nullif(count(1) filter (where decline_reason is null and bc_inferred = '1')::numeric,0) / count(1) filter (where  bc_inferred = '1')::numeric ,0) "approval C1%%",
       coalesce(nullif(count(1) filter (where decline_reason is null and bc_inferred >= '2')::numeric,0) / count(1) filter (where bc_inferred >= '2')::numeric ,0) "approval C2+%%"


from (select crm_id, order_id, retry_attempt_count as attempt, decline_reason, bc_inferred
      from augmented_data.order_cycles
      where month_date >= '2026-11-01'::date
        and month_date <= '2026-11-30'::date) a
         inner join (select crm_id, order_id, gateway_id, cc_type
                     from crm_global.orders
                     where month_date >= '2026-11-01'::date and month_date <= '2026-11-30'::date) b
                    on b.crm_id = a.crm_id and b.order_id = a.order_id
         inner join (select gateway_id, mid_number, mid_id, crm_id from ui_54407332_clients.steps) c
                    on c.crm_id = b.crm_id and c.gateway_id = b.gateway_id
         inner join (select mid_id, processor, corp_id from ui_54407332_clients.mids) d on d.mid_id = c.mid_id
        inner join (select corporation_name, corp_id from ui_54407332_clients.corps ) e on e.corp_id = d.corp_id

        group by e.corporation_name, d.processor,  c.mid_number, b.cc_type) a
        WHERE corporation_name = 'Acme'

    