#include "orvesta/common.hpp"

#include "pyext/api.hpp"

namespace orvesta {

namespace names {
const pyext::Name pd{"pd"}, read_sql{"read_sql"}, engine{"engine"};
const pyext::Name start_date{"start_date"}, end_date{"end_date"};
const pyext::Name get_filters{"get_filters"}, format_group_by{"format_group_by"},
    get_order_by{"get_order_by"}, now{"now"}, alert_providers{"ALERT_PROVIDERS"};
}  // namespace names

namespace {

const pyext::Name kTranslate{"translate"}, kPrefix{"prefix"};
const ConstText kCorp{"corp"}, kCorporationName{"corporation_name"};
const ConstText kIsCascade{"is_cascade"}, kIsDeadMidCascade{"is_dead_mid_cascade"};
const ConstText kWhere{"WHERE"};
const ConstText kQualifier{"a."}, kQualifiedSeparator{", a."}, kPlainSeparator{","};

}  // namespace

bool read_date_range(PyObject* reporting_query, DateRange& range) {
    range.start = pyext::getitem(reporting_query, names::start_date.get());
    if (!range.start) return false;
    range.end = pyext::getitem(reporting_query, names::end_date.get());
    return static_cast<bool>(range.end);
}

Ref quoted_date_text(PyObject* date, const pyext::Name& key) {
    Ref text = pyext::format(date);
    if (!text) return {};
    const auto holds = [&](Py_UCS4 c) {
        return PyUnicode_FindChar(text.get(), c, 0, PY_SSIZE_T_MAX, 1) != -1;
    };
    if (holds('\'') || holds('\\')) {
        PyErr_Format(PyExc_ValueError, "%U must not contain a single quote or a backslash, got %R",
                     key.get(), text.get());
        return {};
    }
    // The driver reads the whole text as a format string ("%%" for one percent sign),
    // so a lone one would fail there or be read as a parameter marker.
    if (holds('%')) {
        PyErr_Format(PyExc_ValueError, "%U must not contain a percent sign, got %R", key.get(),
                     text.get());
        return {};
    }
    return text;
}

Ref get_filters(const Function& f, PyObject* filters) {
    Ref helper = f.global(names::get_filters.get());
    return helper ? pyext::call(helper.get(), filters) : Ref{};
}

Ref get_filters(const Function& f, PyObject* filters, const ConstText& qualifier) {
    Ref helper = f.global(names::get_filters.get());
    return helper ? pyext::call(helper.get(), filters, qualifier.get()) : Ref{};
}

Ref get_filters_translated(const Function& f, PyObject* filters) {
    Ref helper = f.global(names::get_filters.get());
    if (!helper) return {};
    // A new mapping for every call, so nothing a helper does to it outlives the call.
    Ref translate = Ref::steal(PyDict_New());
    if (!translate || PyDict_SetItem(translate.get(), kCorp.get(), kCorporationName.get()) < 0 ||
        PyDict_SetItem(translate.get(), kIsCascade.get(), kIsDeadMidCascade.get()) < 0) {
        return {};
    }
    Ref kwnames = Ref::steal(PyTuple_Pack(2, kTranslate.get(), kPrefix.get()));
    if (!kwnames) return {};
    return pyext::call_with_keywords(helper.get(), kwnames.get(), filters, translate.get(),
                                     kWhere.get());
}

Ref format_group_by(const Function& f, PyObject* group_by) {
    Ref helper = f.global(names::format_group_by.get());
    return helper ? pyext::call(helper.get(), group_by) : Ref{};
}

Ref get_order_by(const Function& f, PyObject* group_by, PyObject* order_by) {
    Ref helper = f.global(names::get_order_by.get());
    return helper ? pyext::call(helper.get(), group_by, order_by) : Ref{};
}

bool Grouping::add_qualified(TextParts& text) {
    if (!qualified_) qualified_ = pyext::join(kQualifiedSeparator, columns_);
    return text.text(kQualifier) && text.add(qualified_);
}

bool Grouping::add_plain(TextParts& text) {
    if (!plain_) plain_ = pyext::join(kPlainSeparator, columns_);
    return text.add(plain_);
}

Ref run_query(const Function& f, PyObject* db, PyObject* qry) {
    Ref pd = f.global(names::pd.get());
    if (!pd) return {};
    Ref read_sql = pyext::getattr(pd.get(), names::read_sql.get());
    if (!read_sql) return {};
    Ref engine = pyext::getattr(db, names::engine.get());
    if (!engine) return {};
    return pyext::call(read_sql.get(), qry, engine.get());
}

PyObject* run_query(const Function& f, PyObject* db, const TextParts& qry) {
    Ref text = qry.build();
    return text ? run_query(f, db, text.get()).release() : nullptr;
}

}  // namespace orvesta
