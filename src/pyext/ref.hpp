// Owning references to Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace pyext {

// Owns one strong reference (or none). Copies add a reference, destruction drops it,
// so no code outside this layer pairs Py_INCREF with Py_DECREF by hand.
class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : obj_(Py_XNewRef(other.obj_)) {}
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    // Takes over a reference the caller owns (typically a "new reference" API result).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Adds a reference of its own to a borrowed object.
    static Ref borrow(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    // Hands the reference to the caller, e.g. as a function's return value.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    // A fresh strong reference for APIs that steal one (PyTuple_SET_ITEM and the like).
    [[nodiscard]] PyObject* new_ref() const noexcept { return Py_XNewRef(obj_); }

  private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace pyext
