#include "pyext/unpack.hpp"

namespace pyext {
namespace {

void raise_too_many(Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

void raise_too_few(Py_ssize_t found) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                 found == 1 ? "" : "s");
}

}  // namespace

bool unpack(PyObject* item, std::span<Ref> targets) {
    const auto expected = static_cast<Py_ssize_t>(targets.size());
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(item);
        if (size != expected) {
            size > expected ? raise_too_many(expected) : raise_too_few(size);
            return false;
        }
        for (Py_ssize_t i = 0; i < expected; ++i) {
            targets[i] = Ref::borrow(PySequence_Fast_GET_ITEM(item, i));
        }
        return true;
    }

    Ref iterator = Ref::steal(PyObject_GetIter(item));
    if (!iterator) return false;
    for (Py_ssize_t i = 0; i < expected; ++i) {
        targets[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!targets[i]) {
            if (!PyErr_Occurred()) raise_too_few(i);
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        raise_too_many(expected);
        return false;
    }
    return !PyErr_Occurred();
}

}  // namespace pyext
