#include "orvesta/common.hpp"

namespace orvesta {
namespace {
PyObject* run(Function&, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "affid_report");
    return nullptr;
}
}  // namespace
const pyext::FunctionSpec affid_report{
    .name = "affid_report",
    .qualname = "affid_report",
    .parameters = kReportParameters,
    .var_keywords = true,
    .body = run,
};
}  // namespace orvesta
