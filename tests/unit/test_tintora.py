"""The color index module: classes, table reads through a recording pandas, name_map."""

import subprocess
import sys
import textwrap
import traceback
from types import SimpleNamespace

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


class Raising:
    """A table, or a frame, whose item lookups and astype raise `error`."""

    def __init__(self, error):
        self.error = error

    def __getitem__(self, key):
        raise self.error

    def astype(self, kind):
        raise self.error


class Items(dict):
    """A dict subclass, so not walked as a dict: its pairs come from items()."""

    def __init__(self, *pairs):
        self.pairs = pairs

    def items(self):
        return iter(self.pairs)


def db(engine="engine"):
    return SimpleNamespace(engine=engine)


def shown(text):
    """An object whose text form comes from __format__ alone."""
    return type("Shown", (), {"__format__": lambda self, format_spec: text + format_spec})()


@pytest.fixture
def pd(monkeypatch):
    fake = Recorder([], "pd")
    monkeypatch.setattr(tintora, "pd", fake)
    return fake


def traceback_names(caught):
    return [frame.name for frame in traceback.extract_tb(caught.tb)]


def test_classes_are_made_like_class_statements():
    class Tintora:
        def __init__(self, db): ...

        _col_map = {}

        @staticmethod
        def name_map(filters): ...

        def get(self, name, key): ...

    class TintoraV2(Tintora):
        def __init__(self, db): ...

    made = tintora.Tintora, tintora.TintoraV2
    added = {"__firstlineno__", "__static_attributes__"}  # 3.13 adds these to class bodies
    for cls, reference in zip(made, [Tintora, TintoraV2], strict=True):
        assert list(vars(cls)) == [name for name in vars(reference) if name not in added]
        assert (type(cls), cls.__doc__, cls.__module__) == (type, None, "tintora")
        assert cls.__qualname__ == cls.__name__ == reference.__name__
    assert (made[0].__bases__, made[1].__bases__) == ((object,), (made[0],))
    names = [name for name in vars(tintora) if not name.startswith("__")]
    assert names == ["pd", "Tintora", "TintoraV2"] and tintora.pd is pandas
    wrapper = vars(made[0])["name_map"]
    assert type(wrapper) is staticmethod and wrapper.__func__ is made[0].name_map
    assert (made[1].get, made[1].name_map, made[1]._col_map) == (made[0].get, made[0].name_map, {})
    assert made[1]._col_map is made[0]._col_map
    functions = [made[0].__init__, made[0].name_map, made[0].get, made[1].__init__]
    assert [(f.__module__, f.__qualname__, f.__name__) for f in functions] == [
        ("tintora", "Tintora.__init__", "__init__"),
        ("tintora", "Tintora.name_map", "name_map"),
        ("tintora", "Tintora.get", "get"),
        ("tintora", "TintoraV2.__init__", "__init__"),
    ]


def test_v2_constructor_looks_up_tintora_at_call_time(monkeypatch):
    calls = []

    def init(*args, **kwargs):
        calls.append((args, kwargs))
        return "ignored"  # TintoraV2.__init__ still returns None

    monkeypatch.setattr(tintora, "Tintora", type("Replacement", (), {"__init__": init}))
    database = db()
    instance = TintoraV2(db=database)
    assert calls == [((instance, database), {})] and vars(instance) == {}
    assert TintoraV2.__init__(instance, database) is None

    monkeypatch.delattr(tintora, "Tintora")
    with pytest.raises(NameError, match="^name 'Tintora' is not defined$") as caught:
        TintoraV2(database)
    assert traceback_names(caught)[-1] == "tintora.TintoraV2.__init__"


@pytest.mark.parametrize("cls", [Tintora, TintoraV2])
@pytest.mark.parametrize("by_keyword", [False, True])
def test_instances_and_get_reading_the_table_keyed_by_the_column(pd, cls, by_keyword):
    database, key = db(engine=object()), ("any", "object")
    reader = cls(db=database) if by_keyword else cls(database)
    assert vars(reader) == {"db": database, "schema": "ui_tintora"} and reader.db is database
    assert cls.__init__(reader, database) is None
    result = reader.get(key=key, name="colors") if by_keyword else reader.get("colors", key)
    assert pd.log == [
        ("pd", "read_sql", ("select * from ui_tintora.colors", database.engine), {}),
        ("pd.read_sql", "astype", (str,), {}),
        ("pd.read_sql.astype", "set_index", (key,), {}),
        ("pd.read_sql.astype.set_index", "to_dict", (), {"orient": "index"}),
    ]
    assert pd.log[0][2][1] is database.engine and pd.log[2][2][0] is key
    assert result.label == "pd.read_sql.astype.set_index.to_dict"


def test_get_uses_each_instances_current_schema_engine_and_identifiers(pd):
    first, second = Tintora(db("one")), TintoraV2(db("two"))
    first.schema = "archive"
    first.get("_c$2", "id")
    second.get("Färg", "id")
    first.schema, first.db = '"Color Archive"', db("three")
    first.get('"a;b"', "id")
    second.schema = shown("shades")
    second.get(shown('"Color ""Index"" 2"'), "id")
    assert [args for _, method, args, _ in pd.log if method == "read_sql"] == [
        ("select * from archive._c$2", "one"),
        ("select * from ui_tintora.Färg", "two"),
        ('select * from "Color Archive"."a;b"', "three"),
        ('select * from shades."Color ""Index"" 2"', "two"),
    ]


def test_get_lets_errors_through(pd):
    pd.read_sql = lambda *args: Raising(KeyError("no column hex"))
    with pytest.raises(KeyError, match="no column hex") as caught:
        Tintora(db()).get("colors", "hex")
    assert traceback_names(caught)[-2:] == ["tintora.Tintora.get", "astype"]
    with pytest.raises(AttributeError, match="engine") as caught:
        Tintora(object()).get("colors", "id")
    assert traceback_names(caught)[-1] == "tintora.Tintora.get"


# Schema and table go into the query bare, so only identifiers are let through.
BAD = ["c; DROP TABLE users", "other.colors", "", '""', '"open', '"a"b"', "1colors", "\ud800", 42]


@pytest.mark.parametrize(
    ("schema", "name"), [(bad, "colors") for bad in BAD] + [("ui_tintora", bad) for bad in BAD]
)
def test_get_refuses_names_that_are_not_identifiers(pd, schema, name):
    instance = TintoraV2(db())
    instance.schema = schema
    with pytest.raises(ValueError) as caught:
        instance.get(name, "id")
    what, bad = ("table", name) if name != "colors" else ("schema", schema)
    # 42 is refused as format renders it: "42" starts with a digit.
    assert str(caught.value) == f"{what} name is not an SQL identifier: {format(bad, '')!r}"
    assert traceback_names(caught)[-1] == "tintora.Tintora.get" and pd.log == []


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


V = ["Acme"]


@pytest.mark.parametrize(
    ("filters", "expected"),
    [
        ({}, []),
        ({"mid": 1, "corp": V, "x": "corp"}, [("mid", 1), ("corp_name", V), ("x", "corp")]),
        ({"corp": 1, "corp_name": 2}, [("corp_name", 2)]),
        ({"corp_name": 2, "corp": 1}, [("corp_name", 1)]),
        ({"a": 1, "corp": 2, "b": 3, "co": 4}, [("a", 1), ("corp_name", 4), ("b", 3)]),
        (Items(("corp", V), ["y", 2], iter("zv")), [("corp_name", V), ("y", 2), ("z", "v")]),
    ],
)
def test_name_map_translates_keys_in_order_and_later_pair_wins(monkeypatch, filters, expected):
    monkeypatch.setitem(Tintora._col_map, "corp", "corp_name")
    monkeypatch.setitem(Tintora._col_map, "co", "corp_name")
    before = dict(filters)
    result = TintoraV2.name_map(filters)
    assert list(result.items()) == expected and result is not filters and filters == before
    assert [value is V for value in result.values()] == [value is V for _, value in expected]


def test_name_map_with_the_empty_table_and_its_lookup_on_the_module_level_tintora(monkeypatch):
    filters = {"corp": ["a"], "mid": 7}
    assert Tintora.name_map(filters) == filters == TintoraV2(db()).name_map(filters=filters)
    monkeypatch.setattr(TintoraV2, "_col_map", {"corp": "v2"}, raising=False)
    assert TintoraV2.name_map({"corp": 1}) == {"corp": 1}

    def switch(self, key):
        monkeypatch.setattr(tintora, "Tintora", SimpleNamespace(_col_map={"b": "2nd"}))
        return "1st"

    monkeypatch.setattr(Tintora, "_col_map", type("Switching", (), {"__getitem__": switch})())
    assert TintoraV2.name_map({"a": 1, "b": 2}) == {"1st": 1, "2nd": 2}
    monkeypatch.delattr(tintora, "Tintora")
    assert TintoraV2.name_map({}) == {}  # no key, no lookup
    with pytest.raises(NameError, match="^name 'Tintora' is not defined$"):
        TintoraV2.name_map({"corp": 1})


class MissingColumn(KeyError):
    pass


@pytest.mark.parametrize(
    "error", [KeyError("a"), MissingColumn("a"), LookupError("x"), IndexError("x"), ValueError()]
)
def test_name_map_key_error_means_no_translation_other_errors_propagate(monkeypatch, error):
    monkeypatch.setattr(Tintora, "_col_map", Raising(error))
    if isinstance(error, KeyError):
        assert Tintora.name_map({"a": 1, "b": 2}) == {"a": 1, "b": 2}
        return
    with pytest.raises(type(error)) as caught:
        Tintora.name_map({"a": 1})
    assert caught.value is error
    names = ["tintora.Tintora.name_map", "tintora.Tintora.name_map.<locals>._map", "__getitem__"]
    assert traceback_names(caught)[-3:] == names


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

    def lookup(self, key):
        change(filters, key)
        raise KeyError(key)

    monkeypatch.setattr(Tintora, "_col_map", type("Mutating", (), {"__getitem__": lookup})())
    if error is None:
        assert Tintora.name_map(filters) == {"a": 1, "b": 20}
    else:
        with pytest.raises(error, match="^dictionary changed size during iteration$"):
            Tintora.name_map(filters)


Long = type("F" * 120, (), {})  # a type name longer than Python's own messages show


@pytest.mark.parametrize(
    ("filters", "error", "message"),
    [
        (Items(("ok", 0), ("a", 1, 2)), ValueError, "too many values to unpack (expected 2)"),
        (Items(iter("abc")), ValueError, "too many values to unpack (expected 2)"),
        (Items("a"), ValueError, "need more than 1 value to unpack"),
        (Items([]), ValueError, "need more than 0 values to unpack"),
        (Items(None), TypeError, "'NoneType' object is not iterable"),
        (Items((["a"], 1)), TypeError, "unhashable type: 'list'"),
        (None, AttributeError, "'NoneType' object has no attribute 'items'"),
        (Long(), AttributeError, f"'{Long.__name__}' object has no attribute 'items'"),
    ],
)
def test_name_map_errors_of_the_items_path(filters, error, message):
    with pytest.raises(error) as caught:
        Tintora.name_map(filters)
    assert str(caught.value) == message


LOADING = """
    import importlib, sys
    from reports import tintora
    del sys.modules["reports.tintora"]
    print(importlib.import_module("reports.tintora") is tintora, flush=True)
    # An interpreter sharing the main one's GIL, so that the module itself decides.
    try:
        import _interpreters as interpreters  # 3.13
        interp = interpreters.create("legacy")
    except ImportError:
        import _xxsubinterpreters as interpreters  # 3.10 to 3.12
        interp = interpreters.create(isolated=False)
    code = "try:\\n import reports.tintora\\nexcept ImportError as e:\\n print(e, flush=True)"
    interpreters.run_string(interp, code)
"""


def test_reimport_gives_the_same_module_and_a_second_interpreter_is_refused():
    command = [sys.executable, "-c", textwrap.dedent(LOADING)]
    result = subprocess.run(command, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "True",
        "Interpreter change detected - this module can only be loaded into one "
        "interpreter per process.",
    ]
