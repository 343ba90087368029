#include "orvesta/common.hpp"

namespace orvesta {
namespace {
PyObject* run(Function&, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "bin_report");
    return nullptr;
}
}  // namespace
const pyext::FunctionSpec bin_report{
    .name = "bin_report",
    .qualname = "bin_report",
    .parameters = kReportParameters,
    .var_keywords = true,
    .body = run,
};
}  // namespace orvesta
