#include "orvesta/common.hpp"

namespace orvesta {
namespace {
PyObject* run(Function&, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "continuity_report");
    return nullptr;
}
}  // namespace
const pyext::FunctionSpec continuity_report{
    .name = "continuity_report",
    .qualname = "continuity_report",
    .parameters = kReportParameters,
    .var_keywords = true,
    .body = run,
};
}  // namespace orvesta
