// Approval report: order cycles of a date range by corporation, processor, MID and card
// type, with the share approved per billing cycle; the filter applies to those rows.
#include "orvesta/common.hpp"

namespace orvesta {
namespace {

const ConstText kCyclesFrom{R"sql( select * from(
        select e.corporation_name,  d.processor,  c.mid_number, b.cc_type,

       count(1) "order count",
       coalesce(nullif(count(1) filter (where decline_reason is null)::numeric,0) / count(1)::numeric ,0) "approval%%",
       coalesce(nullif(count(1) filter (where decline_reason is null and bc_inferred = '0')::numeric,0) / count(1) filter (where  bc_inferred = '0')::numeric ,0) "approval C0%%",
       coalesce(nullif(count(1) filter (where decline_reason is null and bc_inferred = '1')::numeric,0) / count(1) filter (where  bc_inferred = '1')::numeric ,0) "approval C1%%",
       coalesce(nullif(count(1) filter (where decline_reason is null and bc_inferred >= '2')::numeric,0) / count(1) filter (where bc_inferred >= '2')::numeric ,0) "approval C2+%%"


from (select crm_id, order_id, retry_attempt_count as attempt, decline_reason, bc_inferred
      from augmented_data.order_cycles
      where month_date >= ')sql"};
const ConstText kCyclesTo{"'::date\n        and month_date <= '"};
const ConstText kOrdersFrom{R"sql('::date) a
         inner join (select crm_id, order_id, gateway_id, cc_type
                     from crm_global.orders
                     where month_date >= ')sql"};
const ConstText kOrdersTo{"'::date and month_date <= '"};
const ConstText kJoins{R"sql('::date) b
                    on b.crm_id = a.crm_id and b.order_id = a.order_id
         inner join (select gateway_id, mid_number, mid_id, crm_id from ui_54407332_clients.steps) c
                    on c.crm_id = b.crm_id and c.gateway_id = b.gateway_id
         inner join (select mid_id, processor, corp_id from ui_54407332_clients.mids) d on d.mid_id = c.mid_id
        inner join (select corporation_name, corp_id from ui_54407332_clients.corps ) e on e.corp_id = d.corp_id

        group by e.corporation_name, d.processor,  c.mid_number, b.cc_type) a
        )sql"};
const ConstText kEnd{"\n\n    "};

PyObject* run(Function& self, PyObject* const* args) {
    using namespace report_args;
    Ref filter_clause = get_filters_translated(self, args[kFilters]);
    if (!filter_clause) return nullptr;
    DateRange dates;
    if (!read_date_range(args[kReportingQuery], dates)) return nullptr;

    // Each date is formatted once, for both places it goes.
    Ref start = quoted_date_text(dates.start.get(), names::start_date);
    if (!start) return nullptr;
    Ref end = quoted_date_text(dates.end.get(), names::end_date);
    if (!end) return nullptr;
    TextParts qry(11);
    const bool built = qry.text(kCyclesFrom) && qry.add(start) && qry.text(kCyclesTo) &&
                       qry.add(end) && qry.text(kOrdersFrom) && qry.add(start) &&
                       qry.text(kOrdersTo) && qry.add(end) && qry.text(kJoins) &&
                       qry.value(filter_clause) && qry.text(kEnd);
    return built ? run_query(self, args[kDb], qry) : nullptr;
}

}  // namespace

const pyext::FunctionSpec approval_report = report_function(
    "approval_report", run,
    "Approval rates by corporation, processor, MID and card type for a date range.");

}  // namespace orvesta
