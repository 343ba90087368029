#include "pyext/function_attributes.hpp"

#include <structmember.h>

#include <cstddef>

#include "pyext/function.hpp"

namespace pyext::function_attributes {
namespace {

Function& as_function(PyObject* obj) {
    return *reinterpret_cast<Function*>(obj);
}

// __name__ and __qualname__ accept only strings, as on Python functions.
int set_text_attribute(PyObject** slot, PyObject* value, const char* attribute) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) {
    return Py_NewRef(as_function(self).name);
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_text_attribute(&as_function(self).name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(as_function(self).qualname);
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text_attribute(&as_function(self).qualname, value, "__qualname__");
}

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* defaults = as_function(self).defaults;
    return Py_NewRef(defaults ? defaults : Py_None);
}
int set_defaults(PyObject* self, PyObject* value, void*) {
    Function& f = as_function(self);
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (value != nullptr && PyTuple_GET_SIZE(value) > PyTuple_GET_SIZE(f.parameter_names)) {
        PyErr_SetString(PyExc_ValueError, "__defaults__ has more values than parameters");
        return -1;
    }
    Py_XSETREF(f.defaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject*, void*) {
    Py_RETURN_NONE;
}

// inspect.signature() of the function: its parameters with their current defaults, and
// the keyword catch-all as **kwargs.
PyObject* get_signature(PyObject* self, void*) {
    const Function& f = as_function(self);
    // Owned for the whole walk: making a Parameter runs Python code that may replace
    // __defaults__.
    const Ref defaults = Ref::borrow(f.defaults);
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref parameter_type = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature_type = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!parameter_type || !signature_type) return nullptr;
    const Py_ssize_t total = PyTuple_GET_SIZE(f.parameter_names);
    const Py_ssize_t first_default = total - (defaults ? PyTuple_GET_SIZE(defaults.get()) : 0);
    Ref parameters = Ref::steal(PyList_New(0));
    if (!parameters) return nullptr;
    const auto add = [&](PyObject* name, const char* kind, PyObject* default_value) {
        Ref kind_value = Ref::steal(PyObject_GetAttrString(parameter_type.get(), kind));
        if (!kind_value) return false;
        Ref args = Ref::steal(PyTuple_Pack(2, name, kind_value.get()));
        Ref kwargs = Ref::steal(default_value ? Py_BuildValue("{sO}", "default", default_value)
                                              : PyDict_New());
        if (!args || !kwargs) return false;
        Ref parameter = Ref::steal(PyObject_Call(parameter_type.get(), args.get(), kwargs.get()));
        return parameter && PyList_Append(parameters.get(), parameter.get()) == 0;
    };
    for (Py_ssize_t i = 0; i < total; ++i) {
        PyObject* default_value =
            i >= first_default ? PyTuple_GET_ITEM(defaults.get(), i - first_default) : nullptr;
        if (!add(PyTuple_GET_ITEM(f.parameter_names, i), "POSITIONAL_OR_KEYWORD", default_value)) {
            return nullptr;
        }
    }
    if (f.definition->var_keywords) {
        Ref name = Ref::steal(PyUnicode_FromString("kwargs"));
        if (!name || !add(name.get(), "VAR_KEYWORD", nullptr)) return nullptr;
    }
    return PyObject_CallOneArg(signature_type.get(), parameters.get());
}

PyGetSetDef getset_table[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr},
};

PyMemberDef member_table[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(Function, globals), READONLY, nullptr},
    {nullptr},
};

}  // namespace

PyGetSetDef* getset() {
    return getset_table;
}

PyMemberDef* members() {
    return member_table;
}

}  // namespace pyext::function_attributes
