// What the report functions share: their signatures, the names they look up at each
// call, the calls into the host's helper module, the date range and running the query.
#pragma once

#include "pyext/function.hpp"
#include "pyext/text.hpp"

namespace orvesta {

using pyext::ConstText;
using pyext::Function;
using pyext::Ref;
using pyext::TextParts;

// Positions of the bound arguments of inactive, continuity, approval, BIN and affiliate
// reports; further keywords follow in kKeywords.
namespace report_args {
enum : int { kDb, kGroupBy, kFilters, kReportingQuery, kOrderBy, kIncTestCc, kKeywords };
}
inline constexpr std::initializer_list<const char*> kReportParameters = {
    "db", "group_by", "filters", "reporting_query", "order_by", "inc_test_cc"};

namespace names {
extern const pyext::Name pd, read_sql, engine, start_date, end_date;
extern const pyext::Name get_filters, format_group_by, get_order_by, now, alert_providers;
}  // namespace names

// A report function with the shared signature and a keyword catch-all.
inline pyext::FunctionSpec report_function(
    const char* name, pyext::FunctionBody body, const char* doc,
    std::source_location where = std::source_location::current()) {
    return {.name = name,
            .qualname = name,
            .parameters = kReportParameters,
            .var_keywords = true,
            .body = body,
            .doc = doc,
            .location = where};
}

// The report functions and get_first_dom, each defined in its own source.
extern const pyext::FunctionSpec inactive_report, continuity_report, approval_report, bin_report,
    affid_report, mtd_report, get_first_dom;

// The report request's range: "start_date" first, then "end_date".
struct DateRange {
    Ref start;
    Ref end;
};
bool read_date_range(PyObject* reporting_query, DateRange& range);

// A date as it goes between the single quotes of a query: its text form, which may
// not hold a quote or a backslash that would end the literal early, nor a percent sign
// that the driver would read as a parameter marker.
Ref quoted_date_text(PyObject* date, const pyext::Name& key);

// Calls into the host helper module, looked up in the module namespace at each call.
Ref get_filters(const Function& f, PyObject* filters);
Ref get_filters(const Function& f, PyObject* filters, const ConstText& qualifier);
// get_filters(filters, translate={"corp": ..., "is_cascade": ...}, prefix="WHERE")
Ref get_filters_translated(const Function& f, PyObject* filters);
Ref format_group_by(const Function& f, PyObject* group_by);
Ref get_order_by(const Function& f, PyObject* group_by, PyObject* order_by);

// The grouping columns (the list format_group_by returned) in the two forms a query
// writes them, each joined once per call however often it appears, as continuity joins
// its grouping once.
class Grouping {
  public:
    explicit Grouping(PyObject* columns) : columns_(columns) {}

    // "a." followed by the columns joined with ", a.".
    bool add_qualified(TextParts& text);
    // The columns joined with ",".
    bool add_plain(TextParts& text);

  private:
    PyObject* columns_;  // borrowed: the caller holds it for the call
    Ref qualified_;
    Ref plain_;
};

// pd.read_sql(qry, db.engine)
Ref run_query(const Function& f, PyObject* db, PyObject* qry);
// The same for the text of `qry`; the report's result as a new reference or nullptr.
PyObject* run_query(const Function& f, PyObject* db, const TextParts& qry);

}  // namespace orvesta
