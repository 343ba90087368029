// A function object for extension code that behaves like a function written in Python:
// vectorcall with the interpreter's argument binding and error texts, __defaults__,
// __qualname__, method binding through the descriptor protocol, and a traceback entry
// "<module>.<qualname>" for every exception that leaves it.
#pragma once

#include <initializer_list>
#include <source_location>
#include <string_view>

#include "pyext/ref.hpp"

namespace pyext {

struct Function;

// Receives the bound arguments: one borrowed reference per parameter, in parameter
// order, followed (for functions with a keyword catch-all) by the dict of further
// keywords or nullptr when there were none. Returns a new reference or nullptr.
using FunctionBody = PyObject* (*)(Function& self, PyObject* const* args);

inline constexpr Py_ssize_t kMaxParameters = 8;

struct FunctionSpec {
    const char* name;
    const char* qualname;
    // Parameter names in order; the last len(__defaults__) of them have defaults.
    // An empty list makes a function that takes no arguments at all.
    std::initializer_list<const char*> parameters;
    bool var_keywords;
    FunctionBody body;
    const char* doc = nullptr;
    // Where the body is defined, for the traceback entry.
    std::source_location location = std::source_location::current();
};

struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionSpec* definition;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;  // the module's name, as in __module__
    PyObject* doc;
    PyObject* defaults;         // tuple or nullptr
    PyObject* globals;          // the defining module's namespace
    PyObject* parameter_names;  // tuple of interned strings
    PyObject* dict;
    PyObject* traceback_code;  // created when the first exception passes through
    PyObject* weakrefs;
    PyObject* defining_module;  // `module_name` of new_function, for the traceback entry

    // The current value of a module-level name (see lookup_global).
    Ref global(PyObject* name) const;
};

// Makes the function type ready; called from each module's exec step.
bool ready_function_type();

// New function object bound to the namespace `globals` of the module named `module_name`
// (a str). `defaults` may be nullptr.
Ref new_function(const FunctionSpec& definition, PyObject* globals, PyObject* module_name,
                 PyObject* defaults);

// Binds `function` into `globals` under its own name.
bool define_function(const FunctionSpec& definition, PyObject* globals, PyObject* module_name,
                     PyObject* defaults = nullptr);

// The value a Python function would see for the global `name`: the module namespace,
// then the builtins, else NameError. Looked up at every call (late binding).
Ref lookup_global(PyObject* globals, PyObject* name);

}  // namespace pyext
