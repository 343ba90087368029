"""``reports.dependencies`` against caller objects that try to write their own SQL text:
subclasses of every accepted value type and of str, whose methods return injected
text, run on a real server under both ``standard_conforming_strings`` settings. Each
attempt must leave the canary sequence where it was and select the rows that the plain
value selects; scalars read from a real data frame must filter like plain values."""

from __future__ import annotations

import datetime as dt
import itertools
import uuid
from decimal import Decimal

import numpy as np
import pandas as pd
import pytest
import sqlalchemy

from reports import dependencies as deps
from reports.pg import EmbeddedPostgres

# Evaluated once per row wherever it reaches the query as SQL; nextval is not undone
# by the rollback that ends a failed or read-only query.
FIRE = "nextval('public.canary') > 0"
TS = dt.datetime(2024, 3, 1, 12, 30, 0, 250000)
TZ = dt.datetime(2024, 3, 1, 12, 30, tzinfo=dt.timezone(dt.timedelta(hours=2)))
U1, U2 = uuid.UUID(int=0x1234), uuid.UUID("a8098c1a-f86e-11da-bd1a-00112444be1e")
FIRST = dict(
    i=-5, f=2.5, n=Decimal("2.5"), v="x", d=dt.date(2024, 2, 29), ts=TS, tz=TZ,
    t=dt.time(5, 30), u=U1, b=True,
)  # fmt: skip
ROWS = [
    FIRST,
    dict(
        i=7,
        f=float("nan"),
        n=Decimal("NaN"),
        v="O'Brien",
        d=dt.date(2024, 3, 1),
        ts=TS + dt.timedelta(days=1),
        tz=TZ + dt.timedelta(hours=1),
        t=dt.time(6),
        u=U2,
        b=False,
    ),  # fmt: skip
    dict(FIRST, f=1.5, n=Decimal("-5"), v="y"),
    {},  # NULL everywhere
]
COLUMNS = ["i", "f", "n", "v", "d", "ts", "tz", "t", "u", "b"]


@pytest.fixture(scope="module")
def server():
    with EmbeddedPostgres(dbname="attacks") as pg:
        with pg.engine.begin() as conn:
            conn.exec_driver_sql(
                "create table samples (id serial primary key, i bigint, f double precision,"
                " n numeric, v text, d date, ts timestamp, tz timestamptz, t time, u uuid,"
                " b boolean); create sequence canary"
            )
            # Bound parameters: the ground truth the rendered literals must meet.
            insert = "insert into samples values (default, :i, :f, :n, :v, :d, :ts, :tz, :t,"
            rows = [{**dict.fromkeys(COLUMNS), **row} for row in ROWS]
            for row in rows:
                row["u"] = row["u"] and str(row["u"])
            conn.execute(sqlalchemy.text(insert + " cast(:u as uuid), :b)"), rows)
        yield pg


@pytest.fixture(scope="module", params=["on", "off"], ids="standard_conforming_strings={}".format)
def engine(request, server):
    options = f"-c standard_conforming_strings={request.param}"
    engine = sqlalchemy.create_engine(server.url, connect_args={"options": options})
    yield engine
    engine.dispose()


@pytest.fixture
def run(engine):
    """Runs a query as the reports do; fails the test if the canary moved meanwhile."""
    canary = "select case when is_called then last_value else 0 end as n from canary"
    start = pd.read_sql(canary, engine)["n"][0]
    yield lambda query: pd.read_sql(query, engine)
    assert pd.read_sql(canary, engine)["n"][0] == start, "the canary fired"


def ids_with(engine, column: str, plain: object) -> list[int]:
    """Ids of the rows where ``column`` equals the plain value, by a bound parameter."""
    if plain is None:
        query, params = f"select id from samples where {column} is null order by id", {}
    else:
        cast = "cast(:p as uuid)" if column == "u" else ":p"
        query = f"select id from samples where {column} = {cast} order by id"
        params = {"p": str(plain) if column == "u" else plain}
    with engine.connect() as conn:
        return [row[0] for row in conn.execute(sqlalchemy.text(query), params)]


def hostile(base, args, **members):
    """An instance of a new subclass of ``base`` made from ``args``: each member named
    is a method returning the given result, or the given property."""

    def returning(result):
        return result if isinstance(result, property) else lambda self, *a, **k: result

    body = {name: returning(result) for name, result in members.items()}
    return type(f"Hostile{base.__name__}", (base,), body)(*args)


# A name that is also written by __str__ and replace comes out double-quoted from a
# quoter that calls them, so names keep those two honest.
NAME_METHODS = ("__format__", "__add__", "__radd__", "__mod__")
VALUE_METHODS = (*NAME_METHODS, "__str__", "__repr__", "replace", "translate", "join")


def hostile_str(real: str, text: str, methods=VALUE_METHODS):
    """A str of ``real`` that writes ``text`` through ``methods``, and through strip,
    upper, lower and slicing hands back more of its own kind."""

    class HostileStr(str):
        def __getitem__(self, key):
            return HostileStr(str.__getitem__(self, key))

        def strip(self, *args):
            return HostileStr(str.strip(self, *args))

        def upper(self):
            return HostileStr(str.upper(self))

        def lower(self):
            return HostileStr(str.lower(self))

    for method in methods:
        setattr(HostileStr, method, lambda self, *args: text)
    return HostileStr(real)


def hostile_name(real: str, text: str):
    return hostile_str(real, text, NAME_METHODS)


def hostile_uuid():
    """U1 claiming to be U2 and writing text that closes a quoted literal."""

    class HostileUUID(uuid.UUID):
        def __getattribute__(self, name):
            return U2.int if name == "int" else super().__getattribute__(name)

        __str__ = __repr__ = __format__ = lambda self, *a: quoted(str(U1), "u")

    return HostileUUID(str(U1))


def quoted(iso: str, column: str) -> str:
    """Text that closes a quoted literal the way psycopg2 writes it around isoformat()."""
    return f"{iso}' OR {FIRE} OR {column} = '{iso}"


NUMBER = f"(select 0 where {FIRE})"  # fits both "= ..." and "IN (...)"


def texts(payload, *more):
    """Members that write ``payload`` as the object's text."""
    return dict.fromkeys(("__str__", "__repr__", "__format__", *more), payload)


# (column, the plain value, a hostile object of the same value)
VALUES = {
    "int": ("i", -5, lambda: hostile(int, (-5,), __int__=7, __index__=7, **texts(NUMBER))),
    "float": ("f", 2.5, lambda: hostile(float, (2.5,), __float__=1.5, **texts(NUMBER))),
    "numpy.float64": ("f", 2.5, lambda: hostile(np.float64, (2.5,), **texts(NUMBER))),
    "Decimal": ("n", Decimal("2.5"), lambda: hostile(
        Decimal, ("2.5",), is_finite=True, is_nan=False, is_infinite=False, **texts(NUMBER)
    )),
    "str": ("v", "x", lambda: hostile_str("x", f"x' || (select '' where {FIRE}) || '")),
    "date": ("d", dt.date(2024, 2, 29), lambda: hostile(
        dt.date, (2024, 2, 29), year=property(lambda self: 1999),
        **texts(quoted("2024-02-29", "d"), "isoformat", "strftime"),
    )),
    "datetime": ("ts", TS, lambda: hostile(
        dt.datetime, (2024, 3, 1, 12, 30, 0, 250000), tzinfo=property(lambda self: None),
        **texts(quoted("2024-03-01T12:30:00.25", "ts"), "isoformat", "strftime"),
    )),
    "datetime with time zone": ("tz", TZ, lambda: hostile(
        dt.datetime, (2024, 3, 1, 12, 30, 0, 0, TZ.tzinfo), utcoffset=dt.timedelta(0),
        **texts(quoted("2024-03-01T12:30:00+02:00", "tz"), "isoformat"),
    )),
    "time": ("t", dt.time(5, 30), lambda: hostile(
        dt.time, (5, 30), **texts(quoted("05:30:00", "t"), "isoformat")
    )),
    "UUID": ("u", U1, lambda: hostile_uuid()),
}  # fmt: skip


@pytest.mark.parametrize("shape", ["value", "tuple with None"])
@pytest.mark.parametrize("kind", VALUES)
def test_hostile_value_selects_what_its_plain_value_selects(engine, run, kind, shape):
    column, plain, make = VALUES[kind]
    value = make()
    assert type(value) is not type(plain)
    if shape == "value":
        filters, expected = {column: value}, ids_with(engine, column, plain)
    else:
        filters = {column: (value, None)}
        expected = sorted(ids_with(engine, column, plain) + ids_with(engine, column, None))
    clause = deps.get_filters(filters, "s.")
    got = run(f"select s.id from samples s where s.id > 0 {clause} order by s.id")
    assert got["id"].tolist() == expected and expected


# Names no earlier call has seen: a helper that caches the caller's object under a name
# hands it to every later caller of that name, so each attempt gets names of its own.
FRESH = (f"c{k}" for k in itertools.count())

# position -> (filters, options) for the fresh column name n, with text that fires
# wherever the helper formats or adds the caller's object instead of its own copy.
NAME_ATTACKS = {
    "filter name": lambda n: ({hostile_name(n, f"{FIRE} OR {n}"): "x"}, {}),
    "translated name": lambda n: (
        {"key": "x"},
        {"translate": {"key": hostile_name(n, f"{FIRE} OR {n}")}},
    ),  # fmt: skip
    "qualifier": lambda n: ({n: "x"}, {"qualifier": hostile_name(f"q{n}.", f"{FIRE} OR q{n}.")}),
    "prefix": lambda n: ({n: "x"}, {"prefix": hostile_name("AND", f"AND {FIRE} OR")}),
}


@pytest.mark.parametrize("position", NAME_ATTACKS)
def test_hostile_name_in_a_filter_clause(run, position):
    n = next(FRESH)
    filters, options = NAME_ATTACKS[position](n)
    query = f"select id from (select id, v as {n} from samples) q{n} where true {{}} order by id"
    assert run(query.format(deps.get_filters(filters, **options)))["id"].tolist() == [1]
    # The same names from an honest caller afterwards.
    honest = deps.get_filters({n: "x"}, f"q{n}.")
    assert honest == f"AND q{n}.{n} = 'x'"
    assert run(query.format(honest))["id"].tolist() == [1]


# position -> (group_by, order_by, the text get_order_by must give) for the fresh
# grouping column n and the fresh output column m.
ORDER_ATTACKS = {
    "grouping column": lambda n, m: ([hostile_name(n, f"{n}, {FIRE}")], False, f"a.{n}"),
    "grouping tuple": lambda n, m: ((hostile_name(n, f"{n}, {FIRE}"),), None, f"a.{n}"),
    "ordering column": lambda n, m: ([n], [hostile_name(m, f"{m}, {FIRE}")], m),
    "ordering string": lambda n, m: ([n], hostile_name(f"-{m}", f"{m}, {FIRE}"), f"{m} DESC"),
    "ordering pair, column": lambda n, m: (
        [n],
        [(hostile_name(m, f"{m}, {FIRE}"), "asc")],
        f"{m} ASC",
    ),  # fmt: skip
    "ordering pair, direction": lambda n, m: (
        [n],
        [(n, hostile_name("desc", f"DESC, {FIRE}"))],
        f"a.{n} DESC",
    ),  # fmt: skip
}


@pytest.mark.parametrize("position", ORDER_ATTACKS)
def test_hostile_name_in_grouping_and_ordering(run, position):
    n, m = next(FRESH), next(FRESH)
    group_by, order_by, order_text = ORDER_ATTACKS[position](n, m)

    def grouped(columns, order):
        # A host may well format each returned name into its text, as the reports do.
        grouping = ", ".join(f"{c}" for c in columns)
        return run(f"select a.* from (select {grouping}, count(*) as {m}"
                   f" from (select v as {n} from samples) s group by {grouping}) a"
                   f" order by {order}")  # fmt: skip

    order = deps.get_order_by(group_by, order_by)
    assert len(grouped(deps.format_group_by(group_by), order)) == 4  # x, O'Brien, y, NULL
    assert order == order_text
    # The same names from an honest caller afterwards.
    assert len(grouped(deps.format_group_by([n]), deps.get_order_by([n], [(m, "asc")]))) == 4


def test_returned_names_and_texts_are_exact_strings():
    group_by = [hostile_str("v", "v, 1"), hostile_str("Mixed", "v, 1")]
    columns = deps.format_group_by(group_by)
    texts = [*columns, deps.get_order_by(group_by, [(hostile_str("v", ""), "asc")])]
    texts.append(deps.get_filters({hostile_str("v", ""): hostile_str("x", "")}, prefix="WHERE"))
    assert [type(text) for text in texts] == [str] * 4
    assert texts == ["v", '"Mixed"', "a.v ASC", "WHERE v = 'x'"]


class EqualToNumpyTypes(type):
    """Classes that compare equal to and hash like numpy.int64."""

    def __eq__(cls, other):
        return True

    def __hash__(cls):
        return hash(np.int64)


@pytest.mark.parametrize(
    "value, names",
    [
        (b"x", "bytes"),
        (hostile(np.int64, (5,), __int__=7), "Hostileint64"),
        (EqualToNumpyTypes("Lookalike", (np.int64,), {"__int__": lambda self: 7})(5), "Lookalike"),
        (np.timedelta64(1, "D"), "timedelta64"),
        (np.complex128(1), "complex128"),
        (pd.Timedelta(1), "Timedelta"),
        (dt.timedelta(1), "timedelta"),
        (np.datetime64("10000-01-01"), "outside"),
    ],
    ids=lambda value: type(value).__name__,
)
def test_refused_value_names_the_filter_and_the_type(value, names):
    with pytest.raises((TypeError, ValueError), match=rf"'the_key'.*{names}"):
        deps.get_filters({"the_key": [1, value]})


def plain_equivalent(value):
    """What pandas and numpy themselves make of a scalar taken from a frame."""
    if value is None or value is pd.NaT or value is pd.NA:
        return None
    if isinstance(value, np.datetime64):
        return None if np.isnat(value) else pd.Timestamp(value).to_pydatetime()
    if isinstance(value, pd.Timestamp):
        return value.to_pydatetime()
    return value.item() if isinstance(value, np.generic) else value


@pytest.mark.parametrize(
    "backend", [{}, {"dtype_backend": "numpy_nullable"}], ids=["numpy", "nullable"]
)
@pytest.mark.parametrize("column", COLUMNS)
def test_data_frame_scalars_filter_like_plain_values(engine, run, column, backend):
    frame = pd.read_sql("select * from samples order by id", engine, **backend)
    series = frame[column]
    scalars = [*series.to_numpy(), *(series.iloc[k] for k in range(len(series)))]
    for value in scalars:
        expected = ids_with(engine, column, plain_equivalent(value))
        clause = deps.get_filters({column: value}, prefix="WHERE")
        assert run(f"select id from samples {clause} order by id")["id"].tolist() == expected
    items = list(series)
    expected = sorted(
        {i for item in items for i in ids_with(engine, column, plain_equivalent(item))}
    )
    listed = deps.get_filters({column: items}, prefix="WHERE")
    assert run(f"select id from samples {listed} order by id")["id"].tolist() == expected
