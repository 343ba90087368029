// The report module: loading, its namespace, and get_first_dom.
#include <iterator>

#include "orvesta/common.hpp"
#include "pyext/api.hpp"
#include "pyext/module_guard.hpp"

namespace orvesta {
namespace {

// Bound from the host's helper module, in this order.
constexpr const char* kHelperNames[] = {
    "now",          "today",       "_get_interval_date", "get_cast",
    "get_order_by", "get_filters", "format_group_by",
};

const pyext::Name kReplace{"replace"}, kDate{"date"}, kDay{"day"};
const pyext::Name kModuleName{"orvesta"}, kPandas{"pandas"}, kDependencies{"dependencies"};

// now().replace(day=1).date()
PyObject* first_day_of_month(Function& self, PyObject* const*) {
    Ref now = self.global(names::now.get());
    if (!now) return nullptr;
    Ref current = pyext::call(now.get());
    if (!current) return nullptr;
    Ref kwnames = Ref::steal(PyTuple_Pack(1, kDay.get()));
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!kwnames || !one) return nullptr;
    PyObject* replace_args[] = {current.get(), one.get()};
    Ref first =
        Ref::steal(PyObject_VectorcallMethod(kReplace.get(), replace_args, 1, kwnames.get()));
    if (!first) return nullptr;
    PyObject* date_args[] = {first.get()};
    return PyObject_VectorcallMethod(kDate.get(), date_args, 1, nullptr);
}

// The interpreter's `from <module> import <name>`: the attribute, else an already
// imported submodule of that name, else ImportError.
Ref import_from(PyObject* module, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(module, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    if (Ref package = Ref::steal(PyObject_GetAttrString(module, "__name__"));
        package && PyUnicode_Check(package.get())) {
        Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", package.get(), name));
        if (full_name) value = Ref::steal(PyImport_GetModule(full_name.get()));
    }
    if (!value) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return value;
}

bool import_helpers(PyObject* globals) {
    Ref fromlist = Ref::steal(PyTuple_New(std::size(kHelperNames)));
    if (!fromlist) return false;
    for (size_t i = 0; i < std::size(kHelperNames); ++i) {
        PyObject* name = PyUnicode_InternFromString(kHelperNames[i]);
        if (name == nullptr) return false;
        PyTuple_SET_ITEM(fromlist.get(), static_cast<Py_ssize_t>(i), name);
    }
    // from .dependencies import now, today, ...
    Ref helpers = pyext::import_module(kDependencies.get(), globals, fromlist.get(), 1);
    if (!helpers) return false;
    for (size_t i = 0; i < std::size(kHelperNames); ++i) {
        PyObject* name = PyTuple_GET_ITEM(fromlist.get(), static_cast<Py_ssize_t>(i));
        if (!pyext::bind(globals, name, import_from(helpers.get(), name))) return false;
    }
    return true;
}

Ref alert_providers() {
    return Ref::steal(Py_BuildValue("[ss]", "ethoca", "rdr"));
}

// Every report owns one grouping list and one filter dictionary as its defaults.
Ref report_defaults() {
    return Ref::steal(
        Py_BuildValue("(NNOOO)", PyList_New(0), PyDict_New(), Py_False, Py_False, Py_False));
}
Ref mtd_defaults() {
    return Ref::steal(Py_BuildValue("(NONO)", PyList_New(0), Py_False, PyDict_New(), Py_False));
}

bool define_functions(PyObject* globals, PyObject* module_name) {
    const auto report = [&](const pyext::FunctionSpec& definition) {
        Ref defaults = report_defaults();
        return defaults && pyext::define_function(definition, globals, module_name, defaults.get());
    };
    Ref mtd = mtd_defaults();
    return report(affid_report) && report(bin_report) &&
           pyext::define_function(get_first_dom, globals, module_name) && mtd &&
           pyext::define_function(mtd_report, globals, module_name, mtd.get()) &&
           report(continuity_report) && report(inactive_report) && report(approval_report);
}

bool initialise(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);
    return pyext::bind(globals, names::pd.get(), pyext::import_module(kPandas.get(), globals)) &&
           import_helpers(globals) &&
           pyext::bind(globals, names::alert_providers.get(), alert_providers()) &&
           define_functions(globals, kModuleName.get());
}

}  // namespace

const pyext::FunctionSpec get_first_dom{
    .name = "get_first_dom",
    .qualname = "get_first_dom",
    .parameters = {},
    .var_keywords = false,
    .body = first_day_of_month,
    .doc = "The first day of the current month, as a date.",
};

}  // namespace orvesta

PyMODINIT_FUNC PyInit_orvesta() {
    return pyext::module_init(
        "orvesta", "Report queries over the payments warehouse, run through pandas.read_sql.",
        orvesta::initialise);
}
