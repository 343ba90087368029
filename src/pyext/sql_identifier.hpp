// Recognising SQL identifiers in text that callers put into a query, so that a name can
// never end the identifier and continue as SQL of its own.
#pragma once

#include <string_view>

#include "pyext/ref.hpp"

namespace pyext::sql {

// A plain identifier (letters, digits, underscores and dollar signs, not starting with a
// digit or a dollar sign; non-ASCII letters count as letters) or a non-empty
// double-quoted one with "" for a quote inside.
bool is_identifier(std::string_view text);

// A column reference: identifiers joined by dots.
bool is_column_reference(std::string_view text);

// An ORDER BY item over a column: a column reference, optionally followed by ASC or DESC
// and then by NULLS FIRST or NULLS LAST, keywords in any letter case, one or more blanks
// between words.
bool is_column_ordering(std::string_view text);

// The UTF-8 form of a str for the checks above; nullptr with an exception set when `text`
// is not a str or cannot be encoded.
const char* utf8(PyObject* text, Py_ssize_t& size);

}  // namespace pyext::sql
