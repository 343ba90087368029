// The attributes of the function type of function.hpp: what a caller may read, assign
// and delete, with the rules of a function written in Python.
#pragma once

#include "pyext/ref.hpp"

struct PyMemberDef;  // structmember.h, which cannot come before Python.h

namespace pyext::function_attributes {

// __name__, __qualname__, __defaults__, __kwdefaults__, __signature__ and __dict__.
PyGetSetDef* getset();
// __module__ and __doc__ (any object, deletable, as on Python functions) and __globals__.
PyMemberDef* members();

}  // namespace pyext::function_attributes
