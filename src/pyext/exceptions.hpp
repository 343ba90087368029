// Running code "inside an except block" from C++.
#pragma once

#include "pyext/ref.hpp"

namespace pyext {

// Takes the exception being raised and makes it the one being handled until the end of
// the scope, so that an exception raised meanwhile gets it as __context__, exactly as
// when Python code fails inside `except:`. Restores the earlier handled exception.
class HandlingException {
  public:
    HandlingException();
    ~HandlingException();
    HandlingException(const HandlingException&) = delete;
    HandlingException& operator=(const HandlingException&) = delete;

  private:
#if PY_VERSION_HEX >= 0x030B0000  // 3.11 tracks the handled exception as one object
    PyObject* previous_;
#else
    PyObject *previous_type_, *previous_value_, *previous_traceback_;
#endif
};

}  // namespace pyext
