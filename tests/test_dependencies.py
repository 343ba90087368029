"""The helper module ``reports.dependencies``: clause texts as text, and on a real
PostgreSQL server run as the reports run them (pandas.read_sql, one text, no parameters),
where hostile values must arrive exactly as given."""

from __future__ import annotations

import copy
import datetime as dt
from decimal import Decimal

import numpy as np
import pandas as pd
import pytest
import sqlalchemy

from reports import dependencies as deps
from reports.pg import EmbeddedPostgres

TRANSLATE = {"corp": "corporation_name", "cascade": "is_dead_mid_cascade"}

# Values that break naive quoting, percent handling or one-line text.
HOSTILE = (
    ["O'Brien", "x' OR '1'='1", "'; DROP TABLE samples; --", 'say "hi"', "E'not an escape'"]
    + ["\\'; DROP TABLE samples; --", "ends with backslash\\", "$$dollar quoted$$", "ünïcødé €"]
    + ["100%", "%(name)s", "%%", "line\nbreak", "carriage\rreturn", "bell\x07 and del\x7f", ""]
)
TS = dt.datetime(2024, 3, 1, 12, 30, 0, 250000)


@pytest.fixture(scope="module")
def server():
    rows = [{"v": value} for value in HOSTILE] + [
        {"n": Decimal("-5"), "d": dt.date(2024, 2, 29), "b": True, "order": 1},
        {"n": Decimal("2.5"), "d": dt.date(2024, 3, 1), "b": False, "order": 2},
        {"n": Decimal("2.5"), "ts": TS, "order": 2},
        {"n": Decimal("NaN"), "b": None, "order": 3},
    ]
    blank = dict.fromkeys(["v", "n", "d", "ts", "b", "order"])
    with EmbeddedPostgres(dbname="helpers") as pg:
        with pg.engine.begin() as conn:
            conn.exec_driver_sql(
                "create table samples (id serial primary key, v text, n numeric(12, 4),"
                ' d date, ts timestamp, b boolean, "order" integer)'
            )
            # Bound parameters: the ground truth the rendered literals must meet.
            insert = "insert into samples values (default, :v, :n, :d, :ts, :b, :order)"
            conn.execute(sqlalchemy.text(insert), [{**blank, **row} for row in rows])
        yield pg


@pytest.fixture(scope="module")
def samples(server) -> pd.DataFrame:
    return pd.read_sql("select * from samples order by id", server.engine)


def engine_with(server, standard_conforming_strings):
    options = f"-c standard_conforming_strings={standard_conforming_strings}"
    return sqlalchemy.create_engine(server.url, connect_args={"options": options})


@pytest.fixture(scope="module", params=["on", "off"], ids="standard_conforming_strings={}".format)
def engine(request, server):
    """Literals must read the same under either setting of standard_conforming_strings."""
    engine = engine_with(server, request.param)
    yield engine
    engine.dispose()


def ids_where(engine, clause: str) -> list[int]:
    return pd.read_sql(f"select id from samples {clause} order by id", engine)["id"].tolist()


def outcome(function, *args):
    """What a call gives: its result, or the type of the TypeError or ValueError it raised."""
    try:
        return function(*args)
    except (TypeError, ValueError) as error:
        return type(error)


@pytest.mark.parametrize("value", HOSTILE, ids=repr)
def test_hostile_text_matches_exactly_its_own_rows(engine, samples, value):
    clause = deps.get_filters({"v": value}, prefix="WHERE")
    assert "\n" not in clause and "\r" not in clause
    assert ids_where(engine, clause) == samples.loc[samples["v"] == value, "id"].tolist()
    # The inactive report puts a clause after "-- ": it must not end the comment.
    commented = pd.read_sql(f"select id from samples\n-- {clause}\norder by id", engine)
    assert commented["id"].tolist() == samples["id"].tolist()


def test_list_of_every_hostile_value_and_a_qualifier(engine, samples):
    clause = deps.get_filters({"v": HOSTILE}, prefix="WHERE")
    assert ids_where(engine, clause) == samples.loc[samples["v"].notna(), "id"].tolist()
    clause = deps.get_filters({"v": "100%", "ignored": []}, "s.")
    got = pd.read_sql(f"select s.id from samples s where s.id > 0 {clause}", engine)
    assert got["id"].tolist() == samples.loc[samples["v"] == "100%", "id"].tolist()


@pytest.mark.parametrize(
    "filters, keep",
    [
        ({"n": -5}, lambda s: s["n"] == -5),
        ({"n": Decimal("2.5")}, lambda s: s["n"] == 2.5),
        ({"n": 2.5}, lambda s: s["n"] == 2.5),
        ({"n": np.int64(-5)}, lambda s: s["n"] == -5),
        ({"n": Decimal("NaN")}, lambda s: s["id"] == s["id"].max()),
        ({"d": dt.date(2024, 2, 29)}, lambda s: s["d"] == dt.date(2024, 2, 29)),
        ({"ts": TS}, lambda s: s["ts"] == TS),
        ({"b": True}, lambda s: s["b"].eq(True)),
        ({"b": None, "order": 3}, lambda s: s["order"] == 3),
        ({"order": [2, None]}, lambda s: s["order"].isin([2]) | s["order"].isna()),
        ({"n": 2.5, "order": 2, "d": []}, lambda s: (s["n"] == 2.5) & (s["order"] == 2)),
    ],
    ids=repr,
)
def test_other_types_on_the_server(engine, samples, filters, keep):
    expected = samples.loc[keep(samples).fillna(False).astype(bool), "id"].tolist()
    assert expected
    assert ids_where(engine, deps.get_filters(filters, prefix="WHERE")) == expected


def test_text_does_not_depend_on_the_last_connection(server):
    texts = set()
    for setting in ("off", "on"):
        other = engine_with(server, setting)
        with other.connect() as conn:
            conn.exec_driver_sql("select 1")
        other.dispose()
        texts.add(deps.get_filters({"v": HOSTILE}, prefix="WHERE"))
    assert len(texts) == 1


@pytest.mark.parametrize(
    "filters, options, text",
    [
        ({}, {}, ""),
        (None, {"qualifier": "a.", "prefix": "WHERE"}, ""),
        ({"crm_id": [], "corp": ()}, {"translate": TRANSLATE}, ""),
        (
            {"corp": "Acme", "mid": "7", "cascade": 1},
            {"translate": TRANSLATE, "prefix": "WHERE"},
            "WHERE corporation_name = 'Acme' AND mid = '7' AND is_dead_mid_cascade = 1",
        ),
        ({"order": 1, "Weird": 2}, {"qualifier": "a."}, 'AND a."order" = 1 AND a."Weird" = 2'),
        ({"x": "50%"}, {"qualifier": "Order."}, "AND \"Order\".x = '50%%'"),
        ({"x": 1}, {"prefix": "where"}, "WHERE x = 1"),
        ({"x": 1}, {"prefix": " AND "}, "AND x = 1"),
        ({"x": 1}, {"prefix": "HAVING"}, "HAVING x = 1"),
        ({"x": {3, 1, 2}, "y": None}, {}, "AND x IN (1, 2, 3) AND y IS NULL"),
        ({"x": [2, None, 2]}, {}, "AND (x IN (2) OR x IS NULL)"),
    ],
)
def test_clause_text(filters, options, text):
    before = copy.deepcopy((filters, options))
    assert deps.get_filters(filters, **options) == text
    assert (filters, options) == before


@pytest.mark.parametrize(
    "name", ["crm_id; DROP TABLE x", "a.crm_id", '"crm_id', "1crm", "", "x" * 64, "crm_id\n", "é"]
)
def test_name_that_is_not_an_identifier(name):
    with pytest.raises(ValueError, match="identifier"):
        deps.get_filters({name: 1})
    with pytest.raises(ValueError, match="identifier"):
        deps.get_filters({"corp": 1}, translate={"corp": name})


@pytest.mark.parametrize(
    "filters, options, error, match",
    [
        ({("a",): 1}, {}, TypeError, "name must be a string"),
        ({"x": 1}, {"qualifier": "a"}, ValueError, "qualifier"),
        ({"x": 1}, {"qualifier": "a;--."}, ValueError, "qualifier"),
        ({"x": 1}, {"qualifier": "a.b."}, ValueError, "qualifier"),
        ({"x": 1}, {"prefix": "OR"}, ValueError, "prefix"),
        ({"x": 1}, {"prefix": "; DROP TABLE x; --"}, ValueError, "prefix"),
        ({"x": {"a": 1}}, {}, TypeError, "mapping"),
        ({"x": b"bytes"}, {}, TypeError, "bytes"),
        ({"x": np.array([1, 2])}, {}, TypeError, "ndarray"),
        ({"x": [[1, 2]]}, {}, TypeError, "nested"),
        ({"x": "nul\x00byte"}, {}, ValueError, "NUL"),
        ([("x", 1)], {}, TypeError, "mapping"),
    ],
)
def test_refused_filters(filters, options, error, match):
    with pytest.raises(error, match=match):
        deps.get_filters(filters, **options)


@pytest.mark.parametrize(
    "group_by, expected",
    [
        (["order", "crm_id", "Mid"], ['"order"', "crm_id", '"Mid"']),
        (['"order"', "crm_id", '"Mid"'], ['"order"', "crm_id", '"Mid"']),  # passes again
        ("crm_id", ["crm_id"]),
        (iter(["a", "b"]), ["a", "b"]),
        ([], ValueError),
        (["order", '"order"'], ValueError),
        (["a; drop table x"], ValueError),
        (None, TypeError),
        (["a", None], TypeError),
        ({"a": 1}, TypeError),
    ],
)
def test_format_group_by(group_by, expected):
    result = outcome(deps.format_group_by, group_by)
    assert result == expected and result is not group_by


@pytest.mark.parametrize(
    "order_by, expected",
    [
        (False, 'a.crm_id, a."order"'),
        (["order", "step"], 'a."order", step'),
        ("initials", "initials"),
        (["-initials", "-order"], 'initials DESC, a."order" DESC'),
        (["initials desc", "crm_id Asc"], "initials DESC, a.crm_id ASC"),
        ([("gm", "desc")], "gm DESC"),
        (("crm_id", "asc"), "a.crm_id ASC"),
        ("x; drop table t", ValueError),
        ("x sideways", ValueError),
        ("-x desc", ValueError),
        ([("x", "up")], ValueError),
        (["x", ""], ValueError),
        ([5], TypeError),
        ([("x",)], TypeError),
        ({"x": "desc"}, TypeError),
    ],
)
def test_get_order_by(order_by, expected):
    assert outcome(deps.get_order_by, ["crm_id", '"order"'], order_by) == expected


def test_now_and_today_are_local_and_read_on_the_server(server):
    before = dt.datetime.now()
    moment, day = deps.now(), deps.today()
    start, end = deps._get_interval_date("month_to_date")  # up to today by default
    after = dt.datetime.now()
    assert type(moment) is dt.datetime and moment.tzinfo is None and type(day) is dt.date
    assert before <= moment <= after and day in (before.date(), after.date())
    assert end in (before.date(), after.date()) and start == end.replace(day=1)
    text = f"select '{moment}'::timestamp as ts, '{moment}'::date as d"
    got = pd.read_sql(text, server.engine)
    assert (got["ts"][0], got["d"][0]) == (pd.Timestamp(moment), moment.date())


@pytest.mark.parametrize(
    "interval, reference, expected",
    [
        ("today", dt.date(2024, 3, 15), (dt.date(2024, 3, 15), dt.date(2024, 3, 15))),
        ("yesterday", dt.date(2024, 3, 1), (dt.date(2024, 2, 29), dt.date(2024, 2, 29))),
        ("last_7_days", dt.date(2024, 3, 3), (dt.date(2024, 2, 26), dt.date(2024, 3, 3))),
        ("last_30_days", dt.date(2024, 3, 30), (dt.date(2024, 3, 1), dt.date(2024, 3, 30))),
        ("month_to_date", dt.date(2024, 3, 15), (dt.date(2024, 3, 1), dt.date(2024, 3, 15))),
        ("last_month", dt.date(2024, 3, 31), (dt.date(2024, 2, 1), dt.date(2024, 2, 29))),
        ("last_month", dt.date(2024, 1, 10), (dt.date(2023, 12, 1), dt.date(2023, 12, 31))),
        (" Year_To_Date", dt.date(2024, 3, 15), (dt.date(2024, 1, 1), dt.date(2024, 3, 15))),
        (90, dt.datetime(2024, 3, 31, 23, 59), (dt.date(2024, 1, 2), dt.date(2024, 3, 31))),
        ("fortnight", dt.date(2024, 1, 1), ValueError),
        (0, dt.date(2024, 1, 1), ValueError),
        (True, dt.date(2024, 1, 1), TypeError),
        ("today", "2024-01-01", TypeError),
    ],
)
def test_interval_dates(interval, reference, expected):
    assert outcome(deps._get_interval_date, interval, reference) == expected


@pytest.mark.parametrize(
    "value, sql_type",
    [
        (5, "bigint"),
        (np.int32(5), "bigint"),
        (True, "boolean"),
        (Decimal("1.5"), "numeric"),
        (1.5, "double precision"),
        ("x", "text"),
        (dt.date(2024, 1, 1), "date"),
        (dt.datetime(2024, 1, 1, 5), "timestamp without time zone"),
        (dt.time(5, 30), "time without time zone"),
    ],
)
def test_cast_of_a_value_or_its_type(server, value, sql_type):
    cast = deps.get_cast(value)
    assert cast == deps.get_cast(type(value))
    literal = deps.get_filters({"x": value}).removeprefix("AND x = ")
    got = pd.read_sql(f"select pg_typeof({literal}{cast})::text as t", server.engine)
    assert got["t"][0] == sql_type


@pytest.mark.parametrize("value", [None, [1], {"a": 1}, object(), b"x"])
def test_no_cast(value):
    assert outcome(deps.get_cast, value) is TypeError
