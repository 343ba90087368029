#include "pyext/module_guard.hpp"

#include <cstdio>

#include "pyext/date_text.hpp"
#include "pyext/function.hpp"
#include "pyext/text.hpp"

namespace pyext {
namespace {

// Compares the interpreter's major.minor with the headers this module was built with.
bool warn_on_version_mismatch(const char* name) {
    int major = 0, minor = 0;
    std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, name, "does not match", major,
                            minor) == 0;
}

}  // namespace

PyObject* ModuleGuard::create(PyObject* module_spec) {
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter_id_ != -1 && interpreter_id_ != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (module_ != nullptr) return Py_NewRef(module_);

    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    // The process belongs to this interpreter from the moment its module exists.
    interpreter_id_ = current;
    module_ = module.new_ref();
    return module.release();
}

int ModuleGuard::begin_exec(PyObject* module) {
    if (module == module_ && initialised_) return 0;
    if (module_ == nullptr) {
        module_ = Py_NewRef(module);
        interpreter_id_ = PyInterpreterState_GetID(PyInterpreterState_Get());
    }
    if (module != module_) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     name_);
        return -1;
    }
    if (!warn_on_version_mismatch(name_)) return -1;
    return 1;
}

void ModuleGuard::end_exec(PyObject* module, bool succeeded) {
    if (succeeded) {
        initialised_ = true;
    } else if (module == module_) {
        // Nothing of a failed load may keep another interpreter (or a later import in
        // this one) out.
        Py_CLEAR(module_);
        interpreter_id_ = -1;
    }
}

namespace {

ModuleGuard* module_guard = nullptr;
bool (*module_initialise)(PyObject*) = nullptr;

PyObject* create_module(PyObject* module_spec, PyModuleDef*) {
    return module_guard->create(module_spec);
}

int exec_module(PyObject* module) {
    const int state = module_guard->begin_exec(module);
    if (state <= 0) return state;
    const bool succeeded = ConstText::materialize_all() && ready_function_type() &&
                           ready_date_text() && module_initialise(module);
    module_guard->end_exec(module, succeeded);
    return succeeded ? 0 : -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {PyModuleDef_HEAD_INIT};

}  // namespace

PyObject* module_init(const char* name, const char* doc, bool (*initialise)(PyObject* module)) {
    static ModuleGuard guard{name};
    module_guard = &guard;
    module_initialise = initialise;
    module_definition.m_name = name;
    module_definition.m_doc = doc;
    module_definition.m_size = 0;
    module_definition.m_slots = module_slots;
    return PyModuleDef_Init(&module_definition);
}

}  // namespace pyext
