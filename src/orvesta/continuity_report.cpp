// Continuity report: upcoming recurring cycles after the current date, grouped by the
// caller's columns, with projected approvals and revenue.
#include "orvesta/common.hpp"
#include "pyext/api.hpp"
#include "pyext/sql_identifier.hpp"

namespace orvesta {
namespace {

const ConstText kSelect{"\n            select "};

// Ends inside the quoted horizon date.
const ConstText kAggregates{R"sql(,


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
            WHERE next_cycle_date > ')sql"};

const ConstText kRetryLimit{
    "'::date\n              AND retry_attempt_count < '6'\n                "};
const ConstText kGroupByLine{"\n\n            GROUP BY  "};
const ConstText kOrderByLine{"\n            ORDER BY "};
const ConstText kEnd{"\n    "};
const ConstText kComma{","};
const ConstText kPercent{"%"}, kDoubledPercent{"%%"};

// The caller's ordering goes into ORDER BY without passing through the helper module,
// so every item must be a plain column ordering; str.join's own TypeError still comes
// first for an item that is not a string. A percent sign can stand only inside a quoted
// identifier (such as the report's own "natural_projected_approval %" column); it is
// written twice, as the whole text is, so that the server sees the name as written.
Ref ordering_text(PyObject* order_by) {
    Ref items = Ref::steal(PySequence_Fast(order_by, "can only join an iterable"));
    if (!items) return {};
    Ref text = pyext::join(kComma, items.get());
    if (!text) return {};
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        // Held: formatting it for the error may run a str subclass's __repr__.
        const Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(items.get(), i));
        Py_ssize_t size = 0;
        const char* utf8 = pyext::sql::utf8(item.get(), size);
        if (utf8 == nullptr) return {};
        if (!pyext::sql::is_column_ordering({utf8, static_cast<size_t>(size)})) {
            PyErr_Format(PyExc_ValueError,
                         "order_by item %R is not a column name with an optional ASC/DESC "
                         "and NULLS FIRST/LAST",
                         item.get());
            return {};
        }
    }
    if (PyUnicode_FindChar(text.get(), '%', 0, PY_SSIZE_T_MAX, 1) == -1) return text;
    return Ref::steal(PyUnicode_Replace(text.get(), kPercent.get(), kDoubledPercent.get(), -1));
}

// order_by joined with "," when it is true, else the grouping columns again.
bool add_ordering(TextParts& qry, PyObject* order_by, const Ref& grouping) {
    const int ordered = PyObject_IsTrue(order_by);
    if (ordered < 0) return false;
    return ordered ? qry.add(ordering_text(order_by)) : qry.value(grouping);
}

PyObject* run(Function& self, PyObject* const* args) {
    using namespace report_args;
    Ref filter_clause = get_filters(self, args[kFilters]);
    if (!filter_clause) return nullptr;
    DateRange dates;  // read like every report's; the horizon is now() instead
    if (!read_date_range(args[kReportingQuery], dates)) return nullptr;
    Ref columns = format_group_by(self, args[kGroupBy]);
    if (!columns) return nullptr;
    Ref grouping = Ref::steal(PyUnicode_Join(kComma.get(), columns.get()));
    if (!grouping) return nullptr;

    TextParts qry(11);
    const bool built = qry.text(kSelect) && qry.value(grouping) && qry.text(kAggregates) &&
                       qry.value(Ref{[&] {
                           Ref now = self.global(names::now.get());
                           return now ? pyext::call(now.get()) : Ref{};
                       }()}) &&
                       qry.text(kRetryLimit) && qry.value(filter_clause) &&
                       qry.text(kGroupByLine) && qry.value(grouping) && qry.text(kOrderByLine) &&
                       add_ordering(qry, args[kOrderBy], grouping) && qry.text(kEnd);
    return built ? run_query(self, args[kDb], qry) : nullptr;
}

}  // namespace

const pyext::FunctionSpec continuity_report = report_function(
    "continuity_report", run,
    "Upcoming recurring cycles grouped by the given columns, with projected approvals.");

}  // namespace orvesta
