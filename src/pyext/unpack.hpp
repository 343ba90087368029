// Unpacking one object into a fixed number of values, as `a, b = item` does, with the
// error texts this project's modules use.
#pragma once

#include <span>

#include "pyext/ref.hpp"

namespace pyext {

// Fills every element of `targets` from `item`: directly from an exact tuple or list,
// otherwise by iterating it. An item with more values raises ValueError "too many
// values to unpack (expected N)", one with fewer "need more than N value(s) to unpack";
// an item that cannot be iterated raises the interpreter's TypeError.
bool unpack(PyObject* item, std::span<Ref> targets);

}  // namespace pyext
