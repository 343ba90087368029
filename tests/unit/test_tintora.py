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


class Recorder:
    """Stands in for pandas and its frames: every method call is logged under the label
    of the object it was made on, and returns a recorder labelled by that call."""

    def __init__(self, log, label):
        self.log, self.label = log, label

    def __getattr__(self, method):
        def call(*args, **kwargs):
            self.log.append((self.label, method, args, kwargs))
            return Recorder(self.log, f"{self.label}.{method}")

        return call


class Db:
    def __init__(self, engine="engine"):
        self.engine = engine


@pytest.fixture
def pd(monkeypatch):
    fake = Recorder([], "pd")
    monkeypatch.setattr(tintora, "pd", fake)
    return fake


def queries(fake):
    return [args for _, method, args, _ in fake.log if method == "read_sql"]


def traceback_names(caught):
    return [frame.name for frame in traceback.extract_tb(caught.tb)]


# --- module and classes ----------------------------------------------------------------


def test_classes_are_made_like_class_statements():
    class Tintora:
        def __init__(self, db): ...

        _col_map = {}

        @staticmethod
        def name_map(filters): ...

        def get(self, name, key): ...

    class TintoraV2(Tintora):
        def __init__(self, db): ...

    # 3.13's compiler adds entries of its own to every class body.
    added = {"__firstlineno__", "__static_attributes__"}
    for made, reference in [(tintora.Tintora, Tintora), (tintora.TintoraV2, TintoraV2)]:
        assert list(vars(made)) == [name for name in vars(reference) if name not in added]
        assert type(made) is type and made.__doc__ is None
        assert (made.__module__, made.__qualname__) == ("tintora", reference.__name__)
    assert tintora.Tintora.__bases__ == (object,)
    assert tintora.TintoraV2.__bases__ == (tintora.Tintora,)
    assert [name for name in vars(tintora) if not name.startswith("__")] == [
        "pd",
        "Tintora",
        "TintoraV2",
    ]
    assert tintora.pd is pandas


@pytest.mark.parametrize(
    ("function", "qualname"),
    [
        (Tintora.__init__, "Tintora.__init__"),
        (Tintora.name_map, "Tintora.name_map"),
        (Tintora.get, "Tintora.get"),
        (TintoraV2.__init__, "TintoraV2.__init__"),
    ],
)
def test_function_names(function, qualname):
    assert (function.__qualname__, function.__module__) == (qualname, "tintora")
    assert function.__name__ == qualname.rpartition(".")[2]


def test_subclass_inherits_name_map_get_and_the_table():
    wrapper = vars(Tintora)["name_map"]
    assert type(wrapper) is staticmethod and wrapper.__func__ is Tintora.name_map
    assert (TintoraV2.get, TintoraV2.name_map) == (Tintora.get, Tintora.name_map)
    assert TintoraV2._col_map is Tintora._col_map == {}


# --- construction ----------------------------------------------------------------------


@pytest.mark.parametrize("cls", [Tintora, TintoraV2])
def test_instances_keep_the_database_object_and_the_schema(cls):
    db = object()  # not touched: only get reads its engine
    for instance in (cls(db), cls(db=db)):
        assert vars(instance) == {"db": db, "schema": "ui_tintora"}
        assert instance.db is db
    assert cls.__init__(instance, db) is None


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
    assert vars(instance) == {}
    assert TintoraV2.__init__(instance, db) is None

    monkeypatch.delattr(tintora, "Tintora")
    with pytest.raises(NameError, match="^name 'Tintora' is not defined$") as caught:
        TintoraV2(db)
    assert traceback_names(caught)[-1] == "tintora.TintoraV2.__init__"


# --- get -------------------------------------------------------------------------------


def test_get_reads_the_whole_table_and_keys_rows_by_the_column(pd):
    db = Db(engine=object())
    result = Tintora(db).get("colors", "hex")
    assert pd.log == [
        ("pd", "read_sql", ("select * from ui_tintora.colors", db.engine), {}),
        ("pd.read_sql", "astype", (str,), {}),
        ("pd.read_sql.astype", "set_index", ("hex",), {}),
        ("pd.read_sql.astype.set_index", "to_dict", (), {"orient": "index"}),
    ]
    assert pd.log[0][2][1] is db.engine
    assert result.label == "pd.read_sql.astype.set_index.to_dict"


def test_get_by_keyword_passes_the_key_as_given(pd):
    key = ("any", "object")
    TintoraV2(Db()).get(key=key, name="palette")
    assert queries(pd) == [("select * from ui_tintora.palette", "engine")]
    assert pd.log[2][2][0] is key


def test_get_uses_each_instances_current_schema_and_engine(pd):
    first, second = Tintora(Db("one")), TintoraV2(Db("two"))
    first.schema = "archive"
    first.get("colors", "id")
    second.get("colors", "id")
    first.schema, first.db = '"Color Archive"', Db("three")
    first.get("colors", "id")
    assert queries(pd) == [
        ("select * from archive.colors", "one"),
        ("select * from ui_tintora.colors", "two"),
        ('select * from "Color Archive".colors', "three"),
    ]


def test_get_renders_names_as_format_does(pd):
    class Named:
        def __init__(self, text):
            self.text, self.specs = text, []

        def __format__(self, format_spec):
            self.specs.append(format_spec)
            return self.text

    instance, table = Tintora(Db()), Named("hues")
    instance.schema = Named("shades")
    instance.get(table, "id")
    assert queries(pd) == [("select * from shades.hues", "engine")]
    assert instance.schema.specs == table.specs == [""]


def test_get_looks_up_pd_at_each_call(monkeypatch):
    instance = Tintora(Db())
    for label in ["first", "second"]:
        fake = Recorder([], label)
        monkeypatch.setattr(tintora, "pd", fake)
        instance.get("colors", "id")
        assert queries(fake) == [("select * from ui_tintora.colors", "engine")]
    monkeypatch.delattr(tintora, "pd")
    with pytest.raises(NameError, match="^name 'pd' is not defined$"):
        instance.get("colors", "id")


def test_get_errors_reach_the_caller_unchanged(pd):
    with pytest.raises(AttributeError, match="engine") as caught:
        Tintora(object()).get("colors", "id")
    assert pd.log == []
    assert traceback_names(caught)[-1] == "tintora.Tintora.get"

    failure = KeyError("no column hex")

    class Frame:
        def astype(self, kind):
            raise failure

    pd.read_sql = lambda *args: Frame()
    with pytest.raises(KeyError) as caught:
        Tintora(Db()).get("colors", "hex")
    assert caught.value is failure
    assert traceback_names(caught)[-2:] == ["tintora.Tintora.get", "astype"]


# Schema and table go into the query bare, so only identifiers are let through.
@pytest.mark.parametrize(
    "name",
    [
        "colors; DROP TABLE users",
        "other.colors",
        "col ors",
        "",
        '""',
        '"open',
        '"a"b"',
        "1colors",
        "lone\ud800",
        "42",
        42,  # rendered "42", which starts with a digit: integers are refused too
    ],
)
def test_get_refuses_a_table_name_that_is_not_an_identifier(pd, name):
    with pytest.raises(ValueError) as caught:
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
    assert traceback_names(caught)[-1] == "tintora.Tintora.get"
    assert pd.log == []


@pytest.mark.parametrize("name", ["colors", "_c$2", "Färg", '"Color ""Index"" 2"', '"a;b"'])
def test_get_accepts_plain_and_quoted_identifiers(pd, name):
    Tintora(Db()).get(name, "id")
    assert queries(pd) == [(f"select * from ui_tintora.{name}", "engine")]


# --- argument errors -------------------------------------------------------------------


def exactly(name, count, given):
    plural = "" if count == 1 else "s"
    return f"{name}() takes exactly {count} positional argument{plural} ({given} given)"


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: Tintora(), exactly("__init__", 2, 1)),
        (lambda: TintoraV2(), exactly("__init__", 2, 1)),
        (lambda: Tintora(1, 2), exactly("__init__", 2, 3)),
        (lambda: Tintora(dbs=1), "__init__() got an unexpected keyword argument 'dbs'"),
        (lambda: Tintora(1, db=1), "__init__() got multiple values for keyword argument 'db'"),
        (lambda: Tintora(1).get("t"), exactly("get", 3, 2)),
        (lambda: Tintora(1).get(key="k"), exactly("get", 3, 1)),
        (lambda: Tintora(1).get("t", "k", "x"), exactly("get", 3, 4)),
        (lambda: Tintora.get(), exactly("get", 3, 0)),
        (lambda: Tintora.name_map(), exactly("name_map", 1, 0)),
        (lambda: Tintora(1).name_map({}, {}), exactly("name_map", 1, 2)),
        (lambda: TintoraV2.name_map(f={}), "name_map() got an unexpected keyword argument 'f'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message
    assert traceback_names(caught)[-1].startswith("tintora.")


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


def test_name_map_consults_only_the_module_level_tintora_at_each_key(monkeypatch):
    monkeypatch.setattr(TintoraV2, "_col_map", {"corp": "v2"}, raising=False)
    assert TintoraV2.name_map({"corp": 1}) == {"corp": 1}

    class Switching:
        def __getitem__(self, key):
            monkeypatch.setattr(tintora, "Tintora", type("Other", (), {"_col_map": {"b": "2nd"}}))
            return "1st"

    monkeypatch.setattr(Tintora, "_col_map", Switching())
    assert TintoraV2.name_map({"a": 1, "b": 2}) == {"1st": 1, "2nd": 2}

    monkeypatch.delattr(tintora, "Tintora")
    assert TintoraV2.name_map({}) == {}  # no key, no lookup
    with pytest.raises(NameError, match="^name 'Tintora' is not defined$"):
        TintoraV2.name_map({"corp": 1})


class Raising:
    """A table whose lookup of any key raises `error`."""

    def __init__(self, error):
        self.error = error

    def __getitem__(self, key):
        raise self.error


class MissingColumn(KeyError):
    pass


@pytest.mark.parametrize("error", [KeyError("a"), MissingColumn("a")])
def test_name_map_key_error_means_no_translation(monkeypatch, error):
    monkeypatch.setattr(Tintora, "_col_map", Raising(error))
    assert Tintora.name_map({"a": 1, "b": 2}) == {"a": 1, "b": 2}


@pytest.mark.parametrize("error", [LookupError("x"), IndexError("x"), ValueError("x")])
def test_name_map_lets_other_errors_of_the_table_through(monkeypatch, error):
    monkeypatch.setattr(Tintora, "_col_map", Raising(error))
    with pytest.raises(type(error)) as caught:
        Tintora.name_map({"a": 1})
    assert caught.value is error
    assert traceback_names(caught)[-3:] == [
        "tintora.Tintora.name_map",
        "tintora.Tintora.name_map.<locals>._map",
        "__getitem__",
    ]


@pytest.mark.parametrize(
    ("change", "error"),
    [
        (lambda filters, key: filters.__setitem__("new", 0), RuntimeError),
        (lambda filters, key: key == "a" and filters.pop("b"), RuntimeError),
        (lambda filters, key: key == "b" and filters.pop("a"), RuntimeError),  # after the last
        (lambda filters, key: filters.__setitem__("b", 20), None),  # same size: walk goes on
    ],
)
def test_name_map_walk_of_a_dict_that_changes(monkeypatch, change, error):
    filters = {"a": 1, "b": 2}

    class Mutating:
        def __getitem__(self, key):
            change(filters, key)
            raise KeyError(key)

    monkeypatch.setattr(Tintora, "_col_map", Mutating())
    if error is None:
        assert Tintora.name_map(filters) == {"a": 1, "b": 20}
    else:
        with pytest.raises(error, match="^dictionary changed size during iteration$"):
            Tintora.name_map(filters)


class Items:
    def __init__(self, *items):
        self._items = items

    def items(self):
        return iter(self._items)


def test_name_map_takes_pairs_from_items_unless_exactly_a_dict():
    class Filters(dict):
        def items(self):
            return iter([("x", 1), ["y", 2], "zv", iter(("w", 4))])

    expected = [("x", 1), ("y", 2), ("z", "v"), ("w", 4)]
    assert list(Tintora.name_map(Filters(ignored=0)).items()) == expected
    with pytest.raises(TypeError, match="unhashable type: 'list'"):
        Tintora.name_map(Items((["a"], 1)))


@pytest.mark.parametrize(
    ("item", "error", "message"),
    [
        (("a", 1, 2), ValueError, "too many values to unpack (expected 2)"),
        (["a", 1, 2], ValueError, "too many values to unpack (expected 2)"),
        (iter("abc"), ValueError, "too many values to unpack (expected 2)"),
        (("a",), ValueError, "need more than 1 value to unpack"),
        ("a", ValueError, "need more than 1 value to unpack"),
        ([], ValueError, "need more than 0 values to unpack"),
        (iter(()), ValueError, "need more than 0 values to unpack"),
        (None, TypeError, "'NoneType' object is not iterable"),
    ],
)
def test_name_map_unpacking_errors(item, error, message):
    with pytest.raises(error) as caught:
        Tintora.name_map(Items(("ok", 0), item))
    assert str(caught.value) == message


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


# --- loading, each in a fresh interpreter ----------------------------------------------


def run_python(code):
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, check=False
    )
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


def test_second_import_yields_the_same_module_and_classes():
    output = run_python(
        """
        import importlib, sys
        from reports import tintora
        classes = tintora.Tintora, tintora.TintoraV2
        del sys.modules["reports.tintora"]
        again = importlib.import_module("reports.tintora")
        print(again is tintora, (again.Tintora, again.TintoraV2) == classes)
        """
    )
    assert output == "True True"


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
