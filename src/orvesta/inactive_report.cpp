// Inactive report: per gateway, the recurring orders that are no longer active and have
// no retry scheduled, with the gateway's MID, settings and remaining caps.
#include "orvesta/common.hpp"

namespace orvesta {
namespace {

// The filter clause follows the comment marker that ends this piece, on the same line.
const ConstText kSelect{R"sql(
        SELECT c.corporation_name,
       b.mid_number,
       a.destination_gateway                AS gateway_id,
       a.crm_id,
       b.close_date,
       d.enabled::TEXT,
       c.daily_available                    AS daily_available_cap,
       c.monthly_available                  AS monthly_available_cap,
       c.daily_transaction_cap - c.used_dtc AS available_daily_transaction_cap,
       e.available_tc                       AS available_trailing30_cap,
       a.total_inactive,
       a.dead_mid_cascade,
       a.total_inactive_visa,
       a.total_inactive_master,
       a.total_inactive_discover

        FROM (SELECT a_1.crm_id,
             a_1.destination_gateway,
             count(1)                                                       AS total_inactive,
             count(1) FILTER (WHERE a_1.is_dead_mid_cascade = '1'::numeric) AS dead_mid_cascade,
             count(1) FILTER (WHERE a_1.cc_type = 'master'::text)           AS total_inactive_master,
             count(1) FILTER (WHERE a_1.cc_type = 'visa'::text)             AS total_inactive_visa,
             count(1) FILTER (WHERE a_1.cc_type = 'discover'::text)         AS total_inactive_discover
      FROM processing.recurring_orders a_1
      WHERE a_1.active IS FALSE
        AND a_1.retry_date IS NULL
      GROUP BY a_1.crm_id, a_1.destination_gateway) a
         JOIN (SELECT DISTINCT ON (steps.crm_id, steps.gateway_id) steps.crm_id,
                                                                   steps.gateway_id,
                                                                   steps.mid_number,
                                                                   steps.mid_id,
                                                                   steps.step,
                                                                   steps.close_date
               FROM ui_54407332_clients.steps) b ON b.crm_id = a.crm_id AND b.gateway_id = a.destination_gateway
         JOIN processing.cap c ON c.mid_id = b.mid_id::numeric AND c.step = b.step
         JOIN  (SELECT mid_id,step, available_tc from processing.trailing_cap) e on e.mid_id=b.mid_id and e.step=b.step
         JOIN ui_54407332_clients.gateway_settings d
              ON d.crm_id = a.crm_id AND d.gateway_id::numeric = a.destination_gateway
-- )sql"};

const ConstText kOrderBy{
    "\n        ORDER BY c.corporation_name, b.mid_number, a.destination_gateway, a.crm_id;\n    "};

PyObject* run(Function& self, PyObject* const* args) {
    using namespace report_args;
    Ref filter_clause = get_filters_translated(self, args[kFilters]);
    if (!filter_clause) return nullptr;
    DateRange dates;  // read like every report's, though this query does not use them
    if (!read_date_range(args[kReportingQuery], dates)) return nullptr;

    TextParts qry(3);
    const bool built = qry.text(kSelect) && qry.value(filter_clause) && qry.text(kOrderBy);
    return built ? run_query(self, args[kDb], qry) : nullptr;
}

}  // namespace

const pyext::FunctionSpec inactive_report = report_function(
    "inactive_report", run,
    "Inactive recurring orders per gateway, with the gateway's MID, settings and caps.");

}  // namespace orvesta
