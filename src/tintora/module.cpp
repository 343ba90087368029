// The color index module: loading, and the classes Tintora and TintoraV2.
#include "pyext/api.hpp"
#include "pyext/class_body.hpp"
#include "pyext/module_guard.hpp"
#include "tintora/tintora.hpp"

namespace tintora {
namespace {

const pyext::Name kPandas{"pandas"}, kPd{"pd"}, kTintoraV2{"TintoraV2"};

Ref function(const pyext::FunctionSpec& definition, PyObject* globals) {
    return pyext::new_function(definition, globals, kModuleName.get(), nullptr);
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
    PyObject* globals = PyModule_GetDict(module);
    return pyext::bind(globals, kPd.get(), pyext::import_module(kPandas.get(), globals)) &&
           pyext::bind(globals, names::tintora_class.get(), tintora_class(globals)) &&
           pyext::bind(globals, kTintoraV2.get(), tintora_v2_class(globals));
}

}  // namespace
}  // namespace tintora

PyMODINIT_FUNC PyInit_tintora() {
    return pyext::module_init(
        "tintora", "Color index tables of the schema ui_tintora, read through pandas.read_sql.",
        tintora::initialise);
}
