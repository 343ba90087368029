// Classes made from extension code the way a class statement makes them: the metaclass
// derived from the bases, the namespace it prepares, filled in the order of a class body,
// and the class created by calling the metaclass with the name, the bases and that
// namespace.
#pragma once

#include "pyext/ref.hpp"

namespace pyext {

// The most derived of the metaclasses of `bases` (a tuple), `type` when it is empty;
// TypeError on a metaclass conflict, as the class statement raises it.
Ref derive_metaclass(PyObject* bases);

// `staticmethod(function)`, made through the type so it carries the function's
// __name__, __qualname__, __doc__ and __module__ as one from a class body does.
Ref static_method(PyObject* function);

// The body of one class. Every step returns false once an exception is set, so a class
// reads as one `&&` chain:
//
//     ClassBody body(name, bases, module_name, qualname);
//     Ref cls = body.prepare() && body.define("f", f) ? body.create() : Ref{};
class ClassBody {
  public:
    ClassBody(PyObject* name, PyObject* bases, PyObject* module_name, PyObject* qualname)
        : name_(name), bases_(bases), module_name_(module_name), qualname_(qualname) {}

    // Derives the metaclass, asks it for the namespace (__prepare__) and stores
    // __module__ and __qualname__ in it, in this order.
    bool prepare();

    // Stores `value` under `name`, after everything stored before.
    bool define(const char* name, const Ref& value);

    // metaclass(name, bases, namespace)
    Ref create();

  private:
    PyObject* name_;  // borrowed: the caller keeps these alive until create()
    PyObject* bases_;
    PyObject* module_name_;
    PyObject* qualname_;
    Ref metaclass_;
    Ref namespace_;
};

}  // namespace pyext
