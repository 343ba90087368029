// The text of exact dates and datetimes, written straight from their fields: the same
// characters as format(value, ""), without the round trip through isoformat (which
// costs more than everything else a report call does).
#pragma once

#include "pyext/ref.hpp"

namespace pyext {

// Imports the datetime C API; called from each module's exec step.
bool ready_date_text();

// format(value, "") of a datetime.date or datetime.datetime of exactly those types, whose
// time zone (if any) is a datetime.timezone; an empty Ref without an exception for
// anything else, subclasses included, which the caller formats itself.
Ref exact_date_text(PyObject* value);

}  // namespace pyext
