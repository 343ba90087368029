"""Tintora.get against the color index tables of the sample warehouse."""

from __future__ import annotations

import pandas as pd
import pytest
import sqlalchemy.exc


def expected_rows(frame: pd.DataFrame, key: str) -> dict:
    """Every cell as the text pandas makes of it: NULL text as 'None', a missing float
    as 'nan'; numeric columns arrive as floats, so 0.7500 reads '0.75'."""
    return {
        str(row[key]): {column: str(row[column]) for column in frame.columns if column != key}
        for _, row in frame.iterrows()
    }


@pytest.fixture(params=["Tintora", "TintoraV2"])
def reader(request, tintora, db):
    return getattr(tintora, request.param)(db)


class TestGet:
    @pytest.mark.parametrize(
        "table, key",
        [
            ("approval_bands", "band"),
            ("bin_category_colors", "bin_category"),
            ("status_colors", "status_code"),
        ],
    )
    def test_whole_table_keyed_and_as_text(self, reader, tables, table, key):
        rows = reader.get(table, key)
        assert rows == expected_rows(tables[f"ui_tintora.{table}"], key)
        assert all(isinstance(k, str) for k in rows)
        assert all(isinstance(v, str) for row in rows.values() for v in row.values())

    def test_cells_that_are_not_text_in_the_database(self, reader):
        status = reader.get("status_colors", "status_code")
        assert status["404"]["weight"] == "nan"
        assert status["200"]["weight"] == "1.5"
        bands = reader.get("approval_bands", "band")
        assert bands["low"]["note"] == "None"
        assert bands["mid"]["upper_bound"] == "0.75"
        assert bands["high"]["note"] == "it's fine: 100% ok"
        colors = reader.get("bin_category_colors", "bin_category")
        assert colors["block"] == {"color": "#000000", "sort_order": "1", "highlighted": "True"}

    def test_keyed_by_another_column(self, reader):
        by_color = reader.get("status_colors", "color")
        assert sorted(by_color) == ["green", "grey", "red"]
        assert by_color["red"]["status_code"] == "500"

    def test_empty_table(self, reader):
        assert reader.get("empty_palette", "name") == {}

    def test_rebound_schema_reads_elsewhere(self, tintora, db, tables):
        reader = tintora.Tintora(db)
        reader.schema = "ui_54407332_clients"
        rows = reader.get("corps", "corp_id")
        assert rows == expected_rows(tables["ui_54407332_clients.corps"], "corp_id")
        assert tintora.Tintora(db).get("empty_palette", "name") == {}


class TestErrors:
    def test_missing_table(self, reader):
        with pytest.raises(sqlalchemy.exc.ProgrammingError, match="no_such_table"):
            reader.get("no_such_table", "name")

    def test_missing_key_column(self, reader):
        with pytest.raises(KeyError):
            reader.get("status_colors", "no_such_column")
