#include "pyext/class_body.hpp"

#include "pyext/api.hpp"

namespace pyext {

Ref derive_metaclass(PyObject* bases) {
    const Py_ssize_t count = PyTuple_GET_SIZE(bases);
    PyTypeObject* winner = count == 0 ? &PyType_Type : Py_TYPE(PyTuple_GET_ITEM(bases, 0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a "
                        "(non-strict) subclass of the metaclasses of all its bases");
        return {};
    }
    return Ref::borrow(reinterpret_cast<PyObject*>(winner));
}

Ref static_method(PyObject* function) {
    return call(reinterpret_cast<PyObject*>(&PyStaticMethod_Type), function);
}

bool ClassBody::prepare() {
    metaclass_ = derive_metaclass(bases_);
    if (!metaclass_) return false;

    Ref prepare_namespace = Ref::steal(PyObject_GetAttrString(metaclass_.get(), "__prepare__"));
    if (prepare_namespace) {
        namespace_ = call(prepare_namespace.get(), name_, bases_);
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        namespace_ = Ref::steal(PyDict_New());
    }
    if (!namespace_) return false;
    if (!PyMapping_Check(namespace_.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
                     reinterpret_cast<PyTypeObject*>(metaclass_.get())->tp_name,
                     Py_TYPE(namespace_.get())->tp_name);
        return false;
    }
    return define("__module__", Ref::borrow(module_name_)) &&
           define("__qualname__", Ref::borrow(qualname_));
}

bool ClassBody::define(const char* name, const Ref& value) {
    if (!value) return false;
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    return key && PyObject_SetItem(namespace_.get(), key.get(), value.get()) == 0;
}

Ref ClassBody::create() {
    return call(metaclass_.get(), name_, bases_, namespace_.get());
}

}  // namespace pyext
