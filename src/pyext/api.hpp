// Thin owning wrappers over the CPython calls the modules make most.
#pragma once

#include "pyext/date_text.hpp"
#include "pyext/ref.hpp"

namespace pyext {

inline Ref getattr(PyObject* obj, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

inline Ref getitem(PyObject* obj, PyObject* key) {
    return Ref::steal(PyObject_GetItem(obj, key));
}

// callable(*args), positional arguments only.
template <typename... Args>
Ref call(PyObject* callable, Args... args) {
    PyObject* argv[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(
        callable, argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*positional, **dict(zip(kwnames, keyword_values))).
template <typename... Args>
Ref call_with_keywords(PyObject* callable, PyObject* kwnames, Args... args) {
    PyObject* argv[] = {nullptr, args...};
    const size_t positional = sizeof...(Args) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return Ref::steal(PyObject_Vectorcall(callable, argv + 1,
                                          positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// globals[name] = value; false when `value` is missing (its exception is already set).
inline bool bind(PyObject* globals, PyObject* name, const Ref& value) {
    return value && PyDict_SetItem(globals, name, value.get()) == 0;
}

// `import <name>` at `level` 0, or `from .<name> import <fromlist>` at level 1, as
// executed by the module whose namespace is `globals`.
inline Ref import_module(PyObject* name, PyObject* globals, PyObject* fromlist = nullptr,
                         int level = 0) {
    return Ref::steal(PyImport_ImportModuleLevelObject(name, globals, nullptr, fromlist, level));
}

// Exactly what `format(value, "")` gives: a str unchanged, anything else its text form.
inline Ref format(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    if (Ref text = exact_date_text(value); text || PyErr_Occurred()) return text;
    return Ref::steal(PyObject_Format(value, nullptr));
}

}  // namespace pyext
