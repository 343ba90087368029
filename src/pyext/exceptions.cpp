#include "pyext/exceptions.hpp"

namespace pyext {

#if PY_VERSION_HEX >= 0x030B0000

HandlingException::HandlingException() : previous_(PyErr_GetHandledException()) {
#if PY_VERSION_HEX >= 0x030C0000  // 3.12 hands over a raised exception as one object
    PyObject* raised = PyErr_GetRaisedException();
#else
    PyObject *type, *raised, *traceback;
    PyErr_Fetch(&type, &raised, &traceback);
    PyErr_NormalizeException(&type, &raised, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(raised, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
#endif
    PyErr_SetHandledException(raised);
    Py_XDECREF(raised);
}

HandlingException::~HandlingException() {
    PyErr_SetHandledException(previous_);
    Py_XDECREF(previous_);
}

#else

HandlingException::HandlingException() {
    PyErr_GetExcInfo(&previous_type_, &previous_value_, &previous_traceback_);
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    PyErr_SetExcInfo(type, value, traceback);  // steals all three
}

HandlingException::~HandlingException() {
    PyErr_SetExcInfo(previous_type_, previous_value_, previous_traceback_);
}

#endif

}  // namespace pyext
