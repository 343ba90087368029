// The color index module: loading, and the classes Tintora and TintoraV2.
#include "pyext/api.hpp"
#include "pyext/class_body.hpp"
#include "pyext/module_guard.hpp"
#include "tintora/tintora.hpp"

namespace tintora {
namespace {

pyext::ModuleGuard guard{"tintora"};

const pyext::Name kPandas{"pandas"}, kPd{"pd"}, kTintoraV2{"TintoraV2"};

bool bind(PyObject* globals, const pyext::Name& name, const Ref& value) {
    return value && PyDict_SetItem(globals, name.get(), value.get()) == 0;
}

Ref function(const pyext::FunctionSpec& spec, PyObject* globals) {
    return pyext::new_function(spec, globals, kModuleName.get(), nullptr);
}

// class Tintora: __init__, _col_map = {}, name_map (static), get
Ref tintora_class(PyObject* globals) {
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) return {};
    PyObject* name = names::tintora_class.get();
    pyext::ClassBody body(name, bases.get(), kModuleName.get(), name);
    const auto static_name_map = [&] {
        Ref f = function(name_map, globals);
        return f ? pyext::static_method(f.get()) : Ref{};
    };
    const bool filled = body.prepare() &&
                        body.define("__init__", function(tintora_init, globals)) &&
                        body.define("_col_map", Ref::steal(PyDict_New())) &&
                        body.define("name_map", static_name_map()) &&
                        body.define("get", function(tintora_get, globals));
    return filled ? body.create() : Ref{};
}

// class TintoraV2(Tintora): __init__
Ref tintora_v2_class(PyObject* globals) {
    Ref base = pyext::lookup_global(globals, names::tintora_class.get());
    Ref bases = base ? Ref::steal(PyTuple_Pack(1, base.get())) : Ref{};
    if (!bases) return {};
    PyObject* name = kTintoraV2.get();
    pyext::ClassBody body(name, bases.get(), kModuleName.get(), name);
    const bool filled =
        body.prepare() && body.define("__init__", function(tintora_v2_init, globals));
    return filled ? body.create() : Ref{};
}

bool initialise(PyObject* module) {
    if (!ConstText::materialize_all() || !pyext::ready_function_type()) return false;
    PyObject* globals = PyModule_GetDict(module);
    return bind(globals, kPd,
                Ref::steal(PyImport_ImportModuleLevelObject(kPandas.get(), globals, nullptr,
                                                            nullptr, 0))) &&
           bind(globals, names::tintora_class, tintora_class(globals)) &&
           bind(globals, kTintoraV2, tintora_v2_class(globals));
}

PyObject* create(PyObject* spec, PyModuleDef*) {
    return guard.create(spec);
}

int exec(PyObject* module) {
    const int state = guard.begin_exec(module);
    if (state <= 0) return state;
    const bool succeeded = initialise(module);
    guard.end_exec(module, succeeded);
    return succeeded ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tintora",
    "Color index tables of the schema ui_tintora, read through pandas.read_sql.",
    0,
    nullptr,
    slots,
};

}  // namespace
}  // namespace tintora

PyMODINIT_FUNC PyInit_tintora() {
    return PyModuleDef_Init(&tintora::module_def);
}
