#include "pyext/function.hpp"

#include <frameobject.h>

#include <algorithm>
#include <array>
#include <cstddef>

#include "pyext/api.hpp"
#include "pyext/function_attributes.hpp"

namespace pyext {
namespace {

Function* as_function(PyObject* obj) {
    return reinterpret_cast<Function*>(obj);
}

// The interpreter's wording for a wrong count of positional arguments; `given` is the
// number of arguments supplied or, for a parameter left unbound, the number bound
// before it.
void raise_wrong_count(const Function& f, Py_ssize_t required, Py_ssize_t total, Py_ssize_t given) {
    const bool too_few = given < required;
    const Py_ssize_t expected = too_few ? required : total;
    const char* bound = required == total ? "exactly" : too_few ? "at least" : "at most";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f.definition->name, bound, expected, expected == 1 ? "" : "s", given);
}

Py_ssize_t parameter_index(const Function& f, PyObject* keyword) {
    const Py_ssize_t count = PyTuple_GET_SIZE(f.parameter_names);
    for (Py_ssize_t i = 0; i < count; ++i) {  // interned names: identity is the usual hit
        if (PyTuple_GET_ITEM(f.parameter_names, i) == keyword) return i;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyUnicode_Compare(PyTuple_GET_ITEM(f.parameter_names, i), keyword) == 0) return i;
    }
    return -1;
}

PyObject* call_without_arguments(Function& f, PyObject* const*, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", f.definition->name);
        return nullptr;
    }
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", f.definition->name,
                     nargs);
        return nullptr;
    }
    return f.definition->body(f, nullptr);
}

PyObject* call_with_binding(Function& f, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    // The call owns the defaults it binds: anything it runs (a keyword's __eq__, a
    // helper, another thread) may assign __defaults__ and so free the tuple.
    const Ref defaults = Ref::borrow(f.defaults);
    const Py_ssize_t total = PyTuple_GET_SIZE(f.parameter_names);
    const Py_ssize_t required = total - (defaults ? PyTuple_GET_SIZE(defaults.get()) : 0);
    if (nargs > total) {
        raise_wrong_count(f, required, total, nargs);
        return nullptr;
    }

    // One slot per parameter, then one for the catch-all dict.
    std::array<PyObject*, kMaxParameters + 1> bound{};
    std::copy(args, args + nargs, bound.begin());
    Ref extra_keywords;

    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f.definition->name);
            return nullptr;
        }
        const Py_ssize_t index = parameter_index(f, keyword);
        if (index >= 0) {
            if (bound[index] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             f.definition->name, keyword);
                return nullptr;
            }
            bound[index] = value;
        } else if (f.definition->var_keywords) {
            if (!extra_keywords) {
                extra_keywords = Ref::steal(PyDict_New());
                if (!extra_keywords) return nullptr;
            }
            if (PyDict_SetItem(extra_keywords.get(), keyword, value) < 0) return nullptr;
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         f.definition->name, keyword);
            return nullptr;
        }
    }

    for (Py_ssize_t i = nargs; i < total; ++i) {
        if (bound[i] != nullptr) continue;
        if (i < required) {
            raise_wrong_count(f, required, total, i);
            return nullptr;
        }
        bound[i] = PyTuple_GET_ITEM(defaults.get(), i - required);
    }
    bound[total] = extra_keywords.get();
    return f.definition->body(f, bound.data());
}

// The code object of the traceback entry: "<module>.<qualname>" as the function was
// defined, whatever its __module__ and __qualname__ have become since (as a Python
// function's entry keeps its code's name), at the line of its body's definition.
PyObject* new_traceback_code(const Function& f) {
    Ref name = Ref::steal(PyUnicode_FromFormat("%U.%s", f.defining_module, f.definition->qualname));
    const char* utf8_name = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (utf8_name == nullptr) return nullptr;
    // Name the source relative to the project's src/ folder, not the build machine.
    std::string_view file = f.definition->location.file_name();
    if (const auto at = file.rfind("src/"); at != std::string_view::npos) {
        file.remove_prefix(at + 4);
    }
    return reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(file.data(), utf8_name, static_cast<int>(f.definition->location.line())));
}

// The exception being raised, kept aside while the traceback entry is made, so that a
// failure to make the entry leaves that exception as it was.
class RaisedException {
  public:
#if PY_VERSION_HEX >= 0x030C0000  // 3.12 replaced the fetch/restore triple
    RaisedException() : value_(PyErr_GetRaisedException()) {}
    void restore() { PyErr_SetRaisedException(value_); }
#else
    RaisedException() { PyErr_Fetch(&type_, &value_, &traceback_); }
    void restore() { PyErr_Restore(type_, value_, traceback_); }
#endif

  private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject *type_, *traceback_;
#endif
    PyObject* value_;
};

// Adds "<module>.<qualname>" to the traceback of the exception being raised, the way a
// Python frame would appear there.
void add_traceback_entry(Function& f) {
    RaisedException raised;
    if (f.traceback_code == nullptr) f.traceback_code = new_traceback_code(f);
    PyFrameObject* frame =
        f.traceback_code == nullptr
            ? nullptr
            : PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(f.traceback_code),
                          f.globals, nullptr);
    PyErr_Clear();
    raised.restore();
    if (frame == nullptr) return;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    Function& f = *as_function(callable);
    // The call never passes through a Python frame, so it enters the interpreter's
    // recursion check itself: a helper that calls back into it must end in
    // RecursionError, not in a C stack overflow.
    if (Py_EnterRecursiveCall("")) return nullptr;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* result = f.definition->parameters.size() == 0
                           ? call_without_arguments(f, args, nargs, kwnames)
                           : call_with_binding(f, args, nargs, kwnames);
    Py_LeaveRecursiveCall();
    if (result == nullptr) add_traceback_entry(f);
    return result;
}

// Binds like a Python function: looked up on an instance it becomes a bound method.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function& f = *as_function(self);
    Py_VISIT(f.name);
    Py_VISIT(f.qualname);
    Py_VISIT(f.module);
    Py_VISIT(f.doc);
    Py_VISIT(f.defaults);
    Py_VISIT(f.globals);
    Py_VISIT(f.parameter_names);
    Py_VISIT(f.dict);
    Py_VISIT(f.traceback_code);
    Py_VISIT(f.defining_module);
    return 0;
}

int function_clear(PyObject* self) {
    Function& f = *as_function(self);
    Py_CLEAR(f.name);
    Py_CLEAR(f.qualname);
    Py_CLEAR(f.module);
    Py_CLEAR(f.doc);
    Py_CLEAR(f.defaults);
    Py_CLEAR(f.globals);
    Py_CLEAR(f.parameter_names);
    Py_CLEAR(f.dict);
    Py_CLEAR(f.traceback_code);
    Py_CLEAR(f.defining_module);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyTypeObject function_type = [] {
    PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = "compiled_function";
    type.tp_basicsize = sizeof(Function);
    type.tp_dealloc = function_dealloc;
    type.tp_vectorcall_offset = offsetof(Function, vectorcall);
    type.tp_repr = function_repr;
    type.tp_call = PyVectorcall_Call;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                    Py_TPFLAGS_METHOD_DESCRIPTOR;
    type.tp_doc = "A module function compiled to native code.";
    type.tp_traverse = function_traverse;
    type.tp_clear = function_clear;
    type.tp_weaklistoffset = offsetof(Function, weakrefs);
    type.tp_getset = function_attributes::getset();
    type.tp_members = function_attributes::members();
    type.tp_descr_get = function_descr_get;
    type.tp_dictoffset = offsetof(Function, dict);
    return type;
}();

}  // namespace

Ref Function::global(PyObject* name) const {
    return lookup_global(globals, name);
}

bool ready_function_type() {
    return PyType_Ready(&function_type) == 0;
}

Ref new_function(const FunctionSpec& definition, PyObject* globals, PyObject* module_name,
                 PyObject* defaults) {
    if (definition.parameters.size() > static_cast<size_t>(kMaxParameters)) {
        PyErr_Format(PyExc_SystemError, "%s: too many parameters", definition.name);
        return {};
    }
    Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(definition.parameters.size())));
    if (!names) return {};
    Py_ssize_t index = 0;
    for (const char* parameter : definition.parameters) {
        PyObject* name = PyUnicode_InternFromString(parameter);
        if (name == nullptr) return {};
        PyTuple_SET_ITEM(names.get(), index++, name);
    }
    Ref name = Ref::steal(PyUnicode_FromString(definition.name));
    Ref qualname = Ref::steal(PyUnicode_FromString(definition.qualname));
    Ref doc =
        definition.doc ? Ref::steal(PyUnicode_FromString(definition.doc)) : Ref::borrow(Py_None);
    if (!name || !qualname || !doc) return {};

    Function* f = PyObject_GC_New(Function, &function_type);
    if (f == nullptr) return {};
    f->vectorcall = function_vectorcall;
    f->definition = &definition;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Py_NewRef(module_name);
    f->doc = doc.release();
    f->defaults = Py_XNewRef(defaults);
    f->globals = Py_NewRef(globals);
    f->parameter_names = names.release();
    f->dict = nullptr;
    f->traceback_code = nullptr;
    f->weakrefs = nullptr;
    f->defining_module = Py_NewRef(module_name);
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

bool define_function(const FunctionSpec& definition, PyObject* globals, PyObject* module_name,
                     PyObject* defaults) {
    Ref function = new_function(definition, globals, module_name, defaults);
    return function && PyDict_SetItemString(globals, definition.name, function.get()) == 0;
}

Ref lookup_global(PyObject* globals, PyObject* name) {
    if (PyObject* value = PyDict_GetItemWithError(globals, name)) return Ref::borrow(value);
    if (PyErr_Occurred()) return {};
    if (PyObject* value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name)) {
        return Ref::borrow(value);
    }
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

}  // namespace pyext
