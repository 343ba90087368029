// Tintora.name_map: a filter dictionary with its keys translated through the class-level
// table Tintora._col_map.
#include <array>

#include "pyext/api.hpp"
#include "pyext/unpack.hpp"
#include "tintora/tintora.hpp"

namespace tintora {
namespace {

const pyext::Name kItems{"items"};

// Tintora._col_map[f], with Tintora as the module binds it now; a KeyError (or one
// derived from it) means the name has no translation and stays as it is.
PyObject* translate_key(Function& f, PyObject* const* args) {
    PyObject* key = args[0];
    Ref table_owner = f.global(names::tintora_class.get());
    Ref table = table_owner ? pyext::getattr(table_owner.get(), names::col_map.get()) : Ref{};
    Ref translated = table ? pyext::getitem(table.get(), key) : Ref{};
    if (translated) return translated.release();
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
    PyErr_Clear();
    return Py_NewRef(key);
}

// name_map's local helper: made anew for each call and never handed out, it exists as a
// function object so that its errors show up in tracebacks under its own name.
const pyext::FunctionSpec map_spec{
    .name = "_map",
    .qualname = "Tintora.name_map.<locals>._map",
    .parameters = {"f"},
    .var_keywords = false,
    .body = translate_key,
};

// result[_map(key)] = value; a later pair under the same name replaces the value and
// keeps the name's first position.
bool store(PyObject* result, PyObject* map, PyObject* key, PyObject* value) {
    Ref name = pyext::call(map, key);
    return name && PyDict_SetItem(result, name.get(), value) == 0;
}

// An exact dict is walked in place, and must keep its size while the keys are mapped.
bool translate_dict(PyObject* result, PyObject* map, PyObject* filters) {
    const Py_ssize_t size = PyDict_GET_SIZE(filters);
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (true) {
        if (PyDict_GET_SIZE(filters) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return false;
        }
        if (!PyDict_Next(filters, &position, &key, &value)) return true;
        // Held for the call: mapping a key may run code that drops the entry.
        const Ref held_key = Ref::borrow(key), held_value = Ref::borrow(value);
        if (!store(result, map, held_key.get(), held_value.get())) return false;
    }
}

// filters.items, with the attribute error worded as for a missing method.
Ref items_method(PyObject* filters) {
    Ref method = pyext::getattr(filters, kItems.get());
    if (!method && Py_TYPE(filters)->tp_getattro == PyObject_GenericGetAttr &&
        PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute '%U'",
                     Py_TYPE(filters)->tp_name, kItems.get());
    }
    return method;
}

// Any other mapping: the (key, value) pairs of filters.items().
bool translate_items(PyObject* result, PyObject* map, PyObject* filters) {
    Ref method = items_method(filters);
    Ref items = method ? pyext::call(method.get()) : Ref{};
    Ref iterator = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref{};
    if (!iterator) return false;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        std::array<Ref, 2> pair;
        if (!pyext::unpack(item.get(), pair) || !store(result, map, pair[0].get(), pair[1].get())) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

PyObject* translate_filters(Function& f, PyObject* const* args) {
    PyObject* filters = args[0];
    Ref map = pyext::new_function(map_spec, f.globals, kModuleName.get(), nullptr);
    Ref result = map ? Ref::steal(PyDict_New()) : Ref{};
    if (!result) return nullptr;
    const bool translated = PyDict_CheckExact(filters)
                                ? translate_dict(result.get(), map.get(), filters)
                                : translate_items(result.get(), map.get(), filters);
    return translated ? result.release() : nullptr;
}

}  // namespace

const pyext::FunctionSpec name_map{
    .name = "name_map",
    .qualname = "Tintora.name_map",
    .parameters = {"filters"},
    .var_keywords = false,
    .body = translate_filters,
};

}  // namespace tintora
