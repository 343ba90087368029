// Month-to-date report: revenue transactions between two dates, totalled per group of
// the caller's columns, with one refund and one alert-cost column per alert provider.
#include "orvesta/common.hpp"
#include "pyext/api.hpp"
#include "pyext/exceptions.hpp"

namespace orvesta {
namespace {

// Its own parameter order: the report request comes before the filters.
enum : int { kDb, kGroupBy, kReportingQuery, kFilters, kOrderBy };

const ConstText kSelect{"\n      SELECT "};
const ConstText kCycleColumns{R"sql(,

       cycle_0                                               AS "cycle_0_$",
       cycle_1                                               AS "cycle_1_$",
       cycle_2                                               AS "cycle_2_$",
       cycle_3                                               AS "cycle_3_$",
       revenue_$,
       )sql"};
const ConstText kRefundColumns{",\n       cs_refunds_$,\n       total_refunds_$,\n       "};
const ConstText kTotalColumns{R"sql(,
       alerts_$,
       cb_costs_$,
       cb_amount_$,
       reserves_$,
       processing_cost_$,
       transaction_cost_$,
       cpa_$,
       total_$,
       coalesce((a.total_$ / nullif(a.revenue_$, '0')), '0') AS "gm_%%"
FROM (SELECT  )sql"};
const ConstText kInnerSums{R"sql(,
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
             )sql"};
const ConstText kBlockSeparator{",\n             "};
const ConstText kOtherSums{R"sql(,
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
      WHERE date >= ')sql"};
const ConstText kDateTo{"'::date AND date <= '"};
const ConstText kDateEnd{"'::date\n      "};
const ConstText kGroupByLine{"\n      GROUP BY  "};
const ConstText kOrderByLine{
    "\n       -- corporation_name, processor, mid_id\n      ) AS \"a\"\n     ORDER BY  "};
const ConstText kEnd{"\n\n--a.corporation_name, a.processor, a.mid_id;\n    "};

// The pieces of the four per-provider texts; a provider's name goes at each nullptr.
const ConstText kCostColumn{"_cost_$"}, kRefundsColumn{"_refunds_$"}, kColumnSeparator{","};
const ConstText kAlertSum{"coalesce((sum(value) FILTER( WHERE type='alert' and alert_provider='"};
const ConstText kRefundSum{"coalesce((sum(value) FILTER( WHERE type='refund' and alert_provider='"};
const ConstText kAliasOpen{"')),0) as \""}, kCostAlias{"_cost_$\" "},
    kRefundsAlias{"_refunds_$\" "}, kSumSeparator{", \n"};
const ConstText* const kProvider = nullptr;

const ConstText kMidNumber{"mid_number"}, kMidId{"mid_id"};

// One item per entry of ALERT_PROVIDERS (read now, not at import), joined by
// `separator`, as pieces of `text`: they are copied once, into the query itself.
bool provider_parts(const Function& self, std::initializer_list<const ConstText*> item,
                    const ConstText& separator, TextParts& text) {
    Ref providers = self.global(names::alert_providers.get());
    if (!providers) return false;
    const auto add = [&](PyObject* provider, bool first) {
        Ref name = pyext::format(provider);
        if (!name || !(first || text.text(separator))) return false;
        for (const ConstText* piece : item) {
            if (piece == kProvider ? !text.value(name) : !text.text(*piece)) return false;
        }
        return true;
    };
    if (PyList_CheckExact(providers.get())) {  // walked as its iterator would walk it
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(providers.get()); ++i) {
            if (!add(Ref::borrow(PyList_GET_ITEM(providers.get(), i)).get(), i == 0)) return false;
        }
        return true;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(providers.get()));
    if (!iterator) return false;
    bool first = true;
    while (Ref provider = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!add(provider.get(), first)) return false;
        first = false;
    }
    return !PyErr_Occurred();
}

// A failed first run is tried once more with mid_id for every mid_number, for revenue
// tables that carry the MID's id rather than its number. Only ordinary errors are
// retried: an interrupt or an exit stops the report at once.
Ref run_with_retry(const Function& self, PyObject* db, const Ref& qry) {
    if (Ref result = run_query(self, db, qry.get())) return result;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
    pyext::HandlingException first_failure;
    Ref retry = Ref::steal(PyUnicode_Replace(qry.get(), kMidNumber.get(), kMidId.get(), -1));
    return retry ? run_query(self, db, retry.get()) : Ref{};
}

PyObject* run(Function& self, PyObject* const* args) {
    Ref filter_clause = get_filters(self, args[kFilters]);
    if (!filter_clause) return nullptr;
    Ref columns = format_group_by(self, args[kGroupBy]);
    if (!columns) return nullptr;
    DateRange dates;
    if (!read_date_range(args[kReportingQuery], dates)) return nullptr;

    TextParts alert_columns(8), refund_columns(8), alert_sums(16), refund_sums(16);
    if (!provider_parts(self, {kProvider, &kCostColumn}, kColumnSeparator, alert_columns) ||
        !provider_parts(self, {kProvider, &kRefundsColumn}, kColumnSeparator, refund_columns) ||
        !provider_parts(self, {&kAlertSum, kProvider, &kAliasOpen, kProvider, &kCostAlias},
                        kSumSeparator, alert_sums) ||
        !provider_parts(self, {&kRefundSum, kProvider, &kAliasOpen, kProvider, &kRefundsAlias},
                        kSumSeparator, refund_sums)) {
        return nullptr;
    }

    PyObject* group_by = columns.get();
    Grouping grouping(group_by);
    TextParts qry(64);
    const bool built =
        qry.text(kSelect) && grouping.add_qualified(qry) && qry.text(kCycleColumns) &&
        qry.add(std::move(refund_columns)) && qry.text(kRefundColumns) &&
        qry.add(std::move(alert_columns)) && qry.text(kTotalColumns) && grouping.add_plain(qry) &&
        qry.text(kInnerSums) && qry.add(std::move(alert_sums)) && qry.text(kBlockSeparator) &&
        qry.add(std::move(refund_sums)) && qry.text(kOtherSums) &&
        qry.add(quoted_date_text(dates.start.get(), names::start_date)) && qry.text(kDateTo) &&
        qry.add(quoted_date_text(dates.end.get(), names::end_date)) && qry.text(kDateEnd) &&
        qry.value(filter_clause) && qry.text(kGroupByLine) && grouping.add_plain(qry) &&
        qry.text(kOrderByLine) && qry.value(get_order_by(self, group_by, args[kOrderBy])) &&
        qry.text(kEnd);
    Ref text = built ? qry.build() : Ref{};
    return text ? run_with_retry(self, args[kDb], text).release() : nullptr;
}

}  // namespace

const pyext::FunctionSpec mtd_report{
    .name = "mtd_report",
    .qualname = "mtd_report",
    .parameters = {"db", "group_by", "reporting_query", "filters", "order_by"},
    .var_keywords = true,
    .body = run,
    .doc = "Revenue, refunds, alert and chargeback costs between two dates, per group.",
};

}  // namespace orvesta
