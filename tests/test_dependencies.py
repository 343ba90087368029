"""The reference helper module ``reports.dependencies``.

The clause texts are checked twice: as text (shape, validation) and on a real
PostgreSQL server through pandas.read_sql with a SQLAlchemy engine and no parameters,
the path the reports take, which proves that the SQL is valid and that values arrive
exactly as given.
"""

from __future__ import annotations

import datetime as dt
from decimal import Decimal

import numpy as np
import pandas as pd
import pytest
import sqlalchemy

from reports import dependencies as deps
from reports.pg import EmbeddedPostgres

TRANSLATE = {"corp": "corporation_name", "is_cascade": "is_dead_mid_cascade"}

# Values that break naive quoting, percent handling or one-line text.
HOSTILE = [
    "O'Brien",
    "''",
    'say "hi"',
    "back\\slash",
    "ends with backslash\\",
    "\\'; DROP TABLE samples; --",
    "x' OR '1'='1",
    "'; DROP TABLE samples; --",
    "100%",
    "%s",
    "%(name)s",
    "%%",
    "line\nbreak",
    "carriage\rreturn",
    "tab\there",
    "bell\x07 and del\x7f",
    "ünïcødé €",
    "$$dollar quoted$$",
    "E'not an escape'",
    "",
]


@pytest.fixture(scope="module")
def server():
    with EmbeddedPostgres(dbname="helpers") as pg:
        engine = pg.engine
        table = sqlalchemy.Table(
            "samples",
            sqlalchemy.MetaData(),
            sqlalchemy.Column("id", sqlalchemy.Integer, primary_key=True),
            sqlalchemy.Column("v", sqlalchemy.Text),
            sqlalchemy.Column("n", sqlalchemy.Numeric(12, 4)),
            sqlalchemy.Column("d", sqlalchemy.Date),
            sqlalchemy.Column("ts", sqlalchemy.DateTime),
            sqlalchemy.Column("b", sqlalchemy.Boolean),
            sqlalchemy.Column("order", sqlalchemy.Integer),
        )
        table.metadata.create_all(engine)
        rows = [{"v": value} for value in HOSTILE]
        rows += [
            {"n": Decimal("-5"), "d": dt.date(2024, 2, 29), "b": True, "order": 1},
            {"n": Decimal("2.5"), "d": dt.date(2024, 3, 1), "b": False, "order": 2},
            {"n": Decimal("2.5"), "ts": dt.datetime(2024, 3, 1, 12, 30, 0, 250000), "order": 2},
            {"n": Decimal("NaN"), "b": None, "order": 3},
        ]
        blank = dict.fromkeys(["v", "n", "d", "ts", "b", "order"])
        with engine.begin() as conn:
            # Bound parameters: the ground truth the rendered literals must meet.
            conn.execute(table.insert(), [{**blank, **row} for row in rows])
        yield pg


@pytest.fixture(scope="module")
def samples(server) -> pd.DataFrame:
    with server.engine.connect() as conn:
        return pd.read_sql(sqlalchemy.text("select * from samples order by id"), conn)


@pytest.fixture(
    scope="module", params=["on", "off"], ids=lambda v: f"standard_conforming_strings={v}"
)
def engine(request, server):
    """Engines for both settings of standard_conforming_strings: literals must read
    the same under either."""
    engine = sqlalchemy.create_engine(
        server.url, connect_args={"options": f"-c standard_conforming_strings={request.param}"}
    )
    yield engine
    engine.dispose()


def ids_where(engine, clause: str) -> list[int]:
    """Run a clause the way the reports do: one text, no parameters, pandas.read_sql."""
    return pd.read_sql(f"select id from samples {clause} order by id", engine)["id"].tolist()


class TestValuesOnTheServer:
    @pytest.mark.parametrize("value", HOSTILE, ids=repr)
    def test_text_value_matches_exactly_its_own_rows(self, engine, samples, value):
        clause = deps.get_filters({"v": value}, prefix="WHERE")
        assert ids_where(engine, clause) == samples.loc[samples["v"] == value, "id"].tolist()

    def test_list_of_every_hostile_value(self, engine, samples):
        clause = deps.get_filters({"v": HOSTILE}, prefix="WHERE")
        assert ids_where(engine, clause) == samples.loc[samples["v"].notna(), "id"].tolist()

    @pytest.mark.parametrize(
        "filters, keep",
        [
            ({"n": -5}, lambda s: s["n"] == -5),
            ({"n": Decimal("2.5")}, lambda s: s["n"] == 2.5),
            ({"n": 2.5}, lambda s: s["n"] == 2.5),
            ({"n": np.int64(-5)}, lambda s: s["n"] == -5),
            ({"n": Decimal("NaN")}, lambda s: s["id"] == s["id"].max()),
            ({"n": [-5, 2.5]}, lambda s: s["n"].isin([-5, 2.5])),
            ({"d": dt.date(2024, 2, 29)}, lambda s: s["d"] == dt.date(2024, 2, 29)),
            (
                {"ts": dt.datetime(2024, 3, 1, 12, 30, 0, 250000)},
                lambda s: s["ts"] == pd.Timestamp("2024-03-01 12:30:00.25"),
            ),
            ({"b": True}, lambda s: s["b"].eq(True).fillna(False)),
            ({"b": False}, lambda s: s["b"].eq(False).fillna(False)),
            ({"b": None, "order": 3}, lambda s: s["order"] == 3),
            ({"order": [2, None]}, lambda s: s["order"].isin([2]) | s["order"].isna()),
            ({"n": 2.5, "order": 2, "d": []}, lambda s: (s["n"] == 2.5) & (s["order"] == 2)),
        ],
        ids=repr,
    )
    def test_other_types(self, engine, samples, filters, keep):
        clause = deps.get_filters(filters, prefix="WHERE")
        expected = samples.loc[keep(samples).fillna(False).astype(bool), "id"].tolist()
        assert expected
        assert ids_where(engine, clause) == expected

    def test_text_does_not_depend_on_the_last_connection(self, server):
        texts = []
        for setting in ("off", "on"):
            other = sqlalchemy.create_engine(
                server.url, connect_args={"options": f"-c standard_conforming_strings={setting}"}
            )
            with other.connect() as conn:
                conn.exec_driver_sql("select 1")
            other.dispose()
            texts.append(deps.get_filters({"v": HOSTILE}, prefix="WHERE"))
        assert texts[0] == texts[1]

    def test_continuation_and_qualifier(self, engine, samples):
        clause = deps.get_filters({"v": "100%", "ignored": []}, "s.")
        got = pd.read_sql(f"select s.id from samples s where s.id > 0 {clause}", engine)
        assert got["id"].tolist() == samples.loc[samples["v"] == "100%", "id"].tolist()

    def test_clause_after_a_comment_marker_stays_a_comment(self, engine, samples):
        # The inactive report puts the clause after "-- ": it must not end the comment.
        for value in HOSTILE:
            clause = deps.get_filters({"v": value, "order": 1}, prefix="WHERE")
            got = pd.read_sql(f"select id from samples\n-- {clause}\norder by id", engine)
            assert got["id"].tolist() == samples["id"].tolist()

    def test_lone_percent_sign_is_what_the_driver_refuses(self, engine):
        # Why every percent sign is doubled: with no parameters the driver still reads
        # the text as a format string.
        with pytest.raises((TypeError, KeyError, ValueError)):
            pd.read_sql("select '100%' as v", engine)
        doubled = pd.read_sql("select '100%%' as \"share%%\"", engine)
        assert doubled.columns.tolist() == ["share%"]
        assert doubled.iloc[0, 0] == "100%"


class TestFilterText:
    def test_no_conditions_give_empty_text(self):
        assert deps.get_filters({}) == ""
        assert deps.get_filters(None, "a.", prefix="WHERE") == ""
        assert deps.get_filters({"crm_id": [], "corp": ()}, translate=TRANSLATE) == ""

    def test_where_clause_with_translated_names(self):
        clause = deps.get_filters(
            {"corp": "Acme", "crm_id": [1, 2], "is_cascade": 1},
            translate=TRANSLATE,
            prefix="WHERE",
        )
        assert clause == (
            "WHERE corporation_name = 'Acme' AND crm_id IN (1, 2) AND is_dead_mid_cascade = 1"
        )

    def test_continuation_over_qualified_columns(self):
        clause = deps.get_filters({"bin": "411111", "crm_id": 3}, "a.")
        assert clause == "AND a.bin = '411111' AND a.crm_id = 3"

    @pytest.mark.parametrize(
        "prefix, word", [("where", "WHERE"), (" AND ", "AND"), ("HAVING", "HAVING")]
    )
    def test_prefix_word(self, prefix, word):
        assert deps.get_filters({"x": 1}, prefix=prefix) == f"{word} x = 1"

    def test_translate_leaves_other_names(self):
        assert deps.get_filters({"mid": "7"}, translate=TRANSLATE) == "AND mid = '7'"

    def test_reserved_and_mixed_case_names_are_quoted(self):
        assert (
            deps.get_filters({"order": 1, "Weird": 2}, "a.")
            == 'AND a."order" = 1 AND a."Weird" = 2'
        )

    @pytest.mark.parametrize("value", HOSTILE, ids=repr)
    def test_one_line_and_every_percent_doubled(self, value):
        clause = deps.get_filters({"v": value, "w": [value, "5%"]}, prefix="WHERE")
        assert "\n" not in clause and "\r" not in clause
        assert "%" not in clause.replace("%%", "")

    def test_set_values_in_stable_order(self):
        assert deps.get_filters({"x": {3, 1, 2}}) == deps.get_filters({"x": [1, 2, 3]})

    def test_input_is_not_changed(self):
        filters = {"corp": ["a", "b"]}
        translate = dict(TRANSLATE)
        deps.get_filters(filters, translate=translate, prefix="WHERE")
        assert filters == {"corp": ["a", "b"]} and translate == TRANSLATE


class TestFilterRefusals:
    @pytest.mark.parametrize(
        "name",
        [
            "crm_id; DROP TABLE x",
            "crm_id--",
            "a.crm_id",
            "crm id",
            '"crm_id',
            "1crm",
            "",
            "x" * 64,
            "crm_id\n",
            "é",
        ],
    )
    def test_name_that_is_not_an_identifier(self, name):
        with pytest.raises(ValueError, match="identifier"):
            deps.get_filters({name: 1})
        with pytest.raises(ValueError, match="identifier"):
            deps.get_filters({"corp": 1}, translate={"corp": name})

    @pytest.mark.parametrize("name", [1, None, ("a",)])
    def test_name_that_is_not_a_string(self, name):
        with pytest.raises(TypeError):
            deps.get_filters({name: 1})

    @pytest.mark.parametrize("qualifier", ["a", "a..", ".", "a b.", "a;--.", " a.", "a.b."])
    def test_bad_qualifier(self, qualifier):
        with pytest.raises(ValueError, match="qualifier"):
            deps.get_filters({"x": 1}, qualifier)

    @pytest.mark.parametrize("prefix", ["", "OR", "WHERE 1=1 OR", "; DROP TABLE x; --"])
    def test_bad_prefix(self, prefix):
        with pytest.raises(ValueError, match="prefix"):
            deps.get_filters({"x": 1}, prefix=prefix)

    @pytest.mark.parametrize(
        "value", [{"a": 1}, object(), b"bytes", [[1, 2]], [{"a": 1}], np.array([1, 2])]
    )
    def test_unsupported_value_type(self, value):
        with pytest.raises(TypeError):
            deps.get_filters({"x": value})

    def test_nul_character(self):
        with pytest.raises(ValueError):
            deps.get_filters({"x": "nul\x00byte"})

    @pytest.mark.parametrize("filters", [[("x", 1)], "x=1", 5])
    def test_filters_not_a_mapping(self, filters):
        with pytest.raises(TypeError):
            deps.get_filters(filters)


class TestGrouping:
    def test_new_list_of_the_same_names(self):
        group_by = ["crm_id", "bin"]
        result = deps.format_group_by(group_by)
        assert result == ["crm_id", "bin"] and result is not group_by

    def test_names_that_need_quotes_come_quoted_and_pass_again(self):
        once = deps.format_group_by(["order", "crm_id", "Mid"])
        assert once == ['"order"', "crm_id", '"Mid"']
        assert deps.format_group_by(once) == once

    def test_single_name_and_other_iterables(self):
        assert deps.format_group_by("crm_id") == ["crm_id"]
        assert deps.format_group_by(("a", "b")) == ["a", "b"]
        assert deps.format_group_by(iter(["a"])) == ["a"]

    @pytest.mark.parametrize("group_by", [[], ["a", "a"], ["a; drop table x"], ["a.b"], [""]])
    def test_value_errors(self, group_by):
        with pytest.raises(ValueError):
            deps.format_group_by(group_by)

    @pytest.mark.parametrize("group_by", [None, 5, [1], ["a", None], {"a": 1}])
    def test_type_errors(self, group_by):
        with pytest.raises(TypeError):
            deps.format_group_by(group_by)


class TestOrdering:
    @pytest.mark.parametrize("order_by", [False, None, [], ()])
    def test_grouping_columns_qualified_when_no_ordering_asked(self, order_by):
        assert deps.get_order_by(["crm_id", "step"], order_by) == "a.crm_id, a.step"

    @pytest.mark.parametrize(
        "order_by, text",
        [
            (["step", "crm_id"], "a.step, a.crm_id"),
            ("initials", "initials"),
            (["-initials", "crm_id"], "initials DESC, a.crm_id"),
            (["initials desc", "step Asc"], "initials DESC, a.step ASC"),
            ([("gm", "desc")], "gm DESC"),
            (("crm_id", "asc"), "a.crm_id ASC"),
            (["order"], '"order"'),
        ],
    )
    def test_requested_ordering(self, order_by, text):
        assert deps.get_order_by(["crm_id", "step"], order_by) == text

    @pytest.mark.parametrize(
        "order_by",
        ["x; drop table t", "x sideways", "-x desc", "a.x", [("x", "up")], ["x", ""], "1"],
    )
    def test_bad_items(self, order_by):
        with pytest.raises(ValueError):
            deps.get_order_by(["crm_id"], order_by)

    @pytest.mark.parametrize("order_by", [[5], [("x",)], {"x": "desc"}, 5])
    def test_bad_item_types(self, order_by):
        with pytest.raises(TypeError):
            deps.get_order_by(["crm_id"], order_by)

    def test_nothing_to_order_by(self):
        with pytest.raises(ValueError):
            deps.get_order_by([], False)

    def test_runs_as_outer_ordering(self, server):
        group_by = deps.format_group_by(["order", "b"])
        grouping = ",".join(group_by)
        outer = ", ".join(f"a.{c}" for c in group_by)
        for order_by in (False, ["-order", "rows"]):
            text = (
                f"select {outer}, a.rows from (select {grouping}, count(1) as rows from samples"
                f" group by {grouping}) as a order by {deps.get_order_by(group_by, order_by)}"
            )
            got = pd.read_sql(text, server.engine)
            assert got.columns.tolist() == ["order", "b", "rows"]
        assert got["order"].dropna().is_monotonic_decreasing


class TestDates:
    def test_now_reads_as_timestamp_and_date_on_the_server(self, server):
        moment = deps.now()
        got = pd.read_sql(
            f"select '{moment}'::timestamp as ts, '{moment}'::date as d", server.engine
        )
        assert got["ts"][0] == pd.Timestamp(moment)
        assert got["d"][0] == moment.date()

    def test_now_gives_first_of_month(self):
        moment = deps.now()
        assert isinstance(moment, dt.datetime)
        first = moment.replace(day=1).date()
        assert first == dt.date(moment.year, moment.month, 1)

    def test_today_is_the_local_date(self):
        before = dt.date.today()
        got = deps.today()
        after = dt.date.today()
        assert type(got) is dt.date and got in (before, after)

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
            ("Year_To_Date", dt.date(2024, 3, 15), (dt.date(2024, 1, 1), dt.date(2024, 3, 15))),
            (1, dt.date(2024, 3, 15), (dt.date(2024, 3, 15), dt.date(2024, 3, 15))),
            (90, dt.datetime(2024, 3, 31, 23, 59), (dt.date(2024, 1, 2), dt.date(2024, 3, 31))),
        ],
    )
    def test_interval_dates(self, interval, reference, expected):
        assert deps._get_interval_date(interval, reference) == expected

    def test_interval_defaults_to_today(self):
        start, end = deps._get_interval_date("month_to_date")
        assert end in (dt.date.today(), deps.today()) and start == end.replace(day=1)

    @pytest.mark.parametrize("interval", ["fortnight", 0, -3])
    def test_unknown_interval(self, interval):
        with pytest.raises(ValueError):
            deps._get_interval_date(interval, dt.date(2024, 1, 1))

    @pytest.mark.parametrize("interval", [None, True, 2.5])
    def test_interval_of_wrong_type(self, interval):
        with pytest.raises(TypeError):
            deps._get_interval_date(interval, dt.date(2024, 1, 1))


class TestCasts:
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
    def test_cast_of_a_value_or_its_type(self, server, value, sql_type):
        cast = deps.get_cast(value)
        assert cast == deps.get_cast(type(value))
        literal = deps.get_filters({"x": value}).removeprefix("AND x = ")
        got = pd.read_sql(f"select pg_typeof({literal}{cast})::text as t", server.engine)
        assert got["t"][0] == sql_type

    @pytest.mark.parametrize("value", [None, [1], {"a": 1}, object(), b"x"])
    def test_no_cast(self, value):
        with pytest.raises(TypeError):
            deps.get_cast(value)
