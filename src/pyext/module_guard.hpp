// Loading rules shared by the extension modules: one interpreter per process, one module
// object per process (handed back when the module is imported again), and a warning
// when the running interpreter is not the one the module was compiled for.
#pragma once

#include "pyext/ref.hpp"

namespace pyext {

class ModuleGuard {
  public:
    explicit constexpr ModuleGuard(const char* module_name) : name_(module_name) {}

    // Py_mod_create: the module object of this process, made on first use.
    PyObject* create(PyObject* module_spec);

    // Start of Py_mod_exec. Returns 1 when the module must be initialised now, 0 when
    // this very object already was, -1 with an exception set otherwise.
    int begin_exec(PyObject* module);

    // End of Py_mod_exec; a failed initialisation gives up the module and the
    // interpreter, so that a later import, in any interpreter, starts afresh.
    void end_exec(PyObject* module, bool succeeded);

  private:
    const char* name_;
    int64_t interpreter_id_ = -1;
    PyObject* module_ = nullptr;  // strong while the module is alive in this process
    bool initialised_ = false;
};

// The definition of the one extension module of this shared object, for its
// PyInit_<name>: create and exec slots that apply a ModuleGuard, make the layer's
// constants and types ready, and then run `initialise` on the new module.
PyObject* module_init(const char* name, const char* doc, bool (*initialise)(PyObject* module));

}  // namespace pyext
