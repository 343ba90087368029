// Constructing the color index readers and reading one table of their schema into a
// dictionary of rows.
#include <string_view>

#include "pyext/api.hpp"
#include "pyext/sql_identifier.hpp"
#include "tintora/tintora.hpp"

namespace tintora {

const ConstText kModuleName{"tintora"};

namespace names {
const pyext::Name tintora_class{"Tintora"}, col_map{"_col_map"};
}  // namespace names

namespace {

const pyext::Name kDb{"db"}, kSchema{"schema"}, kInit{"__init__"};
const pyext::Name kPd{"pd"}, kReadSql{"read_sql"}, kEngine{"engine"};
const pyext::Name kAstype{"astype"}, kSetIndex{"set_index"}, kToDict{"to_dict"}, kOrient{"orient"};
const ConstText kDefaultSchema{"ui_tintora"};
const ConstText kSelectFrom{"select * from "}, kDot{"."}, kIndex{"index"};

// self.db = db; self.schema = "ui_tintora"
PyObject* init(Function&, PyObject* const* args) {
    PyObject* self = args[0];
    if (PyObject_SetAttr(self, kDb.get(), args[1]) < 0 ||
        PyObject_SetAttr(self, kSchema.get(), kDefaultSchema.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Tintora.__init__(self, db), with Tintora as the module binds it now.
PyObject* init_v2(Function& f, PyObject* const* args) {
    Ref base = f.global(names::tintora_class.get());
    if (!base) return nullptr;
    Ref base_init = pyext::getattr(base.get(), kInit.get());
    if (!base_init) return nullptr;
    Ref result = pyext::call(base_init.get(), args[0], args[1]);
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

// The text form of a schema or table name, which goes into the query bare: it must be
// one identifier, so that it cannot end the name and go on as SQL of its own.
Ref identifier_text(PyObject* value, const char* what) {
    Ref text = pyext::format(value);
    if (!text) return {};
    Py_ssize_t size = 0;
    const char* utf8 = pyext::sql::utf8(text.get(), size);
    if (utf8 == nullptr) {
        // Text that cannot be encoded (lone surrogates) is no identifier either.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return {};
        PyErr_Clear();
    } else if (pyext::sql::is_identifier(std::string_view(utf8, static_cast<size_t>(size)))) {
        return text;
    }
    PyErr_Format(PyExc_ValueError, "%s name is not an SQL identifier: %R", what, text.get());
    return {};
}

// pd.read_sql("select * from <schema>.<name>", self.db.engine)
//     .astype(str).set_index(key).to_dict(orient="index")
PyObject* get(Function& f, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* name = args[1];
    PyObject* key = args[2];

    Ref pd = f.global(kPd.get());
    if (!pd) return nullptr;
    Ref read_sql = pyext::getattr(pd.get(), kReadSql.get());
    if (!read_sql) return nullptr;

    Ref schema = pyext::getattr(self, kSchema.get());
    if (!schema) return nullptr;
    pyext::TextParts qry(4);
    const bool built = qry.text(kSelectFrom) && qry.add(identifier_text(schema.get(), "schema")) &&
                       qry.text(kDot) && qry.add(identifier_text(name, "table"));
    Ref text = built ? qry.build() : Ref{};
    if (!text) return nullptr;

    Ref db = pyext::getattr(self, kDb.get());
    if (!db) return nullptr;
    Ref engine = pyext::getattr(db.get(), kEngine.get());
    if (!engine) return nullptr;
    Ref frame = pyext::call(read_sql.get(), text.get(), engine.get());
    if (!frame) return nullptr;

    PyObject* astype_args[] = {frame.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type)};
    Ref converted = Ref::steal(PyObject_VectorcallMethod(kAstype.get(), astype_args, 2, nullptr));
    if (!converted) return nullptr;
    PyObject* set_index_args[] = {converted.get(), key};
    Ref indexed =
        Ref::steal(PyObject_VectorcallMethod(kSetIndex.get(), set_index_args, 2, nullptr));
    if (!indexed) return nullptr;
    Ref kwnames = Ref::steal(PyTuple_Pack(1, kOrient.get()));
    if (!kwnames) return nullptr;
    PyObject* to_dict_args[] = {indexed.get(), kIndex.get()};
    return PyObject_VectorcallMethod(kToDict.get(), to_dict_args, 1, kwnames.get());
}

}  // namespace

const pyext::FunctionSpec tintora_init{
    .name = "__init__",
    .qualname = "Tintora.__init__",
    .parameters = {"self", "db"},
    .var_keywords = false,
    .body = init,
};

const pyext::FunctionSpec tintora_get{
    .name = "get",
    .qualname = "Tintora.get",
    .parameters = {"self", "name", "key"},
    .var_keywords = false,
    .body = get,
};

const pyext::FunctionSpec tintora_v2_init{
    .name = "__init__",
    .qualname = "TintoraV2.__init__",
    .parameters = {"self", "db"},
    .var_keywords = false,
    .body = init_v2,
};

}  // namespace tintora
