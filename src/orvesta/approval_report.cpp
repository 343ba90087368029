#include "orvesta/common.hpp"

namespace orvesta {
namespace {
PyObject* run(Function&, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "approval_report");
    return nullptr;
}
}  // namespace
const pyext::FunctionSpec approval_report{
    .name = "approval_report",
    .qualname = "approval_report",
    .parameters = kReportParameters,
    .var_keywords = true,
    .body = run,
};
}  // namespace orvesta
