#include "orvesta/common.hpp"

namespace orvesta {
namespace {
PyObject* run(Function&, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "mtd_report");
    return nullptr;
}
}  // namespace
const pyext::FunctionSpec mtd_report{
    .name = "mtd_report",
    .qualname = "mtd_report",
    .parameters = kReportParameters,
    .var_keywords = true,
    .body = run,
};
}  // namespace orvesta
