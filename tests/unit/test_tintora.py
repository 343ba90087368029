"""The color index module: classes, table reads through a recording pandas, name_map."""

import subprocess
import sys
import textwrap
import traceback

import pandas
import pytest

from reports import tintora

Tintora = tintora.Tintora
TintoraV2 = tintora.TintoraV2


# --- recording stand-ins ---------------------------------------------------------------


class Frame:
    """A data frame stand-in: every method call is logged and yields the next frame."""

    def __init__(self, log, label):
        self.log = log
        self.label = label

    def _step(self, method, args, kwargs, label):
        self.log.append((self.label, method, args, kwargs))
        return Frame(self.log, label)

    def astype(self, *args, **kwargs):
        return self._step("astype", args, kwargs, "text")

    def set_index(self, *args, **kwargs):
        return self._step("set_index", args, kwargs, "indexed")

    def to_dict(self, *args, **kwargs):
        self.log.append((self.label, "to_dict", args, kwargs))
        return {"rows of": self.label}


class Pandas:
    """Stands in for the pandas module: read_sql logs its arguments and returns a Frame."""

    def __init__(self):
        self.log = []

    def read_sql(self, *args, **kwargs):
        self.log.append(("pd", "read_sql", args, kwargs))
        return Frame(self.log, "read")


class Db:
    def __init__(self, engine="engine"):
        self.engine = engine


@pytest.fixture
def pd(monkeypatch):
    fake = Pandas()
    monkeypatch.setattr(tintora, "pd", fake)
    return fake


def read_sql_queries(fake):
    return [args[0] for _, method, args, _ in fake.log if method == "read_sql"]


def traceback_names(exc_info):
    return [frame.name for frame in traceback.extract_tb(exc_info.tb)]


# --- module and class structure --------------------------------------------------------


def test_module_namespace_binds_pandas_and_both_classes():
    public = [name for name in vars(tintora) if not name.startswith("__")]
    assert public == ["pd", "Tintora", "TintoraV2"]
    assert tintora.pd is pandas


def test_classes_are_made_like_class_statements():
    class Reference:
        def __init__(self, db): ...

        _col_map = {}

        @staticmethod
        def name_map(filters): ...

        def get(self, name, key): ...

    class ReferenceV2(Reference):
        def __init__(self, db): ...

    # 3.13's compiler adds entries of its own to every class body.
    compiler_added = {"__firstlineno__", "__static_attributes__"}
    assert list(vars(Tintora)) == [k for k in vars(Reference) if k not in compiler_added]
    assert list(vars(TintoraV2)) == [k for k in vars(ReferenceV2) if k not in compiler_added]
    assert type(Tintora) is type and type(TintoraV2) is type
    assert Tintora.__bases__ == (object,)
    assert TintoraV2.__bases__ == (Tintora,)
    assert Tintora.__doc__ is None and TintoraV2.__doc__ is None
    assert (Tintora.__module__, Tintora.__qualname__) == ("tintora", "Tintora")
    assert (TintoraV2.__module__, TintoraV2.__qualname__) == ("tintora", "TintoraV2")


def test_metaclass_of_the_subclass_follows_the_base():
    # TintoraV2 is made from the bases it is given, so its metaclass is Tintora's.
    assert type(TintoraV2) is type(Tintora)
    assert TintoraV2.__mro__ == (TintoraV2, Tintora, object)


@pytest.mark.parametrize(
    ("function", "name", "qualname"),
    [
        (Tintora.__init__, "__init__", "Tintora.__init__"),
        (Tintora.name_map, "name_map", "Tintora.name_map"),
        (Tintora.get, "get", "Tintora.get"),
        (TintoraV2.__init__, "__init__", "TintoraV2.__init__"),
    ],
)
def test_function_names(function, name, qualname):
    assert function.__name__ == name
    assert function.__qualname__ == qualname
    assert function.__module__ == "tintora"
    assert function.__globals__ is vars(tintora)


def test_name_map_is_a_static_method_and_the_subclass_inherits_the_rest():
    wrapper = vars(Tintora)["name_map"]
    assert type(wrapper) is staticmethod
    assert wrapper.__func__ is Tintora.name_map
    assert TintoraV2.get is Tintora.get
    assert TintoraV2.name_map is Tintora.name_map
    assert TintoraV2._col_map is Tintora._col_map
    assert "_col_map" not in vars(TintoraV2)
    assert Tintora._col_map == {}


# --- construction ----------------------------------------------------------------------


@pytest.mark.parametrize("cls", [Tintora, TintoraV2])
def test_instances_keep_the_database_object_and_the_schema(cls):
    db = Db()
    by_position, by_keyword = cls(db), cls(db=db)
    for instance in (by_position, by_keyword):
        assert vars(instance) == {"db": db, "schema": "ui_tintora"}
        assert instance.db is db


def test_constructor_does_not_touch_the_database_object():
    instance = Tintora(object())  # no engine: only get needs one
    assert instance.schema == "ui_tintora"


@pytest.mark.parametrize("init", [Tintora.__init__, TintoraV2.__init__])
def test_init_returns_none(init):
    class Plain:
        pass

    target = Plain()
    assert init(target, "db") is None
    assert vars(target) == {"db": "db", "schema": "ui_tintora"}


def test_v2_constructor_looks_up_tintora_at_call_time(monkeypatch):
    calls = []

    class Replacement:
        def __init__(*args, **kwargs):
            calls.append((args, kwargs))
            return "ignored"

    monkeypatch.setattr(tintora, "Tintora", Replacement)
    db = Db()
    instance = TintoraV2(db=db)
    assert calls == [((instance, db), {})]
    assert vars(instance) == {}  # nothing set beyond what Tintora.__init__ does
    assert TintoraV2.__init__(instance, db) is None


def test_v2_constructor_without_tintora_raises_name_error(monkeypatch):
    monkeypatch.delattr(tintora, "Tintora")
    with pytest.raises(NameError, match="^name 'Tintora' is not defined$") as caught:
        TintoraV2(Db())
    assert "tintora.TintoraV2.__init__" in traceback_names(caught)


# --- get -------------------------------------------------------------------------------


def test_get_reads_the_whole_table_and_keys_rows_by_the_column(pd):
    db = Db(engine=object())
    result = Tintora(db).get("colors", "hex")
    assert pd.log == [
        ("pd", "read_sql", ("select * from ui_tintora.colors", db.engine), {}),
        ("read", "astype", (str,), {}),
        ("text", "set_index", ("hex",), {}),
        ("indexed", "to_dict", (), {"orient": "index"}),
    ]
    assert pd.log[0][2][1] is db.engine
    assert result == {"rows of": "indexed"}


def test_get_arguments_by_keyword_and_key_passed_as_given(pd):
    key = ("not", "a", "string")
    TintoraV2(Db()).get(key=key, name="palette")
    assert read_sql_queries(pd) == ["select * from ui_tintora.palette"]
    assert pd.log[2][2][0] is key


def test_get_uses_the_current_schema_of_each_instance(pd):
    first, second = Tintora(Db()), TintoraV2(Db())
    first.schema = "archive"
    first.get("colors", "id")
    second.get("colors", "id")
    first.schema = '"Color Archive"'
    first.get("colors", "id")
    assert read_sql_queries(pd) == [
        "select * from archive.colors",
        "select * from ui_tintora.colors",
        'select * from "Color Archive".colors',
    ]


def test_get_renders_names_as_format_does(pd):
    class Named:
        def __init__(self, text):
            self.text = text
            self.specs = []

        def __format__(self, spec):
            self.specs.append(spec)
            return self.text

    schema, table = Named("shades"), Named("hues")
    instance = Tintora(Db())
    instance.schema = schema
    instance.get(table, "id")
    assert read_sql_queries(pd) == ["select * from shades.hues"]
    assert schema.specs == [""] and table.specs == [""]


def test_get_reads_pandas_and_the_engine_at_each_call(monkeypatch):
    instance = Tintora(Db(engine="first"))
    first, second = Pandas(), Pandas()
    monkeypatch.setattr(tintora, "pd", first)
    instance.get("colors", "id")
    monkeypatch.setattr(tintora, "pd", second)
    instance.db = Db(engine="second")
    instance.get("colors", "id")
    assert [args for _, method, args, _ in first.log if method == "read_sql"] == [
        ("select * from ui_tintora.colors", "first")
    ]
    assert [args for _, method, args, _ in second.log if method == "read_sql"] == [
        ("select * from ui_tintora.colors", "second")
    ]


def test_get_without_engine_runs_no_query(pd):
    with pytest.raises(AttributeError, match="engine") as caught:
        Tintora(object()).get("colors", "id")
    assert pd.log == []
    assert "tintora.Tintora.get" in traceback_names(caught)


def test_get_without_pd_raises_name_error(monkeypatch):
    monkeypatch.delattr(tintora, "pd")
    with pytest.raises(NameError, match="^name 'pd' is not defined$"):
        Tintora(Db()).get("colors", "id")


def test_get_lets_errors_of_the_frame_through_unchanged(pd):
    failure = KeyError("no column hex")

    class BrokenFrame(Frame):
        def astype(self, *args, **kwargs):
            raise failure

    pd.read_sql = lambda *args: BrokenFrame(pd.log, "read")
    with pytest.raises(KeyError) as caught:
        Tintora(Db()).get("colors", "hex")
    assert caught.value is failure
    assert traceback_names(caught)[-2:] == ["tintora.Tintora.get", "astype"]


# --- names that are not identifiers never reach the database ----------------------------


@pytest.mark.parametrize(
    "name",
    [
        "colors; DROP TABLE users",
        "colors --",
        "other.colors",
        "",
        '""',
        '"open',
        '"a"b"',
        "1colors",
        "$colors",
        "col ors",
        "colors\x00",
        "lone\ud800",
        "42",
        42,  # rendered "42": not an identifier, so integers are refused too
    ],
)
def test_get_refuses_a_table_name_that_is_not_an_identifier(pd, name):
    with pytest.raises(ValueError, match="^table name is not an SQL identifier: ") as caught:
        Tintora(Db()).get(name, "id")
    assert str(caught.value) == f"table name is not an SQL identifier: {format(name, '')!r}"
    assert pd.log == []


def test_get_refuses_a_schema_that_is_not_an_identifier(pd):
    instance = TintoraV2(Db())
    instance.schema = "ui_tintora; DROP TABLE users"
    with pytest.raises(ValueError) as caught:
        instance.get("colors", "id")
    assert str(caught.value) == (
        "schema name is not an SQL identifier: 'ui_tintora; DROP TABLE users'"
    )
    assert "tintora.Tintora.get" in traceback_names(caught)
    assert pd.log == []


@pytest.mark.parametrize("name", ["colors", "_c$2", "Färg", '"Color ""Index"" 2"', '"a;b"'])
def test_get_accepts_plain_and_quoted_identifiers(pd, name):
    Tintora(Db()).get(name, "id")
    assert read_sql_queries(pd) == [f"select * from ui_tintora.{name}"]


# --- argument errors -------------------------------------------------------------------


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: Tintora(), "__init__() takes exactly 2 positional arguments (1 given)"),
        (lambda: TintoraV2(), "__init__() takes exactly 2 positional arguments (1 given)"),
        (lambda: Tintora(1, 2), "__init__() takes exactly 2 positional arguments (3 given)"),
        (lambda: Tintora(dbs=1), "__init__() got an unexpected keyword argument 'dbs'"),
        (lambda: Tintora(1, db=1), "__init__() got multiple values for keyword argument 'db'"),
        (lambda: Tintora(1).get("t"), "get() takes exactly 3 positional arguments (2 given)"),
        (lambda: Tintora(1).get(), "get() takes exactly 3 positional arguments (1 given)"),
        (
            lambda: Tintora(1).get(key="k"),
            "get() takes exactly 3 positional arguments (1 given)",
        ),
        (
            lambda: Tintora(1).get("t", "k", "x"),
            "get() takes exactly 3 positional arguments (4 given)",
        ),
        (lambda: Tintora.get(), "get() takes exactly 3 positional arguments (0 given)"),
        (lambda: Tintora.name_map(), "name_map() takes exactly 1 positional argument (0 given)"),
        (
            lambda: Tintora(1).name_map({}, {}),
            "name_map() takes exactly 1 positional argument (2 given)",
        ),
        (lambda: TintoraV2.name_map(f={}), "name_map() got an unexpected keyword argument 'f'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


def test_argument_errors_name_the_function_in_the_traceback():
    with pytest.raises(TypeError) as caught:
        Tintora()
    assert traceback_names(caught)[-1] == "tintora.Tintora.__init__"
    with pytest.raises(TypeError) as caught:
        TintoraV2.name_map()
    assert traceback_names(caught)[-1] == "tintora.Tintora.name_map"


# --- name_map --------------------------------------------------------------------------


def test_name_map_with_the_empty_table_copies_the_filters():
    filters = {"corp": ["a"], "mid": 7}
    result = Tintora.name_map(filters)
    assert result == filters and result is not filters
    assert result["corp"] is filters["corp"]
    assert Tintora.name_map({}) == {}
    assert TintoraV2(Db()).name_map(filters=filters) == filters


def test_name_map_translates_keys_in_order_and_keeps_values(monkeypatch):
    monkeypatch.setitem(Tintora._col_map, "corp", "corporation_name")
    value = ["Acme"]
    filters = {"mid": 1, "corp": value, "gateway": "corp"}
    result = TintoraV2.name_map(filters)
    assert list(result.items()) == [("mid", 1), ("corporation_name", value), ("gateway", "corp")]
    assert result["corporation_name"] is value
    assert filters == {"mid": 1, "corp": value, "gateway": "corp"}


@pytest.mark.parametrize(
    ("filters", "expected"),
    [
        ({"corp": 1, "corporation_name": 2}, [("corporation_name", 2)]),
        ({"corporation_name": 2, "corp": 1}, [("corporation_name", 1)]),
        ({"a": 1, "corp": 2, "b": 3, "company": 4}, [("a", 1), ("corporation_name", 4), ("b", 3)]),
    ],
)
def test_name_map_later_pair_wins_and_first_position_stays(monkeypatch, filters, expected):
    monkeypatch.setitem(Tintora._col_map, "corp", "corporation_name")
    monkeypatch.setitem(Tintora._col_map, "company", "corporation_name")
    assert list(Tintora.name_map(filters).items()) == expected


def test_name_map_consults_only_the_module_level_tintora(monkeypatch):
    monkeypatch.setattr(TintoraV2, "_col_map", {"corp": "v2"}, raising=False)
    assert TintoraV2.name_map({"corp": 1}) == {"corp": 1}

    class Replacement:
        _col_map = {"corp": "replaced"}

    monkeypatch.setattr(tintora, "Tintora", Replacement)
    assert TintoraV2.name_map({"corp": 1}) == {"replaced": 1}
    monkeypatch.delattr(tintora, "Tintora")
    with pytest.raises(NameError, match="^name 'Tintora' is not defined$"):
        TintoraV2.name_map({"corp": 1})
    assert TintoraV2.name_map({}) == {}  # no key, no lookup


def test_name_map_reads_the_table_afresh_for_every_key(monkeypatch):
    class SwitchingTable:
        def __getitem__(self, key):
            Tintora._col_map = {"b": "second"}
            return "first"

    monkeypatch.setattr(Tintora, "_col_map", SwitchingTable())
    assert Tintora.name_map({"a": 1, "b": 2}) == {"first": 1, "second": 2}


class LookupTable:
    """A table whose lookups raise the exception stored under the key."""

    def __init__(self, errors):
        self.errors = errors

    def __getitem__(self, key):
        raise self.errors[key]


class MissingColumn(KeyError):
    pass


def test_name_map_treats_key_error_and_its_subclasses_as_no_translation(monkeypatch):
    table = LookupTable({"a": KeyError("a"), "b": MissingColumn("b")})
    monkeypatch.setattr(Tintora, "_col_map", table)
    assert Tintora.name_map({"a": 1, "b": 2}) == {"a": 1, "b": 2}


@pytest.mark.parametrize("error", [LookupError("x"), IndexError("x"), ValueError("x")])
def test_name_map_lets_other_lookup_errors_through(monkeypatch, error):
    monkeypatch.setattr(Tintora, "_col_map", LookupTable({"a": error}))
    with pytest.raises(type(error)) as caught:
        Tintora.name_map({"a": 1})
    assert caught.value is error
    assert traceback_names(caught)[-3:] == [
        "tintora.Tintora.name_map",
        "tintora.Tintora.name_map.<locals>._map",
        "__getitem__",
    ]


def test_name_map_unhashable_key_raises_type_error():
    class Pairs:
        def items(self):
            return [(["unhashable"], 1)]

    with pytest.raises(TypeError, match="unhashable type: 'list'"):
        Tintora.name_map(Pairs())


@pytest.mark.parametrize(
    "change",
    [
        lambda filters: filters.__setitem__("new", 0),
        lambda filters: filters.pop("b"),
    ],
)
def test_name_map_stops_when_the_dict_changes_size(monkeypatch, change):
    filters = {"a": 1, "b": 2}

    class MutatingTable:
        def __getitem__(self, key):
            if key == "a":
                change(filters)
            raise KeyError(key)

    monkeypatch.setattr(Tintora, "_col_map", MutatingTable())
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        Tintora.name_map(filters)


def test_name_map_change_on_the_last_key_is_still_detected(monkeypatch):
    filters = {"a": 1}

    class GrowingTable:
        def __getitem__(self, key):
            filters["later"] = 2
            raise KeyError(key)

    monkeypatch.setattr(Tintora, "_col_map", GrowingTable())
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        Tintora.name_map(filters)


def test_name_map_allows_a_value_change_of_the_same_size(monkeypatch):
    filters = {"a": 1, "b": 2}

    class ReplacingTable:
        def __getitem__(self, key):
            filters["b"] = 20
            raise KeyError(key)

    monkeypatch.setattr(Tintora, "_col_map", ReplacingTable())
    assert Tintora.name_map(filters) == {"a": 1, "b": 20}


def test_name_map_calls_items_on_anything_but_an_exact_dict():
    class Filters(dict):
        def items(self):
            return iter([("x", 1), ["y", 2], "zv", iter(("w", 4))])

    assert list(Tintora.name_map(Filters(ignored=0)).items()) == [
        ("x", 1),
        ("y", 2),
        ("z", "v"),
        ("w", 4),
    ]


class Items:
    def __init__(self, *items):
        self._items = items

    def items(self):
        return self._items


@pytest.mark.parametrize(
    ("item", "error", "message"),
    [
        (("a", 1, 2), ValueError, "too many values to unpack (expected 2)"),
        (["a", 1, 2], ValueError, "too many values to unpack (expected 2)"),
        ("abc", ValueError, "too many values to unpack (expected 2)"),
        (iter("abcd"), ValueError, "too many values to unpack (expected 2)"),
        (("a",), ValueError, "need more than 1 value to unpack"),
        ("a", ValueError, "need more than 1 value to unpack"),
        ((), ValueError, "need more than 0 values to unpack"),
        (iter(()), ValueError, "need more than 0 values to unpack"),
        (None, TypeError, "'NoneType' object is not iterable"),
        (5, TypeError, "'int' object is not iterable"),
    ],
)
def test_name_map_unpacking_errors(item, error, message):
    with pytest.raises(error) as caught:
        Tintora.name_map(Items(("ok", 0), item))
    assert str(caught.value) == message


def test_name_map_propagates_errors_of_the_items_iteration():
    failure = OSError("lost")

    def pairs():
        yield ("a", 1)
        raise failure

    class Filters:
        def items(self):
            return pairs()

    with pytest.raises(OSError) as caught:
        Tintora.name_map(Filters())
    assert caught.value is failure


@pytest.mark.parametrize(
    ("filters", "message"),
    [
        (None, "'NoneType' object has no attribute 'items'"),
        (5, "'int' object has no attribute 'items'"),
        (type("F" * 120, (), {})(), f"'{'F' * 120}' object has no attribute 'items'"),
    ],
)
def test_name_map_without_items(filters, message):
    with pytest.raises(AttributeError) as caught:
        Tintora.name_map(filters)
    assert str(caught.value) == message


# --- loading ---------------------------------------------------------------------------


def run_python(code):
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, check=False
    )
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


def test_second_import_yields_the_same_module_and_classes():
    assert (
        run_python(
            """
            import importlib, sys
            from reports import tintora
            classes = tintora.Tintora, tintora.TintoraV2
            del sys.modules["reports.tintora"]
            again = importlib.import_module("reports.tintora")
            print(again is tintora, (again.Tintora, again.TintoraV2) == classes)
            """
        )
        == "True True"
    )


def test_loading_into_a_second_interpreter_is_refused():
    output = run_python(
        """
        import sys
        from reports import tintora
        try:
            import _interpreters as interpreters
            interp = interpreters.create("legacy")
        except ImportError:
            import _xxsubinterpreters as interpreters
            if sys.version_info >= (3, 12):
                interp = interpreters.create(isolated=False)
            else:
                interp = interpreters.create()
        try:
            failure = interpreters.run_string(interp, "import reports.tintora")
        except interpreters.RunFailedError as error:
            print(error)
        else:
            print(failure.formatted)
        """
    )
    assert "ImportError" in output
    assert output.endswith(
        ": Interpreter change detected - this module can only be loaded into one "
        "interpreter per process."
    )
